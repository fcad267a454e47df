#pragma once
// The checksum kernels behind block_crc. Every kernel advances a raw register
// (the value before the final inversion) over a run of bytes, so a checksum
// can be computed in pieces: update(update(r, a), b) == update(r, a + b).
//
// Adding a kernel touches four files:
//   1. kernel_list.h: its row, with its name, CPU family and priority. This
//      gives it a row in the table crc_dispatch.cc chooses from, a row in
//      the emulated table of crc_emulated.cc, a place in KERNEL_NAMES and a
//      name CMake accepts for REMPAR_MAX_KERNEL.
//   2. this file: its update function and its `supported` check, inside the
//      guard of its CPU family.
//   3. its source, src/checksum/<family>/crc_<name>.cc (x86/ or arm/),
//      written against the family's intrinsics header (x86/x86_intrinsics.h
//      or arm/arm_intrinsics.h) in the namespace that header names, so that
//      it builds natively for the CPU that has it and, with REMPAR_EMULATED,
//      for the tests on every other one (see crc_emulated.h).
//   4. CMakeLists.txt: that source in REMPAR_VECTOR_KERNEL_SOURCES, which
//      builds it into the library and into the emulated kernels of the tests.
//      (A kernel for any CPU instead goes with crc_portable.cc into the
//      library's sources alone: it needs no emulation.)
// The kernel suite then runs it natively or under emulation on every
// machine; it fails for a kernel that a test build runs neither way.
// The folding kernels take their constants from crc_algebra.h.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "checksum/kernel_list.h"

namespace rempar::crc {

constexpr std::uint32_t INITIAL_REGISTER = 0xFFFFFFFFu;

using Kernel = std::uint32_t (*)(std::uint32_t reg, const std::uint8_t* data, std::size_t length);

// Every kernel the project has, on any CPU family.
#define REMPAR_KERNEL_NAME(name, family, priority) std::string_view{#name},
inline constexpr auto KERNEL_NAMES =
    std::to_array<std::string_view>({REMPAR_CRC_KERNELS(REMPAR_KERNEL_NAME)});
#undef REMPAR_KERNEL_NAME

// The `supported` check of kernels that run on any CPU.
inline bool always_supported() { return true; }

// The definition itself: one table step per byte. Slow, obviously right.
std::uint32_t update_bytewise(std::uint32_t reg, const std::uint8_t* data, std::size_t length);
inline bool bytewise_supported() { return always_supported(); }

// Table-sliced kernel for any CPU.
std::uint32_t update_portable(std::uint32_t reg, const std::uint8_t* data, std::size_t length);
inline bool portable_supported() { return always_supported(); }

#if defined(REMPAR_NATIVE_X86)
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

#if defined(REMPAR_NATIVE_ARM)
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

// Every kernel built into this binary for this CPU family.
std::span<const KernelInfo> all_kernels();

// The kernel of that name in all_kernels(), or nullptr.
const KernelInfo* find_kernel(std::string_view name);

// The supported kernel of highest priority, chosen once; never one above the
// cap set at build time (REMPAR_MAX_KERNEL), nor other than the byte-at-a-time
// one in a REMPAR_PLAIN_CRC build.
const KernelInfo& active_kernel();

}  // namespace rempar::crc
