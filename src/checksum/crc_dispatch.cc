#include <algorithm>
#include <array>
#include <limits>
#include <string_view>

#include "checksum/crc_kernels.h"

namespace rempar::crc {
namespace {

// Each kernel with its priority: the supported one ranked highest runs.
// (Not formatted: clang-format indents the rows after a preprocessor line.)
// clang-format off
constexpr auto KERNELS = std::to_array<KernelInfo>({
    {"bytewise", update_bytewise, always_supported, 0},
    {"portable", update_portable, always_supported, 10},
#if defined(__x86_64__)
    {"sse41", update_sse41, sse41_supported, 20},
    {"avx2", update_avx2, avx2_supported, 30},
    {"avx512", update_avx512, avx512_supported, 40},
#endif
#if defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    {"neon", update_neon, neon_supported, 30},
#endif
});
// clang-format on

// The highest priority a build may choose: REMPAR_MAX_KERNEL names a kernel
// (a benchmark build standing in for a CPU that has no better one).
int priority_cap() {
#if defined(REMPAR_PLAIN_CRC)
  return 0;
#elif defined(REMPAR_MAX_KERNEL)
  const KernelInfo* cap = find_kernel(REMPAR_MAX_KERNEL);
  return cap != nullptr ? cap->priority : 0;
#else
  return std::numeric_limits<int>::max();
#endif
}

const KernelInfo& choose() {
  const int cap = priority_cap();
  const KernelInfo* best = &KERNELS.front();
  for (const KernelInfo& k : KERNELS) {
    if (k.priority <= cap && k.priority > best->priority && k.supported()) best = &k;
  }
  return *best;
}

}  // namespace

std::span<const KernelInfo> all_kernels() { return KERNELS; }

const KernelInfo* find_kernel(std::string_view name) {
  const auto* it = std::find_if(KERNELS.begin(), KERNELS.end(),
                                [name](const KernelInfo& k) { return k.name == name; });
  return it != KERNELS.end() ? &*it : nullptr;
}

const KernelInfo& active_kernel() {
  static const KernelInfo& chosen = choose();
  return chosen;
}

}  // namespace rempar::crc
