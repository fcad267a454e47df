#include "ops/tolerant_read.h"

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "common/messages.h"
#include "container/cdt.h"
#include "ops/block_walk.h"

namespace rempar {

std::uint64_t SkipAhead::failed(std::uint64_t block) {
  next_try_ = block + step_;
  step_ = std::min(step_ * 2, MAX_STEP);
  return next_try_;
}

bool is_medium_error(int error) {
#ifdef ENODATA
  // Some kernels report a medium error of a disk as "no data".
  if (error == ENODATA) return true;
#endif
  return error == EIO;
}

BlockReader::BlockReader(io::File& input, const BlockGeometry& geometry, ReadErrors errors)
    : input_(input), geometry_(geometry), errors_(errors) {}

// Direct reads need the buffer, offset and length aligned to the device's
// sectors; where they are not, or the device refuses them, the read goes
// through the cache.
bool BlockReader::reads_direct(std::span<std::uint8_t> buffer, std::uint64_t offset) const {
  constexpr std::uint64_t SECTOR = 512;
  return careful_ && direct_ && reinterpret_cast<std::uintptr_t>(buffer.data()) % SECTOR == 0 &&
         offset % SECTOR == 0 && buffer.size() % SECTOR == 0;
}

WalkStatus BlockReader::read_at(std::span<std::uint8_t> buffer, std::uint64_t offset) {
  const auto at = static_cast<std::int64_t>(offset);
  std::optional<std::size_t> got;
  if (reads_direct(buffer, offset)) {
    got = direct_->read_at(buffer, at);
    if (got) return *got == buffer.size() ? WalkStatus::completed : WalkStatus::ended_early;
    error_ = direct_->last_error();
    if (is_medium_error(error_)) return WalkStatus::read_failed;
    direct_.reset();  // the device does not take direct reads after all
  }
  got = input_.read_at(buffer, at);
  if (!got) {
    error_ = input_.last_error();
    return WalkStatus::read_failed;
  }
  return *got == buffer.size() ? WalkStatus::completed : WalkStatus::ended_early;
}

bool BlockReader::gives_up(std::uint64_t block) {
  if (errors_ == ReadErrors::stop || !is_medium_error(error_)) {
    failed_at_ = geometry_.offset(block);
    return true;
  }
  skip_.failed(block);
  return false;
}

WalkStatus BlockReader::read_blocks(std::uint64_t first, std::uint64_t count,
                                    std::span<std::uint8_t> buffer, std::vector<bool>& unreadable) {
  unreadable.assign(static_cast<std::size_t>(count), false);
  const std::uint64_t base = geometry_.offset(first);
  if (!skip_.skips(first)) {
    set_careful(false);
    const WalkStatus whole = read_at(buffer, base);
    if (whole != WalkStatus::read_failed) return whole;
  }
  set_careful(true);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t block = first + i;
    if (skip_.skips(block)) {
      unreadable[i] = true;
      continue;
    }
    const std::uint64_t offset = geometry_.offset(block);
    const auto piece = buffer.subspan(static_cast<std::size_t>(offset - base),
                                      static_cast<std::size_t>(geometry_.length(block)));
    const WalkStatus s = read_at(piece, offset);
    if (s == WalkStatus::ended_early) return s;
    if (s == WalkStatus::completed) {
      skip_.succeeded();
      continue;
    }
    if (gives_up(block)) return WalkStatus::read_failed;
    unreadable[i] = true;
  }
  if (errors_ == ReadErrors::stop) {
    // The read failed once and the blocks read again: the run still ends,
    // at the read that failed, for the good copy must read without error.
    failed_at_ = base;
    return WalkStatus::read_failed;
  }
  return WalkStatus::completed;
}

void BlockReader::set_careful(bool careful) {
  if (careful == careful_) return;
  careful_ = careful;
  careful ? input_.advise_random() : input_.advise_sequential();
  if (!careful || direct_tried_) return;
  direct_tried_ = true;
  // The same file under its name, or none.
  direct_ = io::File::open(input_.name(), io::File::Mode::read_direct);
  const auto mine = input_.info();
  const auto theirs = direct_ ? direct_->info() : std::nullopt;
  if (!mine || !theirs || mine->identity != theirs->identity) direct_.reset();
}

WalkStatus BlockReader::read_large_once(std::uint64_t block, std::span<std::uint8_t> buffer,
                                        RunningCrc& crc) {
  crc = RunningCrc{};
  const std::uint64_t offset = geometry_.offset(block);
  const std::uint64_t length = geometry_.length(block);
  for (std::uint64_t done = 0; done < length;) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done));
    const auto piece = buffer.first(want);
    if (const WalkStatus s = read_at(piece, offset + done); s != WalkStatus::completed) return s;
    crc.update(piece);
    done += want;
  }
  return WalkStatus::completed;
}

WalkStatus BlockReader::read_large_block(std::uint64_t block, std::span<std::uint8_t> buffer,
                                         RunningCrc& crc, bool& unreadable) {
  unreadable = skip_.skips(block);
  if (unreadable) return WalkStatus::completed;
  WalkStatus s = read_large_once(block, buffer, crc);
  // A block is tried whole a second time before it counts as unreadable.
  if (s == WalkStatus::read_failed && errors_ == ReadErrors::mark_unreadable &&
      is_medium_error(error_)) {
    set_careful(true);
    s = read_large_once(block, buffer, crc);
  }
  if (s != WalkStatus::read_failed) {
    if (s == WalkStatus::completed) skip_.succeeded();
    return s;
  }
  if (gives_up(block)) return WalkStatus::read_failed;
  unreadable = true;
  return WalkStatus::completed;
}

std::uint32_t BlockReader::unreadable_crc(std::uint64_t length) { return markers_.of(length); }

std::optional<std::string> UnreadableRuns::see(std::uint64_t offset, std::uint64_t length,
                                               bool unreadable) {
  if (unreadable) {
    if (bytes_ == 0) start_ = offset;
    bytes_ += length;
    return std::nullopt;
  }
  return finish();
}

std::optional<std::string> UnreadableRuns::finish() {
  if (bytes_ == 0) return std::nullopt;
  const std::uint64_t bytes = std::exchange(bytes_, 0);
  return msg::unreadable_run(start_, bytes);
}

}  // namespace rempar
