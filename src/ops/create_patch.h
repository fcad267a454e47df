#pragma once
// Patch creation: compares a good copy with the checksum file of a damaged
// one and writes every block that differs into a patch file, in the format
// version of the checksum file (fields: container/cdt.h, container/cdp.h).

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "common/file.h"
#include "common/messages.h"
#include "container/cdt.h"
#include "container/container_writer.h"
#include "container/piece_checksums.h"
#include "ops/outcome.h"

namespace rempar {

Outcome run_create_patch(const std::string& cdt_name, const std::string& file,
                         const std::string& cdp_name, std::ostream& out);

// The message for a checksum file that records another file size than the
// file it is checked against has.
using SizeMismatch = std::function<std::string(std::int64_t actual, std::uint64_t recorded)>;

// A checksum file that passed its check: the sizes it records, and the
// checksums of its pieces as the check read them, which every later read of
// it must match.
struct AcceptedCdt {
  CdtSizes sizes;
  PieceChecksums checked;
};

// Checks the checksum file and the sizes it records against the verified
// file; nothing, after one message, when it is rejected.
[[nodiscard]] std::optional<AcceptedCdt> accept_checksum_file(
    io::File& cdt, std::int64_t cdt_size, std::int64_t verified_size, std::ostream& out,
    const SizeMismatch& size_mismatch = msg::verified_size_mismatch);

// Walks the verified file and writes the records of the blocks whose
// checksums differ from the accepted checksum file's. Returns false, after
// one message, when a read or write failed or a file read differently the
// second time; `found` says whether any block differed.
[[nodiscard]] bool write_patch(io::File& cdt, io::File& verified, ContainerWriter& patch,
                               const AcceptedCdt& accepted, std::int64_t cdt_size, bool& found,
                               std::ostream& out);

}  // namespace rempar
