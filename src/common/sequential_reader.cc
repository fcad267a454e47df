#include "common/sequential_reader.h"

#include <algorithm>

#include "common/le.h"

namespace rempar::io {

SequentialReader::SequentialReader(File& file, std::int64_t offset, std::int64_t end,
                                   std::size_t buffer_size)
    : file_(file), position_(offset), end_(end) {
  const std::int64_t span = std::max<std::int64_t>(end - offset, 0);
  buffer_.resize(static_cast<std::size_t>(
      std::min<std::int64_t>(span, static_cast<std::int64_t>(buffer_size))));
}

SequentialReader::SequentialReader(File& file, std::int64_t offset,
                                   std::vector<std::uint8_t> preloaded)
    : file_(file),
      position_(offset),
      end_(offset + static_cast<std::int64_t>(preloaded.size())),
      buffer_(std::move(preloaded)),
      filled_(buffer_.size()) {}

SequentialReader::Status SequentialReader::refill() {
  const std::int64_t file_offset = position_;
  const auto want = static_cast<std::size_t>(
      std::min<std::int64_t>(end_ - file_offset, static_cast<std::int64_t>(buffer_.size())));
  if (want == 0) return Status::ended_early;
  const auto got = file_.read_at(std::span(buffer_.data(), want), file_offset);
  if (!got) return Status::failed;
  if (*got == 0) return Status::ended_early;
  next_ = 0;
  filled_ = *got;
  return Status::ok;
}

std::span<const std::uint8_t> SequentialReader::next(std::size_t max, Status& status) {
  status = Status::ok;
  if (next_ == filled_) status = refill();
  if (status != Status::ok) return {};
  const std::size_t n = std::min(max, filled_ - next_);
  const auto piece = std::span<const std::uint8_t>(buffer_.data() + next_, n);
  next_ += n;
  position_ += static_cast<std::int64_t>(n);
  return piece;
}

SequentialReader::Status SequentialReader::read(std::span<std::uint8_t> out) {
  for (std::size_t done = 0; done < out.size();) {
    Status status = Status::ok;
    const auto piece = next(out.size() - done, status);
    if (status != Status::ok) return status;
    std::copy(piece.begin(), piece.end(), out.begin() + static_cast<std::ptrdiff_t>(done));
    done += piece.size();
  }
  return Status::ok;
}

SequentialReader::Status SequentialReader::read_u32(std::uint32_t& value) {
  std::array<std::uint8_t, 4> bytes{};
  const Status s = read(bytes);
  if (s == Status::ok) value = decode_le32(bytes.data());
  return s;
}

SequentialReader::Status SequentialReader::read_uint(std::uint64_t& value, std::int64_t width) {
  std::array<std::uint8_t, 8> bytes{};
  const auto n = static_cast<std::size_t>(width);
  const Status s = read(std::span(bytes.data(), n));
  if (s == Status::ok) value = decode_le(bytes.data(), n);
  return s;
}

}  // namespace rempar::io
