#include "ops/checked_patch_reader.h"

#include <algorithm>

namespace rempar {

CheckedPatchReader::CheckedPatchReader(io::File& cdp, const PieceChecksums& checked,
                                       std::int64_t begin, std::int64_t end)
    : cdp_(cdp), checked_(checked), position_(begin), end_(end) {}

CheckedPatchReader::Status CheckedPatchReader::read_piece(std::size_t index) {
  if (index >= checked_.count()) return Status::changed;  // beyond what the check saw
  piece_.resize(static_cast<std::size_t>(checked_.piece_length(index)));
  const auto got = cdp_.read_at(piece_, PieceChecksums::piece_begin(index));
  if (!got) return Status::failed;
  if (*got != piece_.size()) return Status::ended_early;
  return checked_.matches(index, piece_) ? Status::ok : Status::changed;
}

std::span<const std::uint8_t> CheckedPatchReader::next(Status& status) {
  status = position_ < end_ ? Status::ok : Status::ended_early;
  if (status != Status::ok) return {};
  // The whole piece is read and compared, also where the range covers only
  // part of it.
  const std::size_t index = PieceChecksums::piece_at(position_);
  status = read_piece(index);
  if (status != Status::ok) return {};
  const std::int64_t piece_at = PieceChecksums::piece_begin(index);
  const std::int64_t until = std::min(end_, piece_at + static_cast<std::int64_t>(piece_.size()));
  const auto bytes = std::span<const std::uint8_t>(piece_).subspan(
      static_cast<std::size_t>(position_ - piece_at), static_cast<std::size_t>(until - position_));
  position_ = until;
  return bytes;
}

}  // namespace rempar
