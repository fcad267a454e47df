#include "container/cdp.h"

#include <algorithm>

#include "common/le.h"
#include "container/framing.h"

namespace rempar {

void write_cdp_head(ContainerWriter& cdp, const ContainerLayout& layout, std::uint64_t file_size) {
  cdp.write_header(ContainerKind::CDP, layout);
  cdp.write_uint(file_size, layout.size_width);
}

void write_cdp_record_head(ContainerWriter& cdp, const ContainerLayout& layout,
                           std::uint64_t offset, std::uint32_t length) {
  cdp.write_uint(offset, layout.offset_width);
  cdp.write_u32(length);
}

bool cdp_record_fits(const ContainerWriter& cdp, const ContainerLayout& layout,
                     std::uint64_t length) {
  const auto record_end = cdp.bytes_written() + layout.record_header_size() +
                          static_cast<std::int64_t>(length) + layout.end_marker_width + SEAL_SIZE;
  return record_end <= layout.max_container_size;
}

bool finish_cdp(ContainerWriter& cdp, const ContainerLayout& layout) {
  cdp.write_uint(layout.end_of_records(), layout.end_marker_width);
  return write_internal_checksum(cdp, cdp.bytes_written());
}

CdpRecordScanner::CdpRecordScanner(std::int64_t container_size, const ContainerLayout& layout,
                                   std::uint64_t recorded_size)
    : size_(container_size),
      layout_(&layout),
      position_(layout.records_offset()),
      recorded_size_(recorded_size) {}

void CdpRecordScanner::take_header_byte(std::uint8_t byte) {
  if (position_ == MAGIC_SIZE) major_ = byte;
  if (position_ == HEADER_SIZE - 1) {
    // The container check has accepted the version before any byte arrives.
    const ContainerLayout* layout = layout_for_version(major_, byte);
    malformed_ = malformed_ || layout == nullptr;
    if (layout != nullptr) layout_ = layout;
  }
  ++position_;
}

// The file size, a record's offset and the end marker are size fields; a
// record's length follows its offset.
std::size_t CdpRecordScanner::field_width() const {
  const std::int64_t field_start = position_ - static_cast<std::int64_t>(field_used_);
  if (field_start == layout_->file_size_offset()) {
    return static_cast<std::size_t>(layout_->size_width);
  }
  return static_cast<std::size_t>(offset_read_ ? LENGTH_WIDTH : layout_->offset_width);
}

void CdpRecordScanner::feed(std::span<const std::uint8_t> chunk, const DataSink& sink) {
  std::size_t i = 0;
  while (i < chunk.size()) {
    const auto left = chunk.size() - i;
    if (position_ < HEADER_SIZE) {
      take_header_byte(chunk[i++]);
      continue;
    }
    if (data_left_ > 0) {
      const auto pass = std::min<std::int64_t>(data_left_, static_cast<std::int64_t>(left));
      if (handing_out_ && sink && !faulty()) {
        const auto done =
            static_cast<std::uint64_t>(record_.length) - static_cast<std::uint64_t>(data_left_);
        sink(record_, done, chunk.subspan(i, static_cast<std::size_t>(pass)));
      }
      i += static_cast<std::size_t>(pass);
      position_ += pass;
      data_left_ -= pass;
      continue;
    }
    field_[field_used_++] = chunk[i++];
    ++position_;
    if (field_used_ == field_width()) take_field();
  }
}

void CdpRecordScanner::take_field() {
  const std::int64_t field_start = position_ - static_cast<std::int64_t>(field_used_);
  field_used_ = 0;
  if (field_start == layout_->file_size_offset()) {
    recorded_size_ = decode_le(field_.data(), static_cast<std::size_t>(layout_->size_width));
  } else if (!offset_read_) {
    take_offset(field_start);
  } else {
    take_length();
  }
}

void CdpRecordScanner::take_offset(std::int64_t field_start) {
  const auto offset = decode_le(field_.data(), static_cast<std::size_t>(layout_->offset_width));
  if (offset == layout_->end_of_records()) {
    // The end marker must stand before the seal; what lies between them is
    // never read, and nothing after the marker is applied.
    ended_ = field_start <= end_marker_at();
    malformed_ = malformed_ || !ended_;
    records_end_ = position_;
    data_left_ = INT64_MAX;
    handing_out_ = false;
    return;
  }
  record_.offset = offset;
  offset_read_ = true;
}

void CdpRecordScanner::take_length() {
  offset_read_ = false;
  record_.length = decode_le32(field_.data());
  record_.data_at = position_;
  // A record must end where an end marker still fits before the seal.
  if (position_ + record_.length > end_marker_at()) {
    malformed_ = true;
    data_left_ = INT64_MAX;  // skip everything after it
    handing_out_ = false;
    return;
  }
  if (!out_of_range_ && !record_fits(record_.offset, record_.length, recorded_size_)) {
    out_of_range_ = true;
    bad_record_ = record_;
  }
  ++records_;
  data_left_ = record_.length;
  handing_out_ = !faulty();
}

CdpRecordScanner::Verdict CdpRecordScanner::verdict() const {
  if (malformed_ || !ended_ || field_used_ != 0) return Verdict::malformed;
  return out_of_range_ ? Verdict::out_of_range : Verdict::well_formed;
}

}  // namespace rempar
