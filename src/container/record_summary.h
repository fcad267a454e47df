#pragma once
// What the check pass of a patch keeps of each record: where it goes and the
// block checksum of its bytes, 16 bytes a record. Later steps compare the
// target with these, so the patch's bytes are never read again for that.

#include <cstdint>
#include <span>
#include <vector>

#include "checksum/block_crc.h"
#include "container/cdp.h"

namespace rempar {

struct RecordSummary {
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
  std::uint32_t crc = 0;  // block checksum of the record's bytes
};

// Gathers the summaries from the pieces a CdpRecordScanner hands out. Records
// of no bytes change nothing and are left out.
class RecordSummaries {
 public:
  void take(const CdpRecord& record, std::uint64_t done, std::span<const std::uint8_t> piece);
  const std::vector<RecordSummary>& records() const { return records_; }

 private:
  std::vector<RecordSummary> records_;
  RunningCrc crc_;
};

// Whether a later record of the patch overwrites part of record `index`, so
// that the target no longer holds that record's bytes whole.
bool overwritten_later(std::span<const RecordSummary> records, std::size_t index);

}  // namespace rempar
