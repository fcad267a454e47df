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

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "container/crc_kernels.h"

namespace rempar::crc {

namespace emulated {

std::uint32_t update_avx512(std::uint32_t reg, const std::uint8_t* data, std::size_t length);

}  // namespace emulated

// The emulated kernels of this test build. `supported` says whether the
// emulation is faithful on this CPU; the suite runs only those that are.
std::span<const KernelInfo> emulated_kernels();

// SIMDe holds a vector as an array of elements in the host's byte order, so
// on a big-endian CPU the bytes of a vector read as 64-bit lanes are other
// numbers than on x86, and the x86 kernels, which load bytes and multiply
// 64-bit lanes, compute something else there. Their emulated rows use this
// as `supported`.
inline bool x86_emulation_is_faithful() { return std::endian::native == std::endian::little; }

// The suffix that marks an emulated kernel's name.
inline constexpr std::string_view EMULATED_SUFFIX = " (SIMDe)";

}  // namespace rempar::crc
