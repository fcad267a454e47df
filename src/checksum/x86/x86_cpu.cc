#include "checksum/x86/x86_cpu.h"

#if defined(__x86_64__)

#include <cpuid.h>

namespace rempar::crc {

bool os_saves_xstate(unsigned mask) {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0) return false;
  unsigned xcr0_low = 0;
  unsigned xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  return (xcr0_low & mask) == mask;
}

}  // namespace rempar::crc

#endif
