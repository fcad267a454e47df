#pragma once
// The console line a walk shows its percentage on, and the percentage itself:
// written only when its integer value changes, so at most 100 times however
// many blocks there are.

#include <cstdint>
#include <ostream>
#include <string_view>

namespace rempar {

// The one owner of the progress line. From the start of a walk to the end of
// the step that walks (its messages included) the line is open: the
// percentage is rewritten in place, and every message printed meanwhile
// starts with a carriage return, so that it begins at the line's start.
class ProgressLine {
 public:
  explicit ProgressLine(std::ostream& out) : out_(out) {}

  void open() { open_ = true; }
  void show_percent(std::int16_t percent);
  void print(std::string_view message);

 private:
  std::ostream& out_;
  bool open_ = false;
};

class Progress {
 public:
  Progress(ProgressLine& line, std::uint64_t file_size, std::uint64_t block_size)
      : line_(line), file_size_(file_size), block_size_(block_size) {}

  // Called at the start of every pass with its walk index; shows nothing for
  // negative indices.
  void pass(std::int64_t walk_index);

  // The percent for a walk index, computed in single precision exactly as the
  // tool has always shown it.
  static std::int16_t percent(std::int64_t walk_index, std::uint64_t block_size,
                              std::uint64_t file_size);

 private:
  ProgressLine& line_;
  std::uint64_t file_size_;
  std::uint64_t block_size_;
  std::int16_t last_shown_ = 0;
};

}  // namespace rempar
