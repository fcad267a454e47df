#pragma once
// The checksum kernels behind block_crc. Every kernel advances a raw register
// (the value before the final inversion) over a run of bytes, so a checksum
// can be computed in pieces: update(update(r, a), b) == update(r, a + b).
//
// Adding a kernel:
//   1. declare its update function and its `supported` check below, inside
//      the guard of the CPU family it runs on;
//   2. give it a row, with its name and priority, in crc_dispatch.cc;
//   3. add its name to KERNEL_NAMES;
//   4. build its source a second time for the tests under emulation, for
//      the machines that lack it (see crc_emulated.h), so that the kernel
//      suite runs it everywhere. The suite fails for a name in KERNEL_NAMES
//      that a test build runs neither natively nor under emulation.
// The folding kernels take their constants from crc_algebra.h.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace rempar::crc {

constexpr std::uint32_t INITIAL_REGISTER = 0xFFFFFFFFu;

using Kernel = std::uint32_t (*)(std::uint32_t reg, const std::uint8_t* data, std::size_t length);

// Every kernel the project has, on any CPU family.
inline constexpr std::array<std::string_view, 6> KERNEL_NAMES = {"bytewise", "portable", "sse41",
                                                                 "avx2",     "avx512",   "neon"};

// The definition itself: one table step per byte. Slow, obviously right.
std::uint32_t update_bytewise(std::uint32_t reg, const std::uint8_t* data, std::size_t length);

// Table-sliced kernel for any CPU.
std::uint32_t update_portable(std::uint32_t reg, const std::uint8_t* data, std::size_t length);

#if defined(__x86_64__)
// Bit planes folded with carry-less multiplication; needs AVX-512 (F, BW,
// VBMI), GFNI and VPCLMULQDQ. Short inputs go to update_portable.
std::uint32_t update_avx512(std::uint32_t reg, const std::uint8_t* data, std::size_t length);
bool avx512_supported();

// Two-bit planes folded with carry-less multiplication on 256-bit registers;
// needs AVX2 and VPCLMULQDQ. Tails shorter than its group go to
// update_portable.
std::uint32_t update_avx2(std::uint32_t reg, const std::uint8_t* data, std::size_t length);
bool avx2_supported();

// The same on 128-bit registers; needs SSE4.1 and PCLMULQDQ.
std::uint32_t update_sse41(std::uint32_t reg, const std::uint8_t* data, std::size_t length);
bool sse41_supported();
#endif

#if defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// Two-bit planes folded with carry-less multiplication; needs NEON and PMULL,
// as the kernel's hardware-capability bits report them. Short inputs go to
// update_portable.
std::uint32_t update_neon(std::uint32_t reg, const std::uint8_t* data, std::size_t length);
bool neon_supported();
#endif

struct KernelInfo {
  const char* name;
  Kernel update;
  bool (*supported)();
  // The supported kernel with the highest priority runs.
  int priority;
};

// The `supported` check of kernels that run on any CPU.
inline bool always_supported() { return true; }

// Every kernel built into this binary for this CPU family.
std::span<const KernelInfo> all_kernels();

// The kernel of that name in all_kernels(), or nullptr.
const KernelInfo* find_kernel(std::string_view name);

// The supported kernel of highest priority, chosen once; never one above the
// cap set at build time (REMPAR_MAX_KERNEL), nor other than the byte-at-a-time
// one in a REMPAR_PLAIN_CRC build.
const KernelInfo& active_kernel();

}  // namespace rempar::crc
