#pragma once
// Writes the records of a patch into the target and goes on past a record
// the target refuses: a disk with bad sectors may refuse a few writes, and
// every other record written is a block repaired. Each refused record is
// reported once, with its offset.

#include <cstdint>
#include <ostream>
#include <span>
#include <vector>

#include "common/file.h"
#include "container/cdp.h"
#include "container/record_summary.h"

namespace rempar {

class RecordWriter {
 public:
  // `sync_each_record`: a block device takes buffered writes into its cache
  // and reports a sector that refuses them only when they are flushed, so
  // each record is flushed before the next to tell which one failed.
  RecordWriter(io::File& target, bool sync_each_record, std::ostream& out)
      : target_(target), sync_each_record_(sync_each_record), out_(out) {}

  // Writes `piece`, the bytes of `record` from `done` on.
  void write(const CdpRecord& record, std::uint64_t done, std::span<const std::uint8_t> piece);
  std::uint64_t failed_records() const { return failed_; }

 private:
  void fail(const CdpRecord& record);
  void write_at(const CdpRecord& record, std::span<const std::uint8_t> bytes, std::uint64_t offset);
  // A record's pieces are written in whole pages (WRITE_PAGE), whatever the
  // pieces: a run stopped between two writes then leaves the block as a
  // killed write does, which the next run's binding check recognises; and
  // on a block device a write of part of a page makes the device read the
  // rest first, where a bad sector would refuse the write that repairs it.
  // The bytes up to the next page boundary wait here for the next piece.
  void write_in_pages(const CdpRecord& record, std::uint64_t offset,
                      std::span<const std::uint8_t> piece, bool record_ends);
  std::vector<std::uint8_t> carried_;
  std::uint64_t carried_at_ = 0;

  io::File& target_;
  bool sync_each_record_;
  std::ostream& out_;
  std::uint64_t failed_ = 0;
  bool record_failed_ = false;  // the record being written
};

}  // namespace rempar
