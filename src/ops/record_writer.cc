#include "ops/record_writer.h"

#include "common/messages.h"

namespace rempar {

void RecordWriter::fail(const CdpRecord& record) {
  if (record_failed_) return;
  record_failed_ = true;
  ++failed_;
  out_ << msg::record_write_failed(target_.name(), record.offset, target_.last_error());
}

void RecordWriter::write(const CdpRecord& record, std::uint64_t done,
                         std::span<const std::uint8_t> piece) {
  if (done == 0) record_failed_ = false;
  // The rest of a refused record is still written: each sector it repairs
  // is one fewer to read again.
  if (!target_.write_at(piece, static_cast<std::int64_t>(record.offset + done))) fail(record);
  const bool record_ends = done + piece.size() == record.length;
  if (record_ends && sync_each_record_ && !target_.sync()) fail(record);
}

}  // namespace rempar
