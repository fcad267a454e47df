#pragma once
// The block checksum: a CRC-32 variant whose register shifts arithmetically.
// Its values are not those of standard CRC-32, and stored checksum files and
// patch files depend on this exact variant.

#include <cstddef>
#include <cstdint>
#include <span>

namespace rempar {

// Computes the block checksum of `length` bytes at `data` into `result`.
// Every call starts afresh.
void block_crc(const std::uint8_t* data, std::int64_t length, std::int32_t& result);

// The same checksum as an unsigned value, for callers that hold a span.
std::uint32_t block_crc(std::span<const std::uint8_t> data);

// A block checksum computed over several pieces in turn, for data that is
// never held in one buffer (a container being written or checked in chunks).
class RunningCrc {
 public:
  void update(std::span<const std::uint8_t> data);
  std::uint32_t value() const;

 private:
  std::uint32_t reg_ = 0xFFFFFFFFu;
};

}  // namespace rempar
