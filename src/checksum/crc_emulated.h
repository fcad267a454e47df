#pragma once
// Kernels built for the tests under emulation: the same source as a native
// kernel, compiled a second time against SIMDe's portable implementations of
// its intrinsics (REMPAR_EMULATED, see x86_intrinsics.h), so that they run on
// any CPU. Only test binaries link them (library rempar_crc_emulated); the
// tool never chooses one.
//
// A kernel's emulated build goes into namespace rempar::crc::emulated under
// the same function name, and gets a row in emulated_kernels() named
// "<name> (SIMDe)" on every CPU family whose test build should run it, that
// is, where the kernel is not native (x86 kernels off x86-64, the NEON kernel
// off AArch64). The kernel suite runs every supported native kernel and every
// emulated one whose native kernel this CPU lacks; it fails when a name in
// KERNEL_NAMES is run neither way.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "checksum/crc_kernels.h"

namespace rempar::crc {

namespace emulated {

std::uint32_t update_avx512(std::uint32_t reg, const std::uint8_t* data, std::size_t length);
std::uint32_t update_avx2(std::uint32_t reg, const std::uint8_t* data, std::size_t length);
std::uint32_t update_sse41(std::uint32_t reg, const std::uint8_t* data, std::size_t length);
#if !defined(__aarch64__)
std::uint32_t update_neon(std::uint32_t reg, const std::uint8_t* data, std::size_t length);
#endif

}  // namespace emulated

// The emulated kernels of this test build; `supported` is always true (also
// on big-endian CPUs, see QWORD_BYTES_REVERSED in x86_intrinsics.h).
std::span<const KernelInfo> emulated_kernels();

// The suffix that marks an emulated kernel's name.
inline constexpr std::string_view EMULATED_SUFFIX = " (SIMDe)";

}  // namespace rempar::crc
