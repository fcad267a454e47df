#pragma once
// The proof of a repair: after the records are written and the target
// flushed, each written range is read back from the medium, past the page
// cache, and compared with the record by its block checksum. A failing disk
// can accept a write and give back something else.

#include <cstdint>
#include <ostream>
#include <span>

#include "common/file.h"
#include "container/record_summary.h"

namespace rempar {

// True when every record reads back as written; otherwise one message for
// each range that reads back differently or not at all. `target` must have
// been flushed; its reads bypass the cache from here on where the file
// system allows it. Memory stays at one piece of 1 MiB whatever the patch.
[[nodiscard]] bool reads_back_as_written(io::File& target, std::span<const RecordSummary> records,
                                         std::ostream& out);

}  // namespace rempar
