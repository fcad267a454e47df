#pragma once
// The block checksum of a byte range of a file as it reads now, in pieces of
// the buffer's size: what the binding check and the read-back compare with
// the checksums they hold.

#include <cstdint>
#include <span>

#include "common/file.h"
#include "common/read_status.h"

namespace rempar {

// Reads [offset, offset + length) of `file` through `buffer`; on ok, `crc`
// holds the range's block checksum.
[[nodiscard]] io::ReadStatus range_checksum(io::File& file, std::span<std::uint8_t> buffer,
                                            std::uint64_t offset, std::uint64_t length,
                                            std::uint32_t& crc);

}  // namespace rempar
