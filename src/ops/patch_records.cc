#include "ops/patch_records.h"

#include <algorithm>

#include "common/le.h"
#include "container/framing.h"

namespace rempar {

void RecordScanner::take_header_byte(std::uint8_t byte) {
  if (position_ == MAGIC_SIZE) major_ = byte;
  if (position_ == HEADER_SIZE - 1) {
    // The container check has accepted the version before any byte arrives.
    const ContainerLayout* layout = layout_for_version(major_, byte);
    malformed_ = malformed_ || layout == nullptr;
    if (layout != nullptr) layout_ = layout;
  }
  ++position_;
}

void RecordScanner::feed(std::span<const std::uint8_t> chunk) {
  std::size_t i = 0;
  while (i < chunk.size()) {
    const auto left = chunk.size() - i;
    if (position_ < HEADER_SIZE) {
      take_header_byte(chunk[i++]);
      continue;
    }
    if (data_left_ > 0) {
      const auto skip = std::min<std::int64_t>(data_left_, static_cast<std::int64_t>(left));
      i += static_cast<std::size_t>(skip);
      position_ += skip;
      data_left_ -= skip;
      continue;
    }
    field_[field_used_++] = chunk[i++];
    ++position_;
    // The file size, a record's offset and the end marker are size fields;
    // a record's length follows its offset.
    const auto needed = static_cast<std::size_t>(
        offset_read_ ? LENGTH_WIDTH : static_cast<std::size_t>(layout_->size_width));
    if (field_used_ == needed) take_field();
  }
}

void RecordScanner::take_field() {
  const std::int64_t field_start = position_ - static_cast<std::int64_t>(field_used_);
  field_used_ = 0;
  if (field_start == layout_->file_size_offset()) {
    recorded_size_ = decode_le(field_.data(), static_cast<std::size_t>(layout_->size_width));
    return;
  }
  if (!offset_read_) {
    offset_ = decode_le(field_.data(), static_cast<std::size_t>(layout_->size_width));
    if (offset_ == layout_->end_of_records()) {
      // The end marker must stand before the seal; what lies between them is
      // never read, and nothing after the marker is applied.
      ended_ = field_start <= end_marker_at();
      malformed_ = malformed_ || !ended_;
      records_end_ = position_;
      data_left_ = INT64_MAX;
      return;
    }
    offset_read_ = true;
    return;
  }
  offset_read_ = false;
  const std::uint32_t length = decode_le32(field_.data());
  // A record must end where an end marker still fits before the seal.
  if (position_ + length > end_marker_at()) {
    malformed_ = true;
    data_left_ = INT64_MAX;  // skip everything after it
    return;
  }
  if (!out_of_range_ && !record_fits(offset_, length, recorded_size_)) {
    out_of_range_ = true;
    bad_offset_ = offset_;
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
