#pragma once
// Kernels built for the tests under emulation: the same source as a native
// kernel, compiled a second time against SIMDe's portable implementations of
// its intrinsics (REMPAR_EMULATED, see x86/x86_intrinsics.h), so that they run on
// any CPU. Only test binaries link them (library rempar_crc_emulated); the
// tool never chooses one.
//
// A kernel's emulated build goes into namespace rempar::crc::emulated under
// the same function name. Its declaration there and its row in
// emulated_kernels(), named "<name> (SIMDe)", come from its row in
// kernel_list.h, on the CPU families whose test build should run it: the
// x86 kernels everywhere, the NEON kernel off AArch64. The kernel suite runs every supported native
// kernel and every emulated one whose native kernel this CPU lacks; it fails when a name in
// KERNEL_NAMES is run neither way.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "checksum/crc_kernels.h"

namespace rempar::crc {

namespace emulated {

#define REMPAR_DECLARE_EMULATED(name, family, priority)                             \
  REMPAR_IF_EMULATED_##family(std::uint32_t update_##name(std::uint32_t reg,        \
                                                          const std::uint8_t* data, \
                                                          std::size_t length);)
REMPAR_CRC_KERNELS(REMPAR_DECLARE_EMULATED)
#undef REMPAR_DECLARE_EMULATED

}  // namespace emulated

// The emulated kernels of this test build; `supported` is always true (also
// on big-endian CPUs, see QWORD_BYTES_REVERSED in x86/x86_intrinsics.h).
std::span<const KernelInfo> emulated_kernels();

// The suffix that marks an emulated kernel's name.
#define REMPAR_EMULATED_SUFFIX " (SIMDe)"
inline constexpr std::string_view EMULATED_SUFFIX = REMPAR_EMULATED_SUFFIX;

}  // namespace rempar::crc
