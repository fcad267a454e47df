#pragma once
// A container being written. A regular file at the output name is replaced
// only when the new container is complete: it is written under a temporary
// name beside it (NAME.rempar-tmp-PID, NAME shortened where the whole would
// not fit), made durable, and renamed over the name, so that a failed or
// interrupted run leaves whatever stood there, and a crash leaves either the
// old file or the complete new one. Where no temporary file can be made, an
// existing file is refused, never written over; only a name where nothing
// stands is written directly. A pipe, a terminal or a character device at
// the name (also through /dev/stdout or /proc/self/fd/N) is written for
// writing only and left in place.

#include <optional>
#include <ostream>
#include <string>

#include "common/file.h"

namespace rempar {

// Whether `name` stands for the process's own standard output.
bool is_standard_output(const std::string& name);

class PendingOutput {
 public:
  // Opens the output for `name`; prints "Error opening output file" and
  // returns nothing when that fails.
  [[nodiscard]] static std::optional<PendingOutput> create(const std::string& name,
                                                           std::ostream& out);

  PendingOutput(PendingOutput&& other) noexcept;
  PendingOutput& operator=(PendingOutput&&) = delete;
  ~PendingOutput();

  io::File& file() { return *file_; }
  // Makes the container durable and puts it at its name; on failure, after
  // one message, what the run wrote is removed.
  [[nodiscard]] bool commit(std::ostream& out);
  // Removes what the run wrote; what stood at the name before stays.
  void discard();
  // Also removes a file that stood at the name, so that none is left there
  // (a rejected checksum file, or nothing to patch).
  void discard_and_clear_name();

 private:
  enum class Way {
    replace,   // written under a temporary name, renamed over the name
    in_place,  // no temporary file could be made, nor stood a file at the name
    direct,    // a pipe or a device: written, never synced, renamed or removed
  };
  PendingOutput(io::File file, std::string name, std::string written, Way way);

  static std::optional<PendingOutput> open_direct(const std::string& name, const io::PathInfo& info,
                                                  std::ostream& out);
  static std::optional<PendingOutput> open_in_place(const std::string& name, std::ostream& out);
  static std::optional<PendingOutput> open_beside(const std::string& name,
                                                  const std::string& target,
                                                  const std::optional<io::PathInfo>& existing,
                                                  std::ostream& out);
  bool put_in_place(std::ostream& out);
  bool fail(int error, std::ostream& out);

  std::optional<io::File> file_;
  std::string name_;     // as the user gave it, for messages
  std::string target_;   // where the name's links end: the file replaced
  std::string written_;  // the file this run writes and removes again on failure
  Way way_;
  bool finished_ = false;
};

}  // namespace rempar
