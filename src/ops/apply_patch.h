#pragma once
// Patch application: checks a patch file and writes its records into the
// damaged copy in place. The whole patch is checked, its seal and its record
// list, before the first byte of the target changes.

#include <cstdint>
#include <ostream>
#include <string>

#include "common/file.h"
#include "ops/outcome.h"

namespace rempar {

Outcome run_apply_patch(const std::string& cdp_name, const std::string& file, std::ostream& out);

// How the records went into the target.
struct RecordWrites {
  bool sync_each_record = false;  // flush each record (a block device)
  std::uint64_t records = 0;      // the records of the patch
  std::uint64_t failed = 0;       // ... that the target refused, each reported
};

// Returns false, after one message, when it rejected the patch file (the
// target is then untouched) or when reading failed part way. A record the
// target refuses is reported and counted in `writes`, and the next is
// written; without `writes`, any refused record makes the result false.
[[nodiscard]] bool apply_records(io::File& cdp, io::File& target, std::int64_t cdp_size,
                                 std::int64_t target_size, std::ostream& out,
                                 RecordWrites* writes = nullptr);

}  // namespace rempar
