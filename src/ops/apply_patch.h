#pragma once
// Patch application: checks a patch file and writes its records into the
// damaged copy in place. The whole patch is checked, its seal and its record
// list, before the first byte of the target changes.

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "common/file.h"
#include "container/record_summary.h"
#include "ops/outcome.h"

namespace rempar {

Outcome run_apply_patch(const std::string& cdp_name, const std::string& file, std::ostream& out);

// Runs after the patch's check, with every record's summary, before the
// first write; false (after one message) leaves the target untouched.
using BeforeWriting = std::function<bool(std::span<const RecordSummary> records)>;

// How the records went into the target.
struct RecordWrites {
  bool sync_each_record = false;  // flush each record (a block device)
  std::uint64_t records = 0;      // the records of the patch
  std::uint64_t failed = 0;       // ... that the target refused, each reported
};

// Returns false, after one message, when it rejected the patch file (the
// target is then untouched), when reading failed part way, or when the patch
// file read differently the second time (the records before the piece that
// differs are then written, each byte as the check read it). A record the
// target refuses is reported and counted in `writes`, and the next is
// written; without `writes`, any refused record makes the result false.
// `summaries`, when given, receives each record's place and checksum, taken
// in the check pass.
[[nodiscard]] bool apply_records(io::File& cdp, io::File& target, std::int64_t cdp_size,
                                 std::int64_t target_size, std::ostream& out,
                                 RecordWrites* writes = nullptr,
                                 RecordSummaries* summaries = nullptr,
                                 const BeforeWriting& before_writing = {});

}  // namespace rempar
