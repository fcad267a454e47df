#pragma once
// What the operating system lets x86 vector code use. The CPU's feature bits
// alone do not say that the OS saves a register file across context
// switches; XCR0 does. __builtin_cpu_supports checks this too with the
// runtimes in use here; this guards older ones.

#if defined(__x86_64__)

namespace rempar::crc {

// XCR0 bits: 1 SSE, 2 AVX (upper 128 bits), 5 opmask, 6 and 7 upper 256 bits
// of the first and all of the other 512-bit registers.
constexpr unsigned XSTATE_AVX = 0x06u;
constexpr unsigned XSTATE_AVX512 = 0xE6u;

// True if the OS enables XSAVE and saves every state in `mask`.
bool os_saves_xstate(unsigned mask);

}  // namespace rempar::crc

#endif
