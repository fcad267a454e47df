#include "ops/patch_records.h"

#include <algorithm>

#include "common/le.h"
#include "container/framing.h"
#include "ops/create_patch.h"

namespace rempar {
namespace {

constexpr std::int64_t FILE_SIZE_OFFSET = HEADER_SIZE;

}  // namespace

void RecordScanner::feed(std::span<const std::uint8_t> chunk) {
  const std::int64_t end_marker_at = size_ - SEAL_SIZE - 4;
  std::size_t i = 0;
  while (i < chunk.size()) {
    const auto left = chunk.size() - i;
    if (position_ < FILE_SIZE_OFFSET) {
      const auto skip =
          std::min<std::int64_t>(FILE_SIZE_OFFSET - position_, static_cast<std::int64_t>(left));
      i += static_cast<std::size_t>(skip);
      position_ += skip;
      continue;
    }
    if (data_left_ > 0) {
      const auto skip = std::min<std::int64_t>(data_left_, static_cast<std::int64_t>(left));
      i += static_cast<std::size_t>(skip);
      position_ += skip;
      data_left_ -= skip;
      continue;
    }
    if (ended_) {  // bytes after the end marker
      malformed_ = true;
      return;
    }
    field_[field_used_++] = chunk[i++];
    ++position_;
    const std::int64_t field_start = position_ - static_cast<std::int64_t>(field_used_);
    // The file size and the end marker are 4 bytes; a record header is 8.
    const std::size_t needed =
        field_start == FILE_SIZE_OFFSET || field_start == end_marker_at ? 4 : 8;
    if (field_used_ == needed) take_field();
  }
}

void RecordScanner::take_field() {
  const std::int64_t field_start = position_ - static_cast<std::int64_t>(field_used_);
  const std::int64_t end_marker_at = size_ - SEAL_SIZE - 4;
  const std::uint32_t first = decode_le32(field_.data());
  field_used_ = 0;
  if (field_start == FILE_SIZE_OFFSET) {
    recorded_size_ = first;
    return;
  }
  if (field_start == end_marker_at) {
    ended_ = first == END_OF_RECORDS;
    malformed_ = malformed_ || !ended_;
    return;
  }
  const std::uint32_t length = decode_le32(field_.data() + 4);
  // A record must end before the end marker, and the end marker can only
  // stand where the seal follows it.
  if (first == END_OF_RECORDS || position_ + length > end_marker_at) {
    malformed_ = true;
    data_left_ = INT64_MAX;  // skip everything after it
    return;
  }
  if (!out_of_range_ && static_cast<std::uint64_t>(first) + length > recorded_size_) {
    out_of_range_ = true;
    bad_offset_ = first;
    bad_length_ = length;
  }
  ++records_;
  data_left_ = length;
}

RecordScanner::Verdict RecordScanner::verdict() const {
  if (malformed_ || !ended_ || field_used_ != 0) return Verdict::malformed;
  return out_of_range_ ? Verdict::out_of_range : Verdict::well_formed;
}

}  // namespace rempar
