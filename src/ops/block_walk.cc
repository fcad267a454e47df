#include "ops/block_walk.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <vector>

#include "checksum/block_crc.h"
#include "common/aligned_buffer.h"
#include "common/file_window.h"
#include "common/messages.h"
#include "ops/progress.h"

namespace rempar {
namespace {

std::atomic<WalkMethod> chosen_method{WalkMethod::automatic};

// Whether the walk tries windows onto the input: a regular file whose
// blocks fit the buffer. Block devices, pipes and the like are read.
bool maps(io::File& input) {
  if (chosen_method.load() == WalkMethod::read) return false;
  const auto info = input.info();
  return info && info->kind == io::Kind::regular;
}

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

// Where the cache holds a file in small folios, mapping a window costs a
// page fault per folio, more than copying it; the walk then reads the next
// stretch with read(), longer after each such window, and tries a window
// again after it. A window that cannot be brought in at all (a medium
// error, most likely) is read the same way, under the read policy; on a
// failing disk every such try costs failed reads of its own, so the
// stretches after failed windows grow further and never shrink.
class CopiedStretch {
 public:
  static constexpr std::uint64_t FIRST = std::uint64_t{2} << 20;
  static constexpr std::uint64_t LONGEST = std::uint64_t{64} << 20;
  static constexpr std::uint64_t LONGEST_AFTER_FAILURE = std::uint64_t{1} << 30;
  // Above this many faults per MiB a window was in small folios.
  static constexpr std::uint64_t FAULTS_PER_MIB = 4;

  bool covers(std::uint64_t position) const { return position < until_; }
  // A window in small folios starts at `position`.
  void small_folios(std::uint64_t position) { start(position, next_, LONGEST); }
  void large_folios() { next_ = FIRST; }
  // A window from `position` on could not be brought in.
  void failed(std::uint64_t position) { start(position, after_failure_, LONGEST_AFTER_FAILURE); }
  static bool costly(std::uint64_t faults, std::uint64_t bytes) {
    return faults * (std::uint64_t{1} << 20) > FAULTS_PER_MIB * bytes;
  }

 private:
  void start(std::uint64_t position, std::uint64_t& length, std::uint64_t longest) {
    until_ = std::max(until_, position + length);
    length = std::min(length * 2, longest);
  }

  std::uint64_t until_ = 0;
  std::uint64_t next_ = FIRST;
  std::uint64_t after_failure_ = FIRST;
};

// The walk over blocks that fit the buffer: through mapped windows of two
// buffers' worth where the input allows it, by reads of a buffer otherwise.
class SmallBlockWalk {
 public:
  SmallBlockWalk(io::File& input, BlockReader& reader, const BlockGeometry& g,
                 AlignedBuffer& buffer, Progress& progress, CacheDropper& cache,
                 const std::function<bool(const Block&)>& on_block, io::FileWindows* windows)
      : input_(input),
        reader_(reader),
        g_(g),
        buffer_(buffer),
        progress_(progress),
        cache_(cache),
        on_block_(on_block),
        windows_(windows),
        walk_index_(g.first_walk_index()) {}

  WalkStatus run() {
    while (block_ < g_.count()) {
      const WalkStatus s = maps_next() ? mapped_window() : copied_chunk();
      if (s != WalkStatus::completed) return s;
    }
    return WalkStatus::completed;
  }

 private:
  bool maps_next() const {
    return windows_ && windows_->ready() && !stretch_.covers(position_) && !reader_.in_trouble();
  }

  WalkStatus hand_out(std::uint64_t block, std::span<const std::uint8_t> data, std::uint32_t crc,
                      bool unreadable, bool mapped) {
    progress_.pass(walk_index_++);
    Block b{block, g_.offset(block), g_.length(block), crc, data, unreadable, mapped};
    if (unreadable) b.data = {};
    return on_block_(b) ? WalkStatus::completed : WalkStatus::stopped;
  }

  // One read of up to a buffer of whole blocks.
  WalkStatus copied_chunk() {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), g_.file_size - position_));
    const std::uint64_t first = block_;
    const std::uint64_t blocks = (want + g_.block_size - 1) / g_.block_size;
    if (const WalkStatus s =
            reader_.read_blocks(first, blocks, std::span(buffer_.data(), want), unreadable_);
        s != WalkStatus::completed) {
      return s;
    }
    for (std::size_t at = 0; at < want; ++block_) {
      const auto length = static_cast<std::size_t>(g_.length(block_));
      const auto data = std::span<const std::uint8_t>(buffer_.data() + at, length);
      const bool unreadable = unreadable_[block_ - first];
      const std::uint32_t crc = unreadable ? reader_.unreadable_crc(length) : block_crc(data);
      if (const WalkStatus s = hand_out(block_, data, crc, unreadable, false);
          s != WalkStatus::completed) {
        return s;
      }
      at += length;
    }
    position_ += want;
    cache_.walked_to(position_);
    return WalkStatus::completed;
  }

  // The blocks of one window, checksummed where they lie. Every checksum is
  // taken before any block is handed out, so a window that lost its pages
  // meanwhile hands out nothing.
  WalkStatus mapped_window() {
    const auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(2 * std::uint64_t{buffer_.size()}, g_.file_size - position_));
    const auto window = windows_->map(position_, want);
    if (!window) {
      stretch_.failed(position_);
      return WalkStatus::completed;
    }
    // In small folios, the first touch of each page of the window costs
    // more than copying it (on some virtual machines many times more): the
    // window goes unread and a stretch of reads takes it.
    if (chosen_method.load() == WalkMethod::automatic &&
        CopiedStretch::costly(windows_->faults(), want)) {
      windows_->release();
      stretch_.small_folios(position_);
      return WalkStatus::completed;
    }
    stretch_.large_folios();
    crcs_.clear();
    for (std::size_t at = 0; at < want;) {
      const auto length = static_cast<std::size_t>(g_.length(block_ + crcs_.size()));
      crcs_.push_back(block_crc(window->subspan(at, length)));
      at += length;
    }
    if (windows_->lost()) return after_loss();
    std::size_t at = 0;
    for (const std::uint32_t crc : crcs_) {
      const auto length = static_cast<std::size_t>(g_.length(block_));
      const WalkStatus s = hand_out(block_++, window->subspan(at, length), crc, false, true);
      if (s != WalkStatus::completed) return s;
      at += length;
    }
    // A consumer that copied bytes out of a window that then lost them
    // checks its copy; what matters here is whether the file ended early.
    if (windows_->lost() && has_shrunk()) return WalkStatus::ended_early;
    windows_->release();
    position_ += want;
    cache_.walked_to(position_);
    return WalkStatus::completed;
  }

  // The window lost its pages before any block was handed out: the file
  // was cut short, or its pages could not be read again. The window is then
  // read with read(), under the read policy.
  WalkStatus after_loss() {
    windows_->release();
    if (has_shrunk()) return WalkStatus::ended_early;
    stretch_.failed(position_);
    return WalkStatus::completed;
  }

  bool has_shrunk() const {
    const auto info = input_.info();
    return !info || static_cast<std::uint64_t>(info->size) < g_.file_size;
  }

  io::File& input_;
  BlockReader& reader_;
  const BlockGeometry& g_;
  AlignedBuffer& buffer_;
  Progress& progress_;
  CacheDropper& cache_;
  const std::function<bool(const Block&)>& on_block_;
  io::FileWindows* windows_;
  CopiedStretch stretch_;
  std::int64_t walk_index_;
  std::uint64_t block_ = 0;
  std::uint64_t position_ = 0;
  std::vector<bool> unreadable_;
  std::vector<std::uint32_t> crcs_;
};

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
  WalkStatus status = WalkStatus::completed;
  if (small) {
    std::optional<io::FileWindows> windows;
    if (maps(input)) windows.emplace(input, 2 * buffer->size());
    status = SmallBlockWalk(input, reader, geometry, *buffer, progress, cache, on_block,
                            windows && windows->ready() ? &*windows : nullptr)
                 .run();
  } else {
    status = walk_large_blocks(reader, geometry, *buffer, progress, cache, on_block);
  }
  cache.finish();
  if (failed_at) *failed_at = reader.failed_at();
  return status;
}

void set_walk_method(WalkMethod method) { chosen_method.store(method); }

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
