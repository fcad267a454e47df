// The block checksum on AArch64 with NEON and PMULL: two-bit planes folded
// with 64-bit carry-less multiplication (the mathematics and every constant
// are in crc_algebra.h).
//
// The data goes in groups of 128 bytes, two chunks of 64. LD4 splits a chunk
// into four registers by byte position modulo 4; after one byte reversal
// each, two rounds of bit swaps (SRI/SLI by 4, then BSL of 2-bit pairs)
// leave in register q the pairs of bits 2q, 2q+1 of all 64 bytes, packed
// four bytes to a byte, the earliest byte in the top bits: a 128-bit lane of
// plane q whose bit k is the coefficient of z^k. Each chunk position has its
// own four accumulators, moved 256 bits of z per group. The last, partial
// group is copied into a zeroed buffer; the zeros it adds at the end are
// undone by one multiplication by z^-(2 pad).

#include "checksum/arm/arm_intrinsics.h"
#include "checksum/crc_kernels.h"

#if defined(REMPAR_NEON_KERNELS)

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "checksum/crc_algebra.h"
#include "checksum/crc_emulated.h"

#if !defined(REMPAR_EMULATED)
#include <sys/auxv.h>
#endif

namespace REMPAR_NEON_NAMESPACE {
namespace {

using namespace algebra;

constexpr std::size_t CHUNK = 64;
constexpr std::size_t GROUP = 2 * CHUNK;
// Below this the table-driven kernel is faster.
constexpr std::size_t MIN_LENGTH = 128;
// Bits of z one group moves a plane's lane: two bits per byte.
constexpr int GROUP_SHIFT = 2 * static_cast<int>(GROUP);
constexpr int CHUNK_SHIFT = 2 * static_cast<int>(CHUNK);

constexpr PairConstant FOLD_GROUP = pair_fold_constants(GROUP_SHIFT);

// GAIN[c][q]: plane q's gain for the lane of chunk position c, which lies
// one chunk (c = 0) or nothing (c = 1) from its place.
constexpr std::array<std::array<PairConstant, 4>, 2> make_gains() {
  std::array<std::array<PairConstant, 4>, 2> g{};
  for (std::size_t q = 0; q < 4; ++q) {
    g[0][q] = pair_gain_constants(q, CHUNK_SHIFT);
    g[1][q] = pair_gain_constants(q, 0);
  }
  return g;
}
constexpr auto GAIN = make_gains();

// UNPAD[pad]: moves the sum back over `pad` zero bytes.
constexpr std::array<PairConstant, GROUP> make_unpad() {
  std::array<PairConstant, GROUP> t{};
  for (std::size_t pad = 0; pad < GROUP; ++pad) {
    t[pad] = pair_fold_constants(-2 * static_cast<int>(pad));
  }
  return t;
}
constexpr auto UNPAD = make_unpad();

// The byte reversal before the transpose puts the earliest bytes where a
// 64-bit lane holds its highest bits. SIMDe on a big-endian CPU reads the
// bytes of a 64-bit lane the other way round, so its order differs.
constexpr std::array<std::uint8_t, 16> make_lane_order() {
  std::array<std::uint8_t, 16> order{};
  for (std::size_t i = 0; i < 16; ++i) {
    const std::size_t source =
        std::endian::native == std::endian::little ? 15 - i : (i < 8 ? i + 8 : i - 8);
    order[i] = static_cast<std::uint8_t>(source);
  }
  return order;
}
constexpr auto LANE_ORDER = make_lane_order();

REMPAR_NEON_TARGET inline uint64x2_t load_pair(const PairConstant& c) {
  return vcombine_u64(vcreate_u64(c.low), vcreate_u64(c.high));
}

// The lane H z^64 + L times the pair constant c: H * c.high + L * c.low.
REMPAR_NEON_TARGET inline uint64x2_t multiply(uint64x2_t lane, uint64x2_t c) {
  const poly64x2_t a = vreinterpretq_p64_u64(lane);
  const poly64x2_t k = vreinterpretq_p64_u64(c);
  return veorq_u64(vreinterpretq_u64_p128(vmull_p64(vgetq_lane_p64(a, 0), vgetq_lane_p64(k, 0))),
                   vreinterpretq_u64_p128(vmull_high_p64(a, k)));
}

// The four plane lanes of one 64-byte chunk.
REMPAR_NEON_TARGET inline std::array<uint64x2_t, 4> planes_of(const std::uint8_t* chunk) {
  const uint8x16x4_t bytes = vld4q_u8(chunk);
  const uint8x16_t order = vld1q_u8(LANE_ORDER.data());
  // r[k]: byte 4i + k of the chunk, in lane order.
  const uint8x16_t r0 = vqtbl1q_u8(bytes.val[0], order);
  const uint8x16_t r1 = vqtbl1q_u8(bytes.val[1], order);
  const uint8x16_t r2 = vqtbl1q_u8(bytes.val[2], order);
  const uint8x16_t r3 = vqtbl1q_u8(bytes.val[3], order);
  // Nibbles: t0 = r0.hi:r2.hi, t1 = r1.hi:r3.hi, t2 = r0.lo:r2.lo, t3 = r1.lo:r3.lo.
  const uint8x16_t t0 = vsriq_n_u8(r0, r2, 4);
  const uint8x16_t t1 = vsriq_n_u8(r1, r3, 4);
  const uint8x16_t t2 = vsliq_n_u8(r2, r0, 4);
  const uint8x16_t t3 = vsliq_n_u8(r3, r1, 4);
  // Pairs: plane q gets pair q of r0, r1, r2, r3, from the top bits down.
  const uint8x16_t first_and_third = vdupq_n_u8(0xCC);
  return {
      vreinterpretq_u64_u8(vbslq_u8(first_and_third, vshlq_n_u8(t2, 2), t3)),
      vreinterpretq_u64_u8(vbslq_u8(first_and_third, t2, vshrq_n_u8(t3, 2))),
      vreinterpretq_u64_u8(vbslq_u8(first_and_third, vshlq_n_u8(t0, 2), t1)),
      vreinterpretq_u64_u8(vbslq_u8(first_and_third, t0, vshrq_n_u8(t1, 2))),
  };
}

// acc[c][q]: plane q of chunk position c of every group so far.
using Accumulators = std::array<std::array<uint64x2_t, 4>, 2>;

REMPAR_NEON_TARGET inline void absorb(Accumulators& acc, const std::uint8_t* group) {
  const uint64x2_t k = load_pair(FOLD_GROUP);
  for (std::size_t c = 0; c < 2; ++c) {
    const std::array<uint64x2_t, 4> planes = planes_of(group + c * CHUNK);
    for (std::size_t q = 0; q < 4; ++q) {
      acc[c][q] = veorq_u64(multiply(acc[c][q], k), planes[q]);
    }
  }
}

REMPAR_NEON_TARGET std::uint32_t fold_planes(std::uint32_t reg, const std::uint8_t* data,
                                             std::size_t length) {
  const uint64x2_t zero = vdupq_n_u64(0);
  Accumulators acc{{{zero, zero, zero, zero}, {zero, zero, zero, zero}}};
  // The register's term rides on plane 0 of the latest data.
  acc[1][0] = vcombine_u64(vcreate_u64(spread_register(reg)), vcreate_u64(0));

  const std::size_t groups = length / GROUP;
  for (std::size_t g = 0; g < groups; ++g, data += GROUP) absorb(acc, data);
  const std::size_t remaining = length % GROUP;
  const std::size_t pad = remaining == 0 ? 0 : GROUP - remaining;
  if (remaining != 0) {
    std::array<std::uint8_t, GROUP> last{};
    std::memcpy(last.data(), data, remaining);
    absorb(acc, last.data());
  }

  uint64x2_t sum = zero;
  for (std::size_t c = 0; c < 2; ++c) {
    for (std::size_t q = 0; q < 4; ++q) {
      sum = veorq_u64(sum, multiply(acc[c][q], load_pair(GAIN[c][q])));
    }
  }
  sum = multiply(sum, load_pair(UNPAD[pad]));
  return finish_pair_planes(vgetq_lane_u64(sum, 0), vgetq_lane_u64(sum, 1));
}

}  // namespace

std::uint32_t update_neon(std::uint32_t reg, const std::uint8_t* data, std::size_t length) {
  if (length < MIN_LENGTH) return crc::update_portable(reg, data, length);
  return fold_planes(reg, data, length);
}

#if !defined(REMPAR_EMULATED)
// The kernel says what the CPU offers; the OS saves the NEON registers on
// every AArch64 Linux.
bool neon_supported() {
  static const bool supported = [] {
    const unsigned long caps = ::getauxval(AT_HWCAP);
    return (caps & HWCAP_ASIMD) != 0 && (caps & HWCAP_PMULL) != 0;
  }();
  return supported;
}
#endif

}  // namespace REMPAR_NEON_NAMESPACE

#endif  // defined(REMPAR_NEON_KERNELS)
