#pragma once
// Reads a byte range of a container again after the container's check, a
// whole piece at a time, and hands out only bytes of pieces whose checksum
// matches the one the check took: whatever the file or the medium does
// between the two reads, the bytes handed out are the bytes whose seal was
// checked.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/file.h"
#include "container/piece_checksums.h"

namespace rempar {

class CheckedRereader {
 public:
  enum class Status { ok, failed, ended_early, changed };

  // The bytes in [begin, end) of `container`, whose pieces `checked` holds.
  CheckedRereader(io::File& container, const PieceChecksums& checked, std::int64_t begin,
                  std::int64_t end);

  // The next bytes of the range, all from one piece found unchanged, valid
  // until the next call; empty, with a status other than ok, when none can
  // be had.
  std::span<const std::uint8_t> next(Status& status);
  // Fills `out` completely, across pieces, or says why not.
  Status read(std::span<std::uint8_t> out);

 private:
  Status read_piece(std::size_t index);

  io::File& container_;
  const PieceChecksums& checked_;
  std::int64_t position_;  // offset of the next byte read from the file
  std::int64_t end_;
  std::vector<std::uint8_t> piece_;
  std::span<const std::uint8_t> left_;  // read and checked, not yet handed out
};

// The one message for a status other than ok: `changed` for a piece that
// differs from the check's, otherwise the read error of the file in `role`.
std::string reread_error(CheckedRereader::Status status, const io::File& container,
                         std::string_view role, std::string_view changed);

}  // namespace rempar
