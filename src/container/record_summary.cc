#include "container/record_summary.h"

namespace rempar {

std::uint32_t head_length(std::uint64_t offset, std::uint32_t length) {
  const std::uint64_t boundary = (offset / WRITE_PAGE + 1) * WRITE_PAGE;
  return boundary < offset + length ? static_cast<std::uint32_t>(boundary - offset) : 0;
}

void RecordSummaries::take(const CdpRecord& record, std::uint64_t done,
                           std::span<const std::uint8_t> piece) {
  if (done == 0) {
    crc_ = RunningCrc{};
    head_crc_ = 0;
  }
  const bool ends = done + piece.size() == record.length;
  const std::uint64_t head = head_length(record.offset, record.length);
  if (done < head && head <= done + piece.size()) {
    const auto split = static_cast<std::size_t>(head - done);
    crc_.update(piece.first(split));
    head_crc_ = crc_.value();
    piece = piece.subspan(split);
  }
  crc_.update(piece);
  if (ends) {
    records_.push_back({record.offset, record.length, crc_.value(), head_crc_});
  }
}

bool overwritten_later(std::span<const RecordSummary> records, std::size_t index) {
  // Patches are written in file order, so only the next record can reach
  // back into this one; a patch out of order is checked as it stands.
  if (index + 1 >= records.size()) return false;
  const RecordSummary& here = records[index];
  const RecordSummary& next = records[index + 1];
  return next.offset < here.offset + here.length && here.offset < next.offset + next.length;
}

}  // namespace rempar
