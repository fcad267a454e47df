#include <algorithm>
#include <array>
#include <limits>
#include <string_view>

#include "checksum/crc_kernels.h"

namespace rempar::crc {
namespace {

// Each kernel of this CPU family with its priority: the supported one ranked
// highest runs.
#define REMPAR_NATIVE_ROW(name, family, priority) \
  REMPAR_IF_NATIVE_##family(KernelInfo{#name, update_##name, name##_supported, priority}, )
constexpr auto KERNELS = std::to_array<KernelInfo>({REMPAR_CRC_KERNELS(REMPAR_NATIVE_ROW)});
#undef REMPAR_NATIVE_ROW

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
