// The block checksum on x86-64 with SSE4.1 and PCLMULQDQ, 128 bits wide.
//
// Four two-bit planes (crc_algebra.h): a group of 64 bytes gives each plane
// 128 bits, one register, folded modulo chi(z^2) with 64-bit constants. The
// transpose is a byte shuffle within each register, a 4x4 transpose of
// 32-bit words across the four registers, and two rounds of bit swaps
// across them. Whole groups are folded; the last, shorter run goes to the
// table kernel.

#include "checksum/crc_kernels.h"
#include "checksum/x86/x86_intrinsics.h"

#if defined(REMPAR_X86_KERNELS)

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "checksum/crc_algebra.h"
#include "checksum/crc_emulated.h"
#include "checksum/x86/pair_plane_layout.h"

namespace REMPAR_KERNEL_NAMESPACE {
namespace {

using namespace algebra;

constexpr std::size_t GROUP = 64;
// Below this the table kernel is faster.
constexpr std::size_t MIN_LENGTH = 128;

#define REMPAR_SSE41_TARGET REMPAR_TARGET("sse4.1,pclmul")

struct alignas(16) XmmConstant {
  std::array<std::uint64_t, 2> q;
};
constexpr XmmConstant xmm_of(PairConstant c) { return {{c.low, c.high}}; }

// One group further: 128 bits of z.
constexpr XmmConstant FOLD_GROUP = xmm_of(pair_fold_constants(128));
constexpr std::array<XmmConstant, 4> GAIN = {
    xmm_of(pair_gain_constants(0, 0)), xmm_of(pair_gain_constants(1, 0)),
    xmm_of(pair_gain_constants(2, 0)), xmm_of(pair_gain_constants(3, 0))};
constexpr std::array<std::uint8_t, 16> GATHER = pair_plane_gather(QWORD_BYTES_REVERSED);

REMPAR_SSE41_TARGET inline __m128i load(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

// Swaps the bits under `mask` << shift of a with those under `mask` of b.
template <int shift>
REMPAR_SSE41_TARGET inline void swap_bits(__m128i& a, __m128i& b, __m128i mask) {
  const __m128i t = _mm_and_si128(_mm_xor_si128(_mm_srli_epi16(a, shift), b), mask);
  b = _mm_xor_si128(b, t);
  a = _mm_xor_si128(a, _mm_slli_epi16(t, shift));
}

// acc * z^128 + data.
REMPAR_SSE41_TARGET inline __m128i fold(__m128i acc, __m128i k, __m128i data) {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(acc, k, 0x00), _mm_clmulepi64_si128(acc, k, 0x11)), data);
}

// Plane q's accumulator times its gain: 127 bits.
REMPAR_SSE41_TARGET inline __m128i times_gain(__m128i acc, std::size_t q) {
  const __m128i gain = load(GAIN[q].q.data());
  return _mm_xor_si128(_mm_clmulepi64_si128(acc, gain, 0x00),
                       _mm_clmulepi64_si128(acc, gain, 0x11));
}

// The four planes of 64 bytes: byte m of plane q holds, in bits 2u and
// 2u + 1, bits 2q and 2q + 1 of byte 63 - 4m - u: the earliest byte in the
// top bits, as the fold wants it.
struct Planes {
  __m128i q0, q1, q2, q3;
};

REMPAR_SSE41_TARGET inline Planes transpose(const std::uint8_t* data) {
  const __m128i gather = load(GATHER.data());
  // Dword u of s_k: bytes 16k + i with i % 4 == 3 - u, latest first.
  __m128i s0 = _mm_shuffle_epi8(load(data), gather);
  __m128i s1 = _mm_shuffle_epi8(load(data + 16), gather);
  __m128i s2 = _mm_shuffle_epi8(load(data + 32), gather);
  __m128i s3 = _mm_shuffle_epi8(load(data + 48), gather);
  // r_u = {s3.u, s2.u, s1.u, s0.u}: bytes 63 - 4m - u for m = 0..15.
  if constexpr (QWORD_BYTES_REVERSED) {  // dword d goes to d ^ 1
    std::swap(s3, s2);
    std::swap(s1, s0);
  }
  const __m128i t0 = _mm_unpacklo_epi32(s3, s2);
  const __m128i t1 = _mm_unpacklo_epi32(s1, s0);
  const __m128i t2 = _mm_unpackhi_epi32(s3, s2);
  const __m128i t3 = _mm_unpackhi_epi32(s1, s0);
  Planes p{_mm_unpacklo_epi64(t0, t1), _mm_unpackhi_epi64(t0, t1), _mm_unpacklo_epi64(t2, t3),
           _mm_unpackhi_epi64(t2, t3)};
  // Two-bit field q of register u to field u of register q.
  const __m128i nibbles = _mm_set1_epi8(0x0F);
  const __m128i pairs = _mm_set1_epi8(0x33);
  swap_bits<4>(p.q0, p.q2, nibbles);
  swap_bits<4>(p.q1, p.q3, nibbles);
  swap_bits<2>(p.q0, p.q1, pairs);
  swap_bits<2>(p.q2, p.q3, pairs);
  return p;
}

REMPAR_SSE41_TARGET std::uint32_t fold_planes(std::uint32_t reg, const std::uint8_t* data,
                                              std::size_t groups) {
  const __m128i k = load(FOLD_GROUP.q.data());
  Planes acc{_mm_cvtsi64_si128(static_cast<std::int64_t>(spread_register(reg))),
             _mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  // Two groups a round give the scheduler more to overlap.
#pragma GCC unroll 2
  for (std::size_t g = 0; g < groups; ++g, data += GROUP) {
    const Planes p = transpose(data);
    acc = {fold(acc.q0, k, p.q0), fold(acc.q1, k, p.q1), fold(acc.q2, k, p.q2),
           fold(acc.q3, k, p.q3)};
  }
  const __m128i sum = _mm_xor_si128(_mm_xor_si128(times_gain(acc.q0, 0), times_gain(acc.q1, 1)),
                                    _mm_xor_si128(times_gain(acc.q2, 2), times_gain(acc.q3, 3)));
  return finish_pair_planes(static_cast<std::uint64_t>(_mm_cvtsi128_si64(sum)),
                            static_cast<std::uint64_t>(_mm_extract_epi64(sum, 1)));
}

}  // namespace

std::uint32_t update_sse41(std::uint32_t reg, const std::uint8_t* data, std::size_t length) {
  if (length < MIN_LENGTH) return update_portable(reg, data, length);
  const std::size_t groups = length / GROUP;
  reg = fold_planes(reg, data, groups);
  return update_portable(reg, data + groups * GROUP, length % GROUP);
}

#if !defined(REMPAR_EMULATED)
bool sse41_supported() {
  static const bool supported = [] {
    __builtin_cpu_init();  // in case this runs before the runtime's constructors
    return __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("pclmul");
  }();
  return supported;
}
#endif

}  // namespace REMPAR_KERNEL_NAMESPACE

#endif  // defined(REMPAR_X86_KERNELS)
