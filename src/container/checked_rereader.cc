#include "container/checked_rereader.h"

#include <algorithm>
#include <utility>

#include "common/messages.h"

namespace rempar {

CheckedRereader::CheckedRereader(io::File& container, const PieceChecksums& checked,
                                 std::int64_t begin, std::int64_t end)
    : container_(container), checked_(checked), position_(begin), end_(end) {}

CheckedRereader::Status CheckedRereader::read_piece(std::size_t index) {
  if (index >= checked_.count()) return Status::changed;  // beyond what the check saw
  piece_.resize(static_cast<std::size_t>(checked_.piece_length(index)));
  const auto got = container_.read_at(piece_, PieceChecksums::piece_begin(index));
  if (!got) return Status::failed;
  if (*got != piece_.size()) return Status::ended_early;
  return checked_.matches(index, piece_) ? Status::ok : Status::changed;
}

std::span<const std::uint8_t> CheckedRereader::next(Status& status) {
  status = Status::ok;
  if (left_.empty()) {
    if (position_ >= end_) status = Status::ended_early;
    // The whole piece is read and compared, also where the range covers only
    // part of it.
    const std::size_t index = PieceChecksums::piece_at(position_);
    if (status == Status::ok) status = read_piece(index);
    if (status != Status::ok) return {};
    const std::int64_t piece_at = PieceChecksums::piece_begin(index);
    const std::int64_t until = std::min(end_, piece_at + static_cast<std::int64_t>(piece_.size()));
    left_ = std::span<const std::uint8_t>(piece_).subspan(
        static_cast<std::size_t>(position_ - piece_at),
        static_cast<std::size_t>(until - position_));
    position_ = until;
  }
  return std::exchange(left_, {});
}

CheckedRereader::Status CheckedRereader::read(std::span<std::uint8_t> out) {
  for (std::size_t done = 0; done < out.size();) {
    if (left_.empty()) {
      Status status = Status::ok;
      left_ = next(status);
      if (status != Status::ok) return status;
    }
    const std::size_t n = std::min(out.size() - done, left_.size());
    std::copy_n(left_.begin(), n, out.begin() + static_cast<std::ptrdiff_t>(done));
    left_ = left_.subspan(n);
    done += n;
  }
  return Status::ok;
}

std::string reread_error(CheckedRereader::Status status, const io::File& container,
                         std::string_view role, std::string_view changed) {
  switch (status) {
    case CheckedRereader::Status::changed: return std::string(changed);
    case CheckedRereader::Status::failed:
      return msg::read_error(role, container, io::ReadStatus::failed);
    case CheckedRereader::Status::ended_early:
    case CheckedRereader::Status::ok: break;
  }
  return msg::read_error(role, container, io::ReadStatus::ended_early);
}

}  // namespace rempar
