#pragma once
// The NEON intrinsics the AArch64 folding kernel uses, native or emulated.
//
// The kernel source is compiled twice: once natively on little-endian
// AArch64 (the tool's kernel, its functions built for NEON with PMULL), and
// once on other CPUs with REMPAR_EMULATED defined against SIMDe's portable
// implementations of the same intrinsics, into namespace
// rempar::crc::emulated, so that the tests check the kernel on every machine.
// The tool itself never runs the emulated build.

#if defined(REMPAR_EMULATED) && !defined(__aarch64__)

#define SIMDE_ENABLE_NATIVE_ALIASES
#define SIMDE_NO_NATIVE
#include <simde/arm/neon.h>

#include <cstdint>

#define REMPAR_NEON_TARGET
#define REMPAR_NEON_NAMESPACE rempar::crc::emulated

// What SIMDe lacks, under the intrinsics' names: the 64-bit polynomial
// types, PMULL (vmull_p64) and SLI (vsliq_n_u8). A 128-bit product is held
// as its two halves, so that turning it into a vector puts the low half in
// lane 0 whatever the host's byte order.
using poly64_t = std::uint64_t;
using poly64x2_t = simde_uint64x2_t;
struct poly128_t {
  std::uint64_t low;
  std::uint64_t high;
};

inline poly128_t vmull_p64(poly64_t a, poly64_t b) {
  poly128_t product{0, 0};
  for (int i = 0; i < 64; ++i) {
    if ((b >> i) & 1u) {
      product.low ^= a << i;
      if (i != 0) product.high ^= a >> (64 - i);
    }
  }
  return product;
}

inline poly128_t vmull_high_p64(poly64x2_t a, poly64x2_t b) {
  return vmull_p64(simde_vgetq_lane_u64(a, 1), simde_vgetq_lane_u64(b, 1));
}

inline poly64x2_t vreinterpretq_p64_u64(simde_uint64x2_t a) { return a; }
// A macro: the lane must be a constant.
#define vgetq_lane_p64(a, lane) simde_vgetq_lane_u64((a), (lane))

inline simde_uint64x2_t vreinterpretq_u64_p128(poly128_t a) {
  return simde_vcombine_u64(simde_vcreate_u64(a.low), simde_vcreate_u64(a.high));
}

// Shift left and insert: b << n over the low n bits of a.
#define vsliq_n_u8(a, b, n)       \
  simde_vorrq_u8(                 \
      simde_vshlq_n_u8((b), (n)), \
      simde_vandq_u8((a), simde_vdupq_n_u8(static_cast<std::uint8_t>((1u << (n)) - 1u))))

#define REMPAR_NEON_KERNELS 1

#elif defined(__aarch64__) && !defined(REMPAR_EMULATED) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__

#include <arm_neon.h>

#define REMPAR_NEON_TARGET __attribute__((target("+simd+crypto")))
#define REMPAR_NEON_NAMESPACE rempar::crc

#define REMPAR_NEON_KERNELS 1

#endif
