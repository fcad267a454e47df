#pragma once
// The byte shuffle that starts the two-bit plane transpose of the x86
// kernels, for each 16 bytes (one register or one 128-bit lane).

#include <array>
#include <cstdint>

namespace rempar::crc {

// Dword u of the result holds the bytes i with i % 4 == 3 - u, the latest
// first: result byte 4u + t is input byte 15 - 4t - u. With reversed
// qwords (see x86_intrinsics.h) the bytes of each dword lie the other way.
constexpr std::array<std::uint8_t, 16> pair_plane_gather(bool reversed_qwords) {
  std::array<std::uint8_t, 16> index{};
  const int flip = reversed_qwords ? 3 : 0;
  for (int u = 0; u < 4; ++u) {
    for (int t = 0; t < 4; ++t)
      index[4 * u + (t ^ flip)] = static_cast<std::uint8_t>(15 - 4 * t - u);
  }
  return index;
}

}  // namespace rempar::crc
