#include "container/crc_emulated.h"

#include <array>

namespace rempar::crc {
namespace {

// Priorities as in the native table; nothing chooses by them here.
constexpr auto EMULATED = std::to_array<KernelInfo>({
    {"avx512 (SIMDe)", emulated::update_avx512, x86_emulation_is_faithful, 40},
});

}  // namespace

std::span<const KernelInfo> emulated_kernels() { return EMULATED; }

}  // namespace rempar::crc
