#pragma once
// A container being written: created or truncated when opened, and removed
// again unless it is committed, so a failed run leaves no partial container
// at its name.

#include <optional>
#include <string>

#include "common/file.h"

namespace rempar {

class PendingOutput {
 public:
  // Opens `name` for writing; nothing when that fails (errno in *error).
  static std::optional<PendingOutput> create(const std::string& name, int* error);

  PendingOutput(PendingOutput&& other) noexcept;
  PendingOutput& operator=(PendingOutput&&) = delete;
  ~PendingOutput();

  io::File& file() { return *file_; }
  // Makes the container durable and closes it; on failure it is removed and
  // last_error() says why.
  bool commit();
  // Closes and removes the container now.
  void discard();
  int last_error() const { return error_; }

 private:
  explicit PendingOutput(io::File file) : file_(std::move(file)) {}

  std::optional<io::File> file_;
  std::string name_;
  bool committed_ = false;
  int error_ = 0;
};

}  // namespace rempar
