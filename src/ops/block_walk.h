#pragma once
// The walk over the blocks of a file: block k starts at k * B, every block is
// B bytes long except a short last one of S mod B bytes. The walk index runs
// one behind the block number when the file ends in a short block, and the
// progress line follows the walk index.

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string_view>

#include "common/file.h"
#include "ops/progress.h"
#include "ops/tolerant_read.h"

namespace rempar {

struct BlockGeometry {
  std::uint64_t file_size = 0;
  std::uint64_t block_size = 1;  // at least 1

  std::uint64_t full_blocks() const { return file_size / block_size; }
  std::uint64_t remainder() const { return file_size % block_size; }
  std::uint64_t count() const { return full_blocks() + (remainder() != 0 ? 1 : 0); }
  std::int64_t first_walk_index() const { return remainder() != 0 ? -1 : 0; }
  std::uint64_t offset(std::uint64_t block) const { return block * block_size; }
  std::uint64_t length(std::uint64_t block) const {
    return block == full_blocks() ? remainder() : block_size;
  }
};

struct Block {
  std::uint64_t number = 0;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint32_t crc = 0;
  // The block's bytes; empty when the block is larger than the read buffer,
  // in which case a caller that needs them reads them again.
  std::span<const std::uint8_t> data;
  // The block could not be read: `crc` is unreadable_marker(length) and
  // `data` is empty.
  bool unreadable = false;
  // `data` lies in a mapping of the file, where someone else's write can
  // change it after `crc` was taken; otherwise in the walk's own buffer.
  bool mapped = false;
};

enum class WalkStatus { completed, stopped, read_failed, ended_early, no_memory };

// Inputs are read in requests of about this many bytes, many blocks a request.
inline constexpr std::size_t WALK_CHUNK = 1 << 20;

// From this size on, the pages behind the walk are dropped from the cache
// once checksummed: walking a disk larger than the memory must not push
// everything else out of the cache.
inline constexpr std::uint64_t UNCACHED_WALK_SIZE = std::uint64_t{1} << 31;

// How a walk reads a regular file: where it pays, through mapped windows
// that it checksums where the pages lie (`automatic`); through every window
// that can be brought in, whatever the folios (`mapped`, for tests of that
// path on file systems that cache in small folios); or always with read()
// into a buffer (`read`, for comparison). Other inputs are read.
enum class WalkMethod { automatic, read, mapped };
void set_walk_method(WalkMethod method);

// Reads `input` front to back, opens `line` and shows the progress on it, and
// hands every block, checksum computed, to `on_block`, which returns false to
// stop. A block's pages may leave the cache once `on_block` has returned.
// A consumer that keeps the bytes of a `mapped` block checks its copy
// against `crc`.
// `errors` says what a failed read does (see ops/tolerant_read.h); when it
// ends the walk, `failed_at` receives the offset of the block.
[[nodiscard]] WalkStatus walk_blocks(io::File& input, const BlockGeometry& geometry,
                                     ProgressLine& line,
                                     const std::function<bool(const Block&)>& on_block,
                                     ReadErrors errors = ReadErrors::stop,
                                     std::uint64_t* failed_at = nullptr);

// Prints the one message that explains a walk that did not complete (a
// stopped walk is explained by whoever stopped it).
void report_walk_failure(WalkStatus status, const io::File& input, std::string_view role,
                         ProgressLine& line);

}  // namespace rempar
