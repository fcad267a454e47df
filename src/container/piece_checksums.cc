#include "container/piece_checksums.h"

#include <algorithm>

namespace rempar {

void PieceChecksums::add(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const auto take = static_cast<std::size_t>(
        std::min<std::int64_t>(PIECE_SIZE - in_current_, static_cast<std::int64_t>(bytes.size())));
    current_.update(bytes.first(take));
    in_current_ += static_cast<std::int64_t>(take);
    size_ += static_cast<std::int64_t>(take);
    bytes = bytes.subspan(take);
    if (in_current_ == PIECE_SIZE) finish();
  }
}

void PieceChecksums::finish() {
  if (in_current_ == 0) return;
  sums_.push_back(current_.value());
  current_ = RunningCrc{};
  in_current_ = 0;
}

std::int64_t PieceChecksums::piece_length(std::size_t index) const {
  return std::min(PIECE_SIZE, size_ - piece_begin(index));
}

bool PieceChecksums::matches(std::size_t index, std::span<const std::uint8_t> bytes) const {
  return index < sums_.size() && static_cast<std::int64_t>(bytes.size()) == piece_length(index) &&
         block_crc(bytes) == sums_[index];
}

}  // namespace rempar
