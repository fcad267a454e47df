#include "ops/progress.h"

namespace rempar {

std::int16_t Progress::percent(std::int64_t walk_index, std::uint64_t block_size,
                               std::uint64_t file_size) {
  // walk_index * block_size stays below the file size, so below 2^31.
  const auto done = static_cast<std::int32_t>(walk_index * static_cast<std::int64_t>(block_size));
  const float ratio = static_cast<float>(done) / static_cast<float>(file_size);
  return static_cast<std::int16_t>(ratio * 100.0f);
}

void Progress::pass(std::int64_t walk_index) {
  if (walk_index < 0) return;
  const std::int16_t p = percent(walk_index, block_size_, file_size_);
  if (p == last_shown_) return;
  out_ << '\r' << p << '%';
  out_.flush();
  last_shown_ = p;
}

}  // namespace rempar
