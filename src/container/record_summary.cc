#include "container/record_summary.h"

namespace rempar {

void RecordSummaries::take(const CdpRecord& record, std::uint64_t done,
                           std::span<const std::uint8_t> piece) {
  if (done == 0) crc_ = RunningCrc{};
  crc_.update(piece);
  if (done + piece.size() == record.length) {
    records_.push_back({record.offset, record.length, crc_.value()});
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
