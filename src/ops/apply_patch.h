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

// Returns false, after one message, when it rejected the patch file (the
// target is then untouched), when reading or writing failed part way, or when
// the patch file read differently the second time (the records before the
// piece that differs are then written, each byte as the check read it).
// `summaries`, when given, receives each record's place and checksum, taken
// in the check pass.
[[nodiscard]] bool apply_records(io::File& cdp, io::File& target, std::int64_t cdp_size,
                                 std::int64_t target_size, std::ostream& out,
                                 RecordSummaries* summaries = nullptr,
                                 const BeforeWriting& before_writing = {});

}  // namespace rempar
