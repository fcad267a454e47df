#pragma once
// Checksum creation: a checksum file holding the file's size, the block size,
// one block checksum per block and the seal (fields: container/cdt.h).

#include <cstdint>
#include <ostream>
#include <string>

#include "common/file.h"
#include "container/container_writer.h"
#include "ops/outcome.h"

namespace rempar {

// Writes the checksum file of `file` to `cdt_name`; block_size is at least 1.
Outcome run_create_checksum(const std::string& file, const std::string& cdt_name,
                            std::int32_t block_size, std::ostream& out);

// Writes the whole checksum file of `input` (file_size bytes) through
// `output` in `layout`, seal included. False, after a message, when a read or
// write failed.
[[nodiscard]] bool write_checksums(io::File& input, ContainerWriter& output,
                                   const ContainerLayout& layout, std::int32_t block_size,
                                   std::int64_t file_size, std::ostream& out);

}  // namespace rempar
