#pragma once
// Patch creation: compares a good copy with the checksum file of a damaged
// one and writes every block that differs into a patch file, in the format
// version of the checksum file (layout: container/layout.h).

#include <cstdint>
#include <ostream>
#include <string>

#include "cli/options.h"
#include "common/file.h"
#include "container/container_writer.h"
#include "ops/outcome.h"

namespace rempar {

// The patch name for a checksum file name: a trailing ".cdt", in any letter
// case, becomes ".cdp"; any other name gets ".cdp" appended.
std::string derive_patch_name(const std::string& name);

// Fills in the missing container names of mode 'p' and runs the driver.
Outcome dispatch_create_patch(const Options& options, const std::string& file, std::ostream& out);

Outcome run_create_patch(const std::string& cdt_name, const std::string& file,
                         const std::string& cdp_name, std::ostream& out);

// Checks the checksum file, walks the verified file and writes the records of
// the blocks that differ. Returns false, after one message, when it rejected
// the checksum file or a read or write failed; `found` says whether any block
// differed.
bool write_patch(io::File& cdt, io::File& verified, ContainerWriter& patch, std::int64_t cdt_size,
                 std::int64_t verified_size, bool& found, std::ostream& out);

}  // namespace rempar
