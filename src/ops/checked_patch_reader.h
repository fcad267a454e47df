#pragma once
// Reads a byte range of a patch file again after the file's check, a whole
// piece at a time, and hands out only bytes of pieces whose checksum matches
// the one the check took: whatever the file or the medium does between the
// two reads, the bytes handed out are the bytes whose seal was checked.

#include <cstdint>
#include <span>
#include <vector>

#include "common/file.h"
#include "container/piece_checksums.h"

namespace rempar {

class CheckedPatchReader {
 public:
  enum class Status { ok, failed, ended_early, changed };

  // The bytes in [begin, end) of `cdp`, whose pieces `checked` holds.
  CheckedPatchReader(io::File& cdp, const PieceChecksums& checked, std::int64_t begin,
                     std::int64_t end);

  // The next bytes of the range, all from one piece found unchanged; empty,
  // with a status other than ok, when none can be had.
  std::span<const std::uint8_t> next(Status& status);

 private:
  Status read_piece(std::size_t index);

  io::File& cdp_;
  const PieceChecksums& checked_;
  std::int64_t position_;  // offset of the next byte handed out
  std::int64_t end_;
  std::vector<std::uint8_t> piece_;
};

}  // namespace rempar
