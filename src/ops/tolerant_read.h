#pragma once
// What the block walk does when a read of its input fails. A failing disk
// answers a read that touches a bad sector with an error, and may take
// seconds to do so; a dead region can be gigabytes long. So a failed read is
// tried again block by block, and after a block that cannot be read the
// reader skips ahead by doubling steps, marking the blocks passed over as
// unreadable without trying them: a dead region of N blocks costs about
// log2(N) failed reads. A readable block marked unreadable costs patch
// size only; its good copy is then sent and written over it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "checksum/block_crc.h"
#include "common/file.h"
#include "container/cdt.h"

namespace rempar {

struct BlockGeometry;
enum class WalkStatus;

// Whether a failed read ends the walk (the good copy of patch creation must
// be read whole) or marks its blocks unreadable (the damaged copy).
enum class ReadErrors { stop, mark_unreadable };

// The skip-ahead arithmetic alone: after failures at consecutive tries the
// next try moves 1, 2, 4, ... blocks on; a readable block starts over.
class SkipAhead {
 public:
  // Block `block` could not be read; returns the next block worth trying.
  std::uint64_t failed(std::uint64_t block);
  void succeeded() { step_ = 1; }
  // Whether `block` lies in a stretch passed over without trying.
  bool skips(std::uint64_t block) const { return block < next_try_; }
  // Whether the last block tried failed.
  bool failing() const { return step_ > 1; }

 private:
  // Far beyond any file, small enough that block + step never overflows.
  static constexpr std::uint64_t MAX_STEP = std::uint64_t{1} << 48;
  std::uint64_t step_ = 1;
  std::uint64_t next_try_ = 0;
};

// Whether a read error is the medium's (the sectors cannot be read), as
// opposed to one that says the file cannot be read at all.
bool is_medium_error(int error);

// Reads the blocks of one input for the walk, at absolute offsets, with the
// policy above.
class BlockReader {
 public:
  BlockReader(io::File& input, const BlockGeometry& geometry, ReadErrors errors);

  // Fills `buffer` with the `count` blocks from `first` on, laid end to end;
  // `unreadable[i]` is then set for each block first + i that could not be
  // read (its bytes in the buffer are undefined).
  WalkStatus read_blocks(std::uint64_t first, std::uint64_t count, std::span<std::uint8_t> buffer,
                         std::vector<bool>& unreadable);
  // One block larger than `buffer`, read in pieces into `crc`; `unreadable`
  // set when it cannot be read whole.
  WalkStatus read_large_block(std::uint64_t block, std::span<std::uint8_t> buffer, RunningCrc& crc,
                              bool& unreadable);
  // The stored checksum of an unreadable block of this input.
  std::uint32_t unreadable_crc(std::uint64_t length);
  // Whether the reader is inside a stretch of unreadable blocks, where only
  // its own careful reads should touch the medium.
  bool in_trouble() const { return skip_.failing(); }
  // The offset of the block whose failed read ended the walk.
  std::uint64_t failed_at() const { return failed_at_; }

 private:
  WalkStatus read_at(std::span<std::uint8_t> buffer, std::uint64_t offset);
  WalkStatus read_large_once(std::uint64_t block, std::span<std::uint8_t> buffer, RunningCrc& crc);
  // After a failed read of block `block`: ends the walk, or marks it.
  bool gives_up(std::uint64_t block);

  // Whether the input reads without read-ahead (since a failed read).
  void set_careful(bool careful);
  bool reads_direct(std::span<std::uint8_t> buffer, std::uint64_t offset) const;

  io::File& input_;
  const BlockGeometry& geometry_;
  ReadErrors errors_;
  SkipAhead skip_;
  bool careful_ = false;
  // Careful reads bypass the cache where the input allows it: through a
  // cache every failed read costs the disk several (read-ahead, then page
  // by page), and each can take seconds on a failing drive.
  std::optional<io::File> direct_;
  bool direct_tried_ = false;
  int error_ = 0;  // of the last failed read
  std::uint64_t failed_at_ = 0;
  UnreadableMarkers markers_;
};

// Joins the unreadable blocks a walk passes into runs, each reported once
// it ends: the bytes between two readable blocks.
class UnreadableRuns {
 public:
  // The message for a run that `readable` ends, if any.
  std::optional<std::string> see(std::uint64_t offset, std::uint64_t length, bool unreadable);
  // The message for a run that reaches the end of the file, if any.
  std::optional<std::string> finish();

 private:
  std::uint64_t start_ = 0;
  std::uint64_t bytes_ = 0;
};

}  // namespace rempar
