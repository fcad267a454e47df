#pragma once
// The x86 vector intrinsics the folding kernels use, native or emulated.
//
// Each x86 kernel source is compiled twice: once natively (the tool's
// kernel, its functions built for the instruction sets they name), and once
// with REMPAR_EMULATED defined against SIMDe's portable implementations of
// the same intrinsics, into namespace rempar::crc::emulated. The emulated
// build runs on any CPU, so the tests check every x86 kernel on every
// machine; the tool itself never runs it.

#if defined(REMPAR_EMULATED)

#define SIMDE_ENABLE_NATIVE_ALIASES
#define SIMDE_NO_NATIVE
#include <simde/x86/avx512.h>
#include <simde/x86/clmul.h>
#include <simde/x86/gfni.h>

#define REMPAR_TARGET(features)
#define REMPAR_KERNEL_NAMESPACE rempar::crc::emulated

// What SIMDe lacks, in terms of what it has, under the intrinsics' names.
using __mmask8 = simde__mmask8;  // NOLINT(bugprone-reserved-identifier)
// NOLINTNEXTLINE(bugprone-reserved-identifier)
#define _mm512_maskz_shuffle_i64x2(k, a, b, imm8) \
  simde_mm512_maskz_mov_epi64((k), simde_mm512_shuffle_i64x2((a), (b), (imm8)))

#elif defined(__x86_64__)

#include <immintrin.h>

#define REMPAR_TARGET(features) __attribute__((target(features)))
#define REMPAR_KERNEL_NAMESPACE rempar::crc

#endif

#if defined(__x86_64__) || defined(REMPAR_EMULATED)
#define REMPAR_X86_KERNELS 1
#endif

namespace rempar::crc {

// SIMDe keeps a vector as an array of native-endian elements, so on a
// big-endian machine the eight bytes of a 64-bit element lie in the reverse
// of x86's order. The kernels lay out data byte by byte for carry-less
// products of 64-bit elements; where this is true, their byte tables put
// byte k of an element at k ^ 7 instead.
#if defined(REMPAR_EMULATED) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
inline constexpr bool QWORD_BYTES_REVERSED = true;
#else
inline constexpr bool QWORD_BYTES_REVERSED = false;
#endif

}  // namespace rempar::crc
