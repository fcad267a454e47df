// The block checksum on x86-64 with AVX-512, GFNI and VPCLMULQDQ.
//
// The mathematics is in crc_algebra.h: the data splits into eight bit
// planes whose polynomials are folded modulo chi, each multiplied by its
// plane's gain, and the sum goes through one fixed linear map. Here each byte
// is transposed into its bits with GFNI and the planes are folded side by
// side, four to a 512-bit register.
//
// The data is cut into groups of 256 bytes, the last one padded with zero
// bytes. Zero bytes at the end multiply the sum by y^pad; the last step
// multiplies by y^-pad again (y is invertible modulo chi, whose constant term
// is one). The register's term y^n g is put into the first group's
// accumulator, where folding carries it to its place.

#include "checksum/crc_kernels.h"
#include "checksum/x86/x86_intrinsics.h"

#if defined(REMPAR_X86_KERNELS)

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "checksum/crc_algebra.h"
#include "checksum/crc_emulated.h"
#include "checksum/x86/x86_cpu.h"

namespace REMPAR_KERNEL_NAMESPACE {
namespace {

using namespace algebra;

// ---------------------------------------------------------------------------
// The constants in this kernel's layout.

// y^-128 g: the register's term enters the first group's plane-0
// accumulator, which folding moves 128 bits further than the data.
constexpr std::array<ByteTable, 4> REGISTER_TERM = make_register_term(-128);

// UNPAD[pad] = {y^-pad, y^(64-pad)}: multiplies a 128-bit lane by y^-pad.
struct alignas(16) LaneConstant {
  std::uint64_t low;
  std::uint64_t high;
};
constexpr std::array<LaneConstant, 256> make_unpad() {
  std::array<LaneConstant, 256> t{};
  for (std::size_t pad = 0; pad < t.size(); ++pad) {
    const PairConstant c = plane_fold_constants(-static_cast<int>(pad));
    t[pad] = {c.low, c.high};
  }
  return t;
}
constexpr std::array<LaneConstant, 256> UNPAD = make_unpad();

// Four equal lanes {y^a, y^b}: the fold constants for a shift.
struct alignas(64) ZmmConstant {
  std::array<std::uint64_t, 8> q;
};
constexpr ZmmConstant lanes_of(PairConstant c) {
  return {{c.low, c.high, c.low, c.high, c.low, c.high, c.low, c.high}};
}
// A 128-bit lane H y^64 + L moved up by s bits: H y^(s+64) + L y^s.
constexpr ZmmConstant FOLD_256 = lanes_of(plane_fold_constants(256));
constexpr ZmmConstant FOLD_128 = lanes_of(plane_fold_constants(128));

// Lane l of the low accumulators holds plane l, of the high ones plane 4 + l;
// these multiply each lane by its plane's gain.
constexpr ZmmConstant make_gains(std::size_t first_plane) {
  ZmmConstant c{};
  for (std::size_t l = 0; l < 4; ++l) {
    const PairConstant gain = plane_gain_constants(first_plane + l, 0);
    c.q[2 * l] = gain.low;
    c.q[2 * l + 1] = gain.high;
  }
  return c;
}
constexpr ZmmConstant GAINS_LOW = make_gains(0);
constexpr ZmmConstant GAINS_HIGH = make_gains(4);

constexpr std::uint64_t Y64 = y_power(64);

// After the bit transpose, byte p of qword k of a 64-byte block holds bit p
// of its bytes 8k..8k+7 (byte 8k in bit 7). The permutes below take a block
// pair (earlier block X, later Y) and give, in 128-bit lane l, plane p's 128
// bits: Y's in the low qword, X's in the high, the earliest byte in the top
// bit, so that bit k of the lane is the coefficient of y^k.
struct alignas(64) BytePermute {
  std::array<std::uint8_t, 64> index;
};
constexpr BytePermute make_plane_gather(std::size_t first_plane) {
  BytePermute p{};
  for (std::size_t l = 0; l < 4; ++l) {
    for (std::size_t m = 0; m < 16; ++m) {
      // Byte m of the lane: m < 8 from Y (index bit 6 set), else from X;
      // the higher the byte, the earlier its qword.
      const std::size_t source = m < 8 ? 64 + 8 * (7 - m) : 8 * (15 - m);
      const std::size_t at = QWORD_BYTES_REVERSED ? m ^ 7 : m;
      p.index[16 * l + at] = static_cast<std::uint8_t>(source + first_plane + l);
    }
  }
  return p;
}
constexpr BytePermute GATHER_LOW = make_plane_gather(0);
constexpr BytePermute GATHER_HIGH = make_plane_gather(4);

// gf2p8affineqb with the data as the matrix and this as the bytes: output
// byte p of each qword is bit p of the qword's eight bytes. Byte p is 1 << p
// (as bytes, whatever the machine's byte order).
constexpr BytePermute make_bit_select() {
  BytePermute p{};
  for (std::size_t i = 0; i < p.index.size(); ++i)
    p.index[i] = static_cast<std::uint8_t>(1u << (i % 8));
  return p;
}
constexpr BytePermute BIT_SELECT = make_bit_select();

constexpr std::size_t GROUP = 256;
// Below this the table-driven kernel is faster.
constexpr std::size_t MIN_LENGTH = 128;

// ---------------------------------------------------------------------------
// The kernel.

#define REMPAR_AVX512_TARGET REMPAR_TARGET("avx512f,avx512bw,avx512vbmi,gfni,vpclmulqdq,pclmul")

REMPAR_AVX512_TARGET inline __m512i load_zmm(const void* p) { return _mm512_loadu_si512(p); }

// state * y^shift + data, for the shift that k was made for.
REMPAR_AVX512_TARGET inline __m512i fold(__m512i state, __m512i k, __m512i data) {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(state, k, 0x00),
                                   _mm512_clmulepi64_epi128(state, k, 0x11), data, 0x96);
}

struct Accumulators {
  __m512i first_low;    // planes 0-3 of bytes 0..127 of each group
  __m512i first_high;   // planes 4-7 of the same
  __m512i second_low;   // planes 0-3 of bytes 128..255
  __m512i second_high;  // planes 4-7 of the same
};

// Folds in one 256-byte group given as four blocks.
REMPAR_AVX512_TARGET inline void absorb(Accumulators& acc, __m512i b0, __m512i b1, __m512i b2,
                                        __m512i b3) {
  const __m512i select = load_zmm(BIT_SELECT.index.data());
  const __m512i gather_low = load_zmm(GATHER_LOW.index.data());
  const __m512i gather_high = load_zmm(GATHER_HIGH.index.data());
  const __m512i k = load_zmm(FOLD_256.q.data());
  b0 = _mm512_gf2p8affine_epi64_epi8(select, b0, 0);
  b1 = _mm512_gf2p8affine_epi64_epi8(select, b1, 0);
  b2 = _mm512_gf2p8affine_epi64_epi8(select, b2, 0);
  b3 = _mm512_gf2p8affine_epi64_epi8(select, b3, 0);
  acc.first_low = fold(acc.first_low, k, _mm512_permutex2var_epi8(b0, gather_low, b1));
  acc.first_high = fold(acc.first_high, k, _mm512_permutex2var_epi8(b0, gather_high, b1));
  acc.second_low = fold(acc.second_low, k, _mm512_permutex2var_epi8(b2, gather_low, b3));
  acc.second_high = fold(acc.second_high, k, _mm512_permutex2var_epi8(b2, gather_high, b3));
}

// The last, partial group: its bytes, then zeros. Masked loads touch no byte
// past the end.
REMPAR_AVX512_TARGET inline __m512i load_partial(const std::uint8_t* data, std::size_t remaining,
                                                 std::size_t offset) {
  if (remaining <= offset) return _mm512_setzero_si512();
  const std::size_t count = remaining - offset;
#if defined(REMPAR_EMULATED)
  // SIMDe has no masked byte load: the same through a zeroed copy.
  std::array<std::uint8_t, 64> copy{};
  std::memcpy(copy.data(), data + offset, count < 64 ? count : 64);
  return load_zmm(copy.data());
#else
  const __mmask64 mask = count >= 64 ? ~__mmask64{0} : (__mmask64{1} << count) - 1;
  return _mm512_maskz_loadu_epi8(mask, data + offset);
#endif
}

REMPAR_AVX512_TARGET std::uint32_t fold_planes(std::uint32_t reg, const std::uint8_t* data,
                                               std::size_t length) {
  // The register's term y^n g: with N the padded length, the first group's
  // accumulator ends up multiplied by y^(N+128), so it starts as y^-128 g.
  const std::uint32_t reg_term = register_term(REGISTER_TERM, reg);
  Accumulators acc{_mm512_maskz_set1_epi64(1, static_cast<std::int64_t>(reg_term)),
                   _mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512()};

  const std::size_t groups = length / GROUP;
  for (std::size_t g = 0; g < groups; ++g, data += GROUP) {
    absorb(acc, load_zmm(data), load_zmm(data + 64), load_zmm(data + 128), load_zmm(data + 192));
  }
  const std::size_t remaining = length % GROUP;
  const std::size_t pad = remaining == 0 ? 0 : GROUP - remaining;
  if (remaining != 0) {
    absorb(acc, load_partial(data, remaining, 0), load_partial(data, remaining, 64),
           load_partial(data, remaining, 128), load_partial(data, remaining, 192));
  }

  // Both halves of the group into one 128-bit polynomial per plane.
  const __m512i k128 = load_zmm(FOLD_128.q.data());
  const __m512i low = fold(acc.first_low, k128, acc.second_low);
  const __m512i high = fold(acc.first_high, k128, acc.second_high);

  // Each plane times its gain (95 bits a lane), summed over all planes.
  const __m512i gains_low = load_zmm(GAINS_LOW.q.data());
  const __m512i gains_high = load_zmm(GAINS_HIGH.q.data());
  __m512i sum = _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(low, gains_low, 0x00),
                                          _mm512_clmulepi64_epi128(low, gains_low, 0x11),
                                          _mm512_clmulepi64_epi128(high, gains_high, 0x00), 0x96);
  sum = _mm512_xor_si512(sum, _mm512_clmulepi64_epi128(high, gains_high, 0x11));
  // The four lanes added up (lanes swapped by halves, then by pairs). The
  // zero-masked forms: GCC 12 warns that the plain ones read an undefined
  // register.
  constexpr __mmask8 all_qwords = 0xFF;
  sum = _mm512_xor_si512(sum, _mm512_maskz_shuffle_i64x2(all_qwords, sum, sum, 0x4E));
  sum = _mm512_xor_si512(sum, _mm512_maskz_shuffle_i64x2(all_qwords, sum, sum, 0xB1));
  const __m128i sum128 = _mm512_maskz_extracti32x4_epi32(0xF, sum, 0);

  // Undo the zero padding (95 bits), then fold the top 31 bits down: 64 bits.
  const __m128i unpad = _mm_load_si128(reinterpret_cast<const __m128i*>(&UNPAD[pad]));
  const __m128i unpadded = _mm_xor_si128(_mm_clmulepi64_si128(sum128, unpad, 0x00),
                                         _mm_clmulepi64_si128(sum128, unpad, 0x11));
  const __m128i y64 = _mm_cvtsi64_si128(static_cast<std::int64_t>(Y64));
  const auto poly = static_cast<std::uint64_t>(
      _mm_cvtsi128_si64(_mm_xor_si128(unpadded, _mm_clmulepi64_si128(unpadded, y64, 0x01))));

  return finish64(poly);
}

}  // namespace

std::uint32_t update_avx512(std::uint32_t reg, const std::uint8_t* data, std::size_t length) {
  if (length < MIN_LENGTH) return update_portable(reg, data, length);
  return fold_planes(reg, data, length);
}

#if !defined(REMPAR_EMULATED)
bool avx512_supported() {
  static const bool supported = [] {
    __builtin_cpu_init();  // in case this runs before the runtime's constructors
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("gfni") &&
           __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("pclmul") &&
           os_saves_xstate(XSTATE_AVX512);
  }();
  return supported;
}

#endif

}  // namespace REMPAR_KERNEL_NAMESPACE

#endif  // defined(REMPAR_X86_KERNELS)
