#pragma once
// Container integers: least significant byte first, whatever the machine's
// byte order. Fields are 4 or 8 bytes wide.

#include <array>
#include <cstddef>
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

// The low `width` bytes of `value` (width 4 or 8) into `out`.
inline void encode_le(std::uint64_t value, std::size_t width, std::uint8_t* out) {
  for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// An unsigned integer of `width` bytes (4 or 8).
inline std::uint64_t decode_le(const std::uint8_t* bytes, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;) value = value << 8 | bytes[i];
  return value;
}

}  // namespace rempar
