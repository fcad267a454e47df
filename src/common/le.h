#pragma once
// Container integers: 32 bits, least significant byte first, whatever the
// machine's byte order.

#include <array>
#include <cstdint>
#include <span>

namespace rempar {

inline std::array<std::uint8_t, 4> encode_le32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

inline std::uint32_t decode_le32(std::span<const std::uint8_t, 4> bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline std::uint32_t decode_le32(const std::uint8_t* bytes) {
  return decode_le32(std::span<const std::uint8_t, 4>(bytes, 4));
}

}  // namespace rempar
