#pragma once
// A container being written: created or truncated when opened, and removed
// again unless it is committed, so a failed run leaves no partial container
// at its name.

#include <optional>
#include <ostream>
#include <string>

#include "common/file.h"

namespace rempar {

class PendingOutput {
 public:
  // Opens `name` for writing; prints "Error opening output file" and
  // returns nothing when that fails.
  static std::optional<PendingOutput> create(const std::string& name, std::ostream& out);

  PendingOutput(PendingOutput&& other) noexcept;
  PendingOutput& operator=(PendingOutput&&) = delete;
  ~PendingOutput();

  io::File& file() { return *file_; }
  // Makes the container durable and closes it; on failure it is removed,
  // after one message.
  bool commit(std::ostream& out);
  // Closes and removes the container now.
  void discard();

 private:
  explicit PendingOutput(io::File file) : file_(std::move(file)) {}

  std::optional<io::File> file_;
  std::string name_;
  bool committed_ = false;
  // Only a regular file is a container this run may remove again; a pipe or
  // a device at the name (say /dev/null) stood there before and stays.
  bool removable_ = true;
};

}  // namespace rempar
