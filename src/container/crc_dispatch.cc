#include <array>

#include "container/crc_kernels.h"

namespace rempar::crc {
namespace {

bool always() { return true; }

#if defined(__x86_64__)
constexpr std::array<KernelInfo, 3> KERNELS{{
    {"bytewise", update_bytewise, always},
    {"portable", update_portable, always},
    {"avx512", update_avx512, avx512_supported},
}};
#else
constexpr std::array<KernelInfo, 2> KERNELS{{
    {"bytewise", update_bytewise, always},
    {"portable", update_portable, always},
}};
#endif

}  // namespace

std::span<const KernelInfo> all_kernels() { return KERNELS; }

const KernelInfo& active_kernel() {
#ifdef REMPAR_PLAIN_CRC
  return KERNELS.front();
#else
  const KernelInfo* best = &KERNELS.front();
  for (const KernelInfo& k : KERNELS) {
    if (k.supported()) best = &k;
  }
  return *best;
#endif
}

}  // namespace rempar::crc
