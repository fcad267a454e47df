#include "checksum/crc_emulated.h"

#include <array>

namespace rempar::crc {
namespace {

// Priorities as in the native table; nothing chooses by them here. AArch64
// runs the NEON kernel natively.
// (Not formatted: clang-format indents the rows after a preprocessor line.)
// clang-format off
constexpr auto EMULATED = std::to_array<KernelInfo>({
    {"sse41 (SIMDe)", emulated::update_sse41, always_supported, 20},
    {"avx2 (SIMDe)", emulated::update_avx2, always_supported, 30},
    {"avx512 (SIMDe)", emulated::update_avx512, always_supported, 40},
#if !defined(__aarch64__)
    {"neon (SIMDe)", emulated::update_neon, always_supported, 30},
#endif
});
// clang-format on

}  // namespace

std::span<const KernelInfo> emulated_kernels() { return EMULATED; }

}  // namespace rempar::crc
