#pragma once
// The percentage shown while a walk runs: written only when its integer value
// changes, so at most 100 times however many blocks there are.

#include <cstdint>
#include <ostream>

namespace rempar {

class Progress {
 public:
  Progress(std::ostream& out, std::uint64_t file_size, std::uint64_t block_size)
      : out_(out), file_size_(file_size), block_size_(block_size) {}

  // Called at the start of every pass with its walk index; shows nothing for
  // negative indices.
  void pass(std::int64_t walk_index);

  // The percent for a walk index, computed in single precision exactly as the
  // tool has always shown it.
  static std::int16_t percent(std::int64_t walk_index, std::uint64_t block_size,
                              std::uint64_t file_size);

 private:
  std::ostream& out_;
  std::uint64_t file_size_;
  std::uint64_t block_size_;
  std::int16_t last_shown_ = 0;
};

}  // namespace rempar
