#pragma once
// A patch tied to its target through the checksum file that the damaged side
// made and keeps beside the patch. Before the first write, every block that a
// record overwrites must still be as that file describes it, or already hold
// the record's bytes, or be unreadable; otherwise the patch is for another
// file, or the target changed since, and nothing is written.

#include <cstdint>
#include <ostream>
#include <span>
#include <string>

#include "common/file.h"
#include "container/record_summary.h"

namespace rempar {

// The checksum file that binds a patch: its name with a final ".cdp", in any
// letter case, replaced by ".cdt"; empty for a name without that ending.
std::string binding_name(const std::string& cdp_name);

// True when no regular file stands at the binding name of `cdp_name`, or
// when the one there is a sound checksum file of the target and every block
// `records` overwrite is in an allowed state. False after one message.
// Reads only the blocks the records name, and their stored checksums.
[[nodiscard]] bool target_is_bound(const std::string& cdp_name, io::File& target,
                                   std::int64_t target_size, std::span<const RecordSummary> records,
                                   std::ostream& out);

}  // namespace rempar
