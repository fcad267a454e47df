#include "ops/block_walk.h"

#include <algorithm>
#include <vector>

#include "checksum/block_crc.h"
#include "common/aligned_buffer.h"
#include "common/messages.h"
#include "ops/progress.h"

namespace rempar {
namespace {

// Drops the pages behind the walk of a large input. The cache keeps a file
// in folios of up to a few MiB that leave only whole, so a drop of just the
// last chunk would leave every folio that straddles two chunks: every
// DROP_STEP bytes, each drop reaches back one step before the previous
// drop's end, far more than a folio, rather than to the start of the file,
// which would make the drops of a long walk cost the square of its length.
class CacheDropper {
 public:
  static constexpr std::uint64_t DROP_STEP = 32 << 20;

  CacheDropper(io::File& input, const BlockGeometry& g)
      : input_(input), enabled_(g.file_size >= UNCACHED_WALK_SIZE) {}
  void walked_to(std::uint64_t position) {
    if (!enabled_ || position < next_) return;
    const std::uint64_t from = dropped_to_ > DROP_STEP ? dropped_to_ - DROP_STEP : 0;
    input_.drop_cached(static_cast<std::int64_t>(from), static_cast<std::int64_t>(position - from));
    dropped_to_ = position;
    next_ = position + DROP_STEP;
  }
  // Everything, read-ahead beyond the end of the walk included.
  void finish() {
    if (enabled_) input_.drop_cached(0, 0);
  }

 private:
  io::File& input_;
  bool enabled_;
  std::uint64_t dropped_to_ = 0;
  std::uint64_t next_ = DROP_STEP;
};

// Blocks that fit the buffer: one read brings many whole blocks.
WalkStatus walk_small_blocks(BlockReader& reader, const BlockGeometry& g, AlignedBuffer& buffer,
                             Progress& progress, CacheDropper& cache,
                             const std::function<bool(const Block&)>& on_block) {
  std::int64_t walk_index = g.first_walk_index();
  std::uint64_t block = 0;
  std::uint64_t position = 0;
  std::vector<bool> unreadable;
  while (block < g.count()) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), g.file_size - position));
    const std::uint64_t first = block;
    const std::uint64_t blocks = (want + g.block_size - 1) / g.block_size;
    if (const WalkStatus s =
            reader.read_blocks(first, blocks, std::span(buffer.data(), want), unreadable);
        s != WalkStatus::completed) {
      return s;
    }
    for (std::size_t at = 0; at < want; ++block, ++walk_index) {
      progress.pass(walk_index);
      const auto length = static_cast<std::size_t>(g.length(block));
      const auto data = std::span<const std::uint8_t>(buffer.data() + at, length);
      const Block read =
          unreadable[block - first]
              ? Block{block, g.offset(block), length, reader.unreadable_crc(length), {}, true}
              : Block{block, g.offset(block), length, block_crc(data), data};
      if (!on_block(read)) return WalkStatus::stopped;
      at += length;
    }
    position += want;
    cache.walked_to(position);
  }
  return WalkStatus::completed;
}

// Blocks larger than the buffer: each block's checksum accumulates over
// several reads, so memory stays bounded whatever the block size.
WalkStatus walk_large_blocks(BlockReader& reader, const BlockGeometry& g, AlignedBuffer& buffer,
                             Progress& progress, CacheDropper& cache,
                             const std::function<bool(const Block&)>& on_block) {
  std::int64_t walk_index = g.first_walk_index();
  for (std::uint64_t block = 0; block < g.count(); ++block, ++walk_index) {
    progress.pass(walk_index);
    RunningCrc crc;
    bool unreadable = false;
    if (const WalkStatus s = reader.read_large_block(block, std::span(buffer.data(), buffer.size()),
                                                     crc, unreadable);
        s != WalkStatus::completed) {
      return s;
    }
    const std::uint64_t length = g.length(block);
    const std::uint32_t value = unreadable ? reader.unreadable_crc(length) : crc.value();
    if (!on_block(Block{block, g.offset(block), length, value, {}, unreadable})) {
      return WalkStatus::stopped;
    }
    cache.walked_to(g.offset(block) + g.length(block));
  }
  return WalkStatus::completed;
}

}  // namespace

WalkStatus walk_blocks(io::File& input, const BlockGeometry& geometry, ProgressLine& line,
                       const std::function<bool(const Block&)>& on_block, ReadErrors errors,
                       std::uint64_t* failed_at) {
  line.open();
  if (geometry.count() == 0) return WalkStatus::completed;
  const bool small = geometry.block_size <= WALK_CHUNK;
  const std::uint64_t per_read =
      small ? (WALK_CHUNK / geometry.block_size) * geometry.block_size : WALK_CHUNK;
  // Never more than the file needs, however large the block size.
  auto buffer =
      AlignedBuffer::allocate(static_cast<std::size_t>(std::min(per_read, geometry.file_size)));
  if (!buffer) return WalkStatus::no_memory;
  input.advise_sequential();
  Progress progress(line, geometry.file_size, geometry.block_size);
  CacheDropper cache(input, geometry);
  BlockReader reader(input, geometry, errors);
  const WalkStatus status =
      small ? walk_small_blocks(reader, geometry, *buffer, progress, cache, on_block)
            : walk_large_blocks(reader, geometry, *buffer, progress, cache, on_block);
  cache.finish();
  if (failed_at) *failed_at = reader.failed_at();
  return status;
}

void report_walk_failure(WalkStatus status, const io::File& input, std::string_view role,
                         ProgressLine& line) {
  switch (status) {
    case WalkStatus::read_failed:
      line.print(msg::read_error(role, input, io::ReadStatus::failed));
      break;
    case WalkStatus::ended_early:
      line.print(msg::read_error(role, input, io::ReadStatus::ended_early));
      break;
    case WalkStatus::no_memory: line.print(msg::not_enough_memory("the block buffer")); break;
    case WalkStatus::completed:
    case WalkStatus::stopped: break;
  }
}

}  // namespace rempar
