#include "checksum/crc_emulated.h"

#include <array>

namespace rempar::crc {
namespace {

// Priorities as in the native table; nothing chooses by them here.
#define REMPAR_EMULATED_ROW(name, family, priority)                                             \
  REMPAR_IF_EMULATED_##family(KernelInfo{#name REMPAR_EMULATED_SUFFIX, emulated::update_##name, \
                                         always_supported, priority}, )
constexpr auto EMULATED = std::to_array<KernelInfo>({REMPAR_CRC_KERNELS(REMPAR_EMULATED_ROW)});
#undef REMPAR_EMULATED_ROW

}  // namespace

std::span<const KernelInfo> emulated_kernels() { return EMULATED; }

}  // namespace rempar::crc
