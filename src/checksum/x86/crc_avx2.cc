// The block checksum on x86-64 with AVX2 and VPCLMULQDQ, 256 bits wide.
//
// Four two-bit planes (crc_algebra.h), as in crc_sse41.cc, with two 64-byte
// blocks side by side: a group of 128 bytes, the earlier block in the low
// 128-bit lane of each register and the later one in the high lane. Every
// step of the transpose stays within a lane; the lanes fold 256 bits of z
// at a time, and at the end the low lane, 128 bits short of its place, gets
// z^128 with its gain. The last, shorter run goes to the table kernel.

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
#include "checksum/x86/x86_cpu.h"

namespace REMPAR_KERNEL_NAMESPACE {
namespace {

using namespace algebra;

constexpr std::size_t GROUP = 128;
constexpr std::size_t BLOCK = 64;
// Below this the table kernel is faster.
constexpr std::size_t MIN_LENGTH = 128;

#define REMPAR_AVX2_TARGET REMPAR_TARGET("avx2,vpclmulqdq,pclmul")

struct alignas(32) YmmConstant {
  std::array<std::uint64_t, 4> q;
};
constexpr YmmConstant ymm_of(PairConstant low_lane, PairConstant high_lane) {
  return {{low_lane.low, low_lane.high, high_lane.low, high_lane.high}};
}

// One group further: 256 bits of z in both lanes.
constexpr YmmConstant FOLD_GROUP = ymm_of(pair_fold_constants(256), pair_fold_constants(256));
constexpr YmmConstant gain_of(std::size_t q) {
  return ymm_of(pair_gain_constants(q, 128), pair_gain_constants(q, 0));
}
constexpr std::array<YmmConstant, 4> GAIN = {gain_of(0), gain_of(1), gain_of(2), gain_of(3)};

struct alignas(32) GatherBoth {
  std::array<std::uint8_t, 16> low;
  std::array<std::uint8_t, 16> high;
};
constexpr GatherBoth GATHER = {pair_plane_gather(QWORD_BYTES_REVERSED),
                               pair_plane_gather(QWORD_BYTES_REVERSED)};

REMPAR_AVX2_TARGET inline __m256i load_ymm(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// Bytes 16k.. of the earlier block in the low lane, of the later in the high.
REMPAR_AVX2_TARGET inline __m256i load_pair(const std::uint8_t* data, std::size_t k) {
  return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(data + BLOCK + 16 * k),
                             reinterpret_cast<const __m128i*>(data + 16 * k));
}

// Swaps the bits under `mask` << shift of a with those under `mask` of b.
template <int shift>
REMPAR_AVX2_TARGET inline void swap_bits(__m256i& a, __m256i& b, __m256i mask) {
  const __m256i t = _mm256_and_si256(_mm256_xor_si256(_mm256_srli_epi16(a, shift), b), mask);
  b = _mm256_xor_si256(b, t);
  a = _mm256_xor_si256(a, _mm256_slli_epi16(t, shift));
}

// acc * z^256 + data.
REMPAR_AVX2_TARGET inline __m256i fold(__m256i acc, __m256i k, __m256i data) {
  return _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(acc, k, 0x00),
                                           _mm256_clmulepi64_epi128(acc, k, 0x11)),
                          data);
}

// Plane q's accumulator times its gain, the low lane also times z^128.
REMPAR_AVX2_TARGET inline __m256i times_gain(__m256i acc, std::size_t q) {
  const __m256i gain = load_ymm(GAIN[q].q.data());
  return _mm256_xor_si256(_mm256_clmulepi64_epi128(acc, gain, 0x00),
                          _mm256_clmulepi64_epi128(acc, gain, 0x11));
}

// The four planes of both blocks, laid out in each lane as in crc_sse41.cc.
struct Planes {
  __m256i q0, q1, q2, q3;
};

REMPAR_AVX2_TARGET inline Planes transpose(const std::uint8_t* data) {
  const __m256i gather = load_ymm(&GATHER);
  __m256i s0 = _mm256_shuffle_epi8(load_pair(data, 0), gather);
  __m256i s1 = _mm256_shuffle_epi8(load_pair(data, 1), gather);
  __m256i s2 = _mm256_shuffle_epi8(load_pair(data, 2), gather);
  __m256i s3 = _mm256_shuffle_epi8(load_pair(data, 3), gather);
  if constexpr (QWORD_BYTES_REVERSED) {  // dword d goes to d ^ 1
    std::swap(s3, s2);
    std::swap(s1, s0);
  }
  const __m256i t0 = _mm256_unpacklo_epi32(s3, s2);
  const __m256i t1 = _mm256_unpacklo_epi32(s1, s0);
  const __m256i t2 = _mm256_unpackhi_epi32(s3, s2);
  const __m256i t3 = _mm256_unpackhi_epi32(s1, s0);
  Planes p{_mm256_unpacklo_epi64(t0, t1), _mm256_unpackhi_epi64(t0, t1),
           _mm256_unpacklo_epi64(t2, t3), _mm256_unpackhi_epi64(t2, t3)};
  const __m256i nibbles = _mm256_set1_epi8(0x0F);
  const __m256i pairs = _mm256_set1_epi8(0x33);
  swap_bits<4>(p.q0, p.q2, nibbles);
  swap_bits<4>(p.q1, p.q3, nibbles);
  swap_bits<2>(p.q0, p.q1, pairs);
  swap_bits<2>(p.q2, p.q3, pairs);
  return p;
}

REMPAR_AVX2_TARGET std::uint32_t fold_planes(std::uint32_t reg, const std::uint8_t* data,
                                             std::size_t groups) {
  const __m256i k = load_ymm(FOLD_GROUP.q.data());
  // The register's term rides in the high lane, which ends in its place.
  Planes acc{_mm256_set_epi64x(0, static_cast<std::int64_t>(spread_register(reg)), 0, 0),
             _mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
  // Two groups a round give the scheduler more to overlap (a few per cent).
#pragma GCC unroll 2
  for (std::size_t g = 0; g < groups; ++g, data += GROUP) {
    const Planes p = transpose(data);
    acc = {fold(acc.q0, k, p.q0), fold(acc.q1, k, p.q1), fold(acc.q2, k, p.q2),
           fold(acc.q3, k, p.q3)};
  }
  const __m256i sum =
      _mm256_xor_si256(_mm256_xor_si256(times_gain(acc.q0, 0), times_gain(acc.q1, 1)),
                       _mm256_xor_si256(times_gain(acc.q2, 2), times_gain(acc.q3, 3)));
  const __m128i both = _mm_xor_si128(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
  return finish_pair_planes(static_cast<std::uint64_t>(_mm_cvtsi128_si64(both)),
                            static_cast<std::uint64_t>(_mm_extract_epi64(both, 1)));
}

}  // namespace

std::uint32_t update_avx2(std::uint32_t reg, const std::uint8_t* data, std::size_t length) {
  if (length < MIN_LENGTH) return update_portable(reg, data, length);
  const std::size_t groups = length / GROUP;
  reg = fold_planes(reg, data, groups);
  return update_portable(reg, data + groups * GROUP, length % GROUP);
}

#if !defined(REMPAR_EMULATED)
bool avx2_supported() {
  static const bool supported = [] {
    __builtin_cpu_init();  // in case this runs before the runtime's constructors
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("vpclmulqdq") &&
           __builtin_cpu_supports("pclmul") && os_saves_xstate(XSTATE_AVX);
  }();
  return supported;
}
#endif

}  // namespace REMPAR_KERNEL_NAMESPACE

#endif  // defined(REMPAR_X86_KERNELS)
