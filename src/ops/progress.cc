#include "ops/progress.h"

namespace rempar {

std::int16_t Progress::percent(std::int64_t walk_index, std::uint64_t block_size,
                               std::uint64_t file_size) {
  // walk_index * block_size stays below the file size. Below 2^31 this is
  // the value the tool has always formed in 32 bits; larger files need the
  // 64 bits, and the single-precision division copes with either.
  const auto done = walk_index * static_cast<std::int64_t>(block_size);
  const float ratio = static_cast<float>(done) / static_cast<float>(file_size);
  return static_cast<std::int16_t>(ratio * 100.0f);
}

void Progress::pass(std::int64_t walk_index) {
  if (walk_index < 0) return;
  const std::int16_t p = percent(walk_index, block_size_, file_size_);
  if (p == last_shown_) return;
  line_.show_percent(p);
  last_shown_ = p;
}

void ProgressLine::show_percent(std::int16_t percent) {
  out_ << '\r' << percent << '%';
  out_.flush();
}

void ProgressLine::print(std::string_view message) {
  if (open_) out_ << '\r';
  out_ << message;
}

}  // namespace rempar
