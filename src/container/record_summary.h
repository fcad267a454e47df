#pragma once
// What the check pass of a patch keeps of each record: where it goes, the
// block checksum of its bytes and of their head, 24 bytes a record. Later
// steps compare the target with these, so the patch's bytes are never read
// again for that.

#include <cstdint>
#include <span>
#include <vector>

#include "checksum/block_crc.h"
#include "container/cdp.h"

namespace rempar {

// Records go into the target in writes that start and end on multiples of
// this (but for the record's own ends), and the kernel cuts a killed write
// on such a boundary too: a run stopped inside a record leaves its block
// holding the record's bytes up to one of them and the older bytes after.
inline constexpr std::uint64_t WRITE_PAGE = 4096;

// How many of a record's first bytes lie before the first write page
// boundary inside it: the least a stopped write leaves of it. 0 when no
// boundary lies inside, so no write of it can stop half way.
std::uint32_t head_length(std::uint64_t offset, std::uint32_t length);

struct RecordSummary {
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
  std::uint32_t crc = 0;       // block checksum of the record's bytes
  std::uint32_t head_crc = 0;  // and of its first head_length() bytes
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
  std::uint32_t head_crc_ = 0;
};

// Whether a later record of the patch overwrites part of record `index`, so
// that the target no longer holds that record's bytes whole.
bool overwritten_later(std::span<const RecordSummary> records, std::size_t index);

}  // namespace rempar
