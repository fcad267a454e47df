#pragma once
// The checksum kernels behind block_crc. Every kernel advances a raw register
// (the value before the final inversion) over a run of bytes, so a checksum
// can be computed in pieces: update(update(r, a), b) == update(r, a + b).

#include <cstddef>
#include <cstdint>
#include <span>

namespace rempar::crc {

constexpr std::uint32_t INITIAL_REGISTER = 0xFFFFFFFFu;

using Kernel = std::uint32_t (*)(std::uint32_t reg, const std::uint8_t* data, std::size_t length);

// The definition itself: one table step per byte. Slow, obviously right.
std::uint32_t update_bytewise(std::uint32_t reg, const std::uint8_t* data, std::size_t length);

// Table-sliced kernel for any CPU.
std::uint32_t update_portable(std::uint32_t reg, const std::uint8_t* data, std::size_t length);

#if defined(__x86_64__)
// Bit planes folded with carry-less multiplication; needs AVX-512 (F, BW,
// VBMI), GFNI and VPCLMULQDQ. Short inputs go to update_portable.
std::uint32_t update_avx512(std::uint32_t reg, const std::uint8_t* data, std::size_t length);
bool avx512_supported();
#endif

struct KernelInfo {
  const char* name;
  Kernel update;
  bool (*supported)();
};

// Every kernel built into this binary, the byte-at-a-time one first.
std::span<const KernelInfo> all_kernels();

// The fastest kernel this CPU runs, chosen once.
const KernelInfo& active_kernel();

}  // namespace rempar::crc
