#include "ops/record_writer.h"

#include <algorithm>

#include "common/messages.h"

namespace rempar {

void RecordWriter::fail(const CdpRecord& record) {
  if (record_failed_) return;
  record_failed_ = true;
  ++failed_;
  out_ << msg::record_write_failed(target_.name(), record.offset, target_.last_error());
}

void RecordWriter::write_at(const CdpRecord& record, std::span<const std::uint8_t> bytes,
                            std::uint64_t offset) {
  if (!target_.write_at(bytes, static_cast<std::int64_t>(offset))) fail(record);
}

void RecordWriter::write_in_pages(const CdpRecord& record, std::uint64_t offset,
                                  std::span<const std::uint8_t> piece, bool record_ends) {
  if (!carried_.empty()) {
    const std::uint64_t carried_end = carried_at_ + carried_.size();
    const auto fill = static_cast<std::size_t>(std::min<std::uint64_t>(
        piece.size(), (WRITE_PAGE - carried_end % WRITE_PAGE) % WRITE_PAGE));
    const auto filled = piece.first(fill);
    carried_.insert(carried_.end(), filled.begin(), filled.end());
    piece = piece.subspan(fill);
    offset += fill;
    if ((carried_at_ + carried_.size()) % WRITE_PAGE != 0 && !record_ends) return;
    write_at(record, carried_, carried_at_);
    carried_.clear();
  }
  const std::uint64_t end = offset + piece.size();
  const std::uint64_t whole = record_ends ? piece.size() : piece.size() - end % WRITE_PAGE;
  if (whole > piece.size()) {  // the piece lies inside one page
    carried_.assign(piece.begin(), piece.end());
    carried_at_ = offset;
    return;
  }
  if (whole != 0) write_at(record, piece.first(static_cast<std::size_t>(whole)), offset);
  if (whole != piece.size()) {
    carried_.assign(piece.begin() + static_cast<std::ptrdiff_t>(whole), piece.end());
    carried_at_ = offset + whole;
  }
}

void RecordWriter::write(const CdpRecord& record, std::uint64_t done,
                         std::span<const std::uint8_t> piece) {
  if (done == 0) {
    record_failed_ = false;
    carried_.clear();
  }
  const bool record_ends = done + piece.size() == record.length;
  // The rest of a refused record is still written: each sector it repairs
  // is one fewer to read again.
  write_in_pages(record, record.offset + done, piece, record_ends);
  if (record_ends && sync_each_record_ && !target_.sync()) fail(record);
}

}  // namespace rempar
