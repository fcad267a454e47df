#pragma once
// Block checksums of the fixed-size pieces of a stream of bytes, taken as the
// stream passes once, so that a later pass over the same bytes can tell piece
// by piece whether it reads what the first pass read. Four bytes per piece:
// 4 KiB per GiB of stream.

#include <cstdint>
#include <span>
#include <vector>

#include "checksum/block_crc.h"

namespace rempar {

class PieceChecksums {
 public:
  static constexpr std::int64_t PIECE_SIZE = 1 << 20;

  // Takes the next bytes of the stream, which starts at offset 0.
  void add(std::span<const std::uint8_t> bytes);
  // Ends the stream: a last, shorter piece gets its checksum too.
  void finish();

  // Bytes taken so far.
  std::int64_t size() const { return size_; }
  std::size_t count() const { return sums_.size(); }
  // The piece that holds the byte at `offset`, and where a piece starts and
  // how long it is.
  static std::size_t piece_at(std::int64_t offset) {
    return static_cast<std::size_t>(offset / PIECE_SIZE);
  }
  static std::int64_t piece_begin(std::size_t index) {
    return static_cast<std::int64_t>(index) * PIECE_SIZE;
  }
  std::int64_t piece_length(std::size_t index) const;
  // Whether `bytes` are exactly the bytes of piece `index` as first seen.
  bool matches(std::size_t index, std::span<const std::uint8_t> bytes) const;

 private:
  std::vector<std::uint32_t> sums_;
  RunningCrc current_;
  std::int64_t size_ = 0;
  std::int64_t in_current_ = 0;  // bytes of the piece not yet complete
};

}  // namespace rempar
