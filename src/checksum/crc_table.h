#pragma once
// The 256-entry table of the reflected CRC-32 polynomial 0xEDB88320, built by
// the compiler so that it lives in read-only data.

#include <array>
#include <cstdint>

namespace rempar::crc {

constexpr std::uint32_t REFLECTED_POLYNOMIAL = 0xEDB88320u;

constexpr std::array<std::uint32_t, 256> make_crc_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1u) ? (value >> 1) ^ REFLECTED_POLYNOMIAL : value >> 1;
    }
    table[i] = value;
  }
  return table;
}

inline constexpr std::array<std::uint32_t, 256> CRC_TABLE = make_crc_table();

// One byte step of the block checksum. The register shifts right
// arithmetically: its sign bit fills the vacated top byte, which is what sets
// this checksum apart from standard CRC-32.
constexpr std::uint32_t crc_step(std::uint32_t reg, std::uint8_t byte) {
  const std::uint32_t sign_fill = (reg & 0x80000000u) ? 0xFF000000u : 0u;
  return CRC_TABLE[(reg ^ byte) & 0xFFu] ^ (reg >> 8) ^ sign_fill;
}

using ByteTable = std::array<std::uint32_t, 256>;

// Every map the kernels tabulate is linear over GF(2), so a table is filled
// from its eight single-bit entries: t[x] = t[x without its lowest bit] ^
// t[lowest bit of x].
template <class Map>
constexpr ByteTable linear_table(Map map) {
  ByteTable table{};
  for (int bit = 0; bit < 8; ++bit) table[1u << bit] = map(1u << bit);
  for (std::uint32_t x = 1; x < 256; ++x) {
    const std::uint32_t low = x & (0u - x);
    table[x] = table[x ^ low] ^ table[low];
  }
  return table;
}

}  // namespace rempar::crc
