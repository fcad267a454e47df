// The block checksum on x86-64 with AVX-512, GFNI and VPCLMULQDQ.
//
// The byte step is linear over GF(2): step(R, b) = A(R) ^ T[b] with
// A(R) = T[R & 0xFF] ^ asr(R, 8). After bytes b0..b(n-1),
//   R_n = A^n(R_0) ^ sum_j A^(n-1-j)(T[b_j]).
// The arithmetic shift means no CRC-32 with another constant computes this;
// but A is a 32x32 bit matrix with minimal polynomial chi of degree 32, so
// any polynomial p(A) equals (p mod chi)(A). Writing T[b] as the sum of
// T[1 << i] over the set bits i of b splits the data into eight bit planes:
//   sum_j A^(n-1-j)(T[b_j]) = sum_i M_i(A) T[1 << i],
//   M_i(y) = sum_j bit_i(b_j) y^(n-1-j),
// and each M_i mod chi is an ordinary polynomial remainder, which carry-less
// multiplication folds at memory speed.
//
// A has a cyclic vector, v = T[1]: the vectors A^k v, k < 32, form a basis
// (the matrix KRYLOV below). So every T[1 << i] is g_i(A) v for a polynomial
// g_i of degree < 32 (g_0 = 1), and likewise R_0 = g(A) v. Then
//   R_n = F( y^n g + sum_i M_i g_i  mod chi ),   F(r) = r(A) v,
// one remainder through one fixed linear map. The kernel folds the eight
// planes side by side, multiplies each by its g_i, adds them up and applies
// F with eight byte-indexed tables.
//
// The data is cut into groups of 256 bytes, the last one padded with zero
// bytes. Zero bytes at the end multiply the sum by y^pad; the last step
// multiplies by y^-pad again (y is invertible modulo chi, whose constant term
// is one). The register's term y^n g is put into the first group's
// accumulator, where folding carries it to its place.

#include "container/crc_kernels.h"

#if defined(__x86_64__)

#include <cpuid.h>
#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "container/crc_table.h"

namespace rempar::crc {
namespace {

// ---------------------------------------------------------------------------
// The algebra, evaluated by the compiler.

// The minimal polynomial of A: bit k is the coefficient of y^k.
constexpr std::uint64_t CHI = 0x1815808CFull;

constexpr std::uint32_t advance(std::uint32_t reg) { return crc_step(reg, 0); }

// Polynomials modulo chi, held in 32 bits (bit k: coefficient of y^k).
constexpr std::uint32_t times_y(std::uint32_t p) {
  std::uint64_t t = static_cast<std::uint64_t>(p) << 1;
  if (t >> 32) t ^= CHI;
  return static_cast<std::uint32_t>(t);
}

constexpr std::uint32_t over_y(std::uint32_t p) {
  std::uint64_t t = p;
  if (t & 1u) t ^= CHI;
  return static_cast<std::uint32_t>(t >> 1);
}

constexpr std::uint32_t mul_mod(std::uint32_t a, std::uint32_t b) {
  std::uint32_t r = 0;
  for (int i = 31; i >= 0; --i) {
    r = times_y(r);
    if ((b >> i) & 1u) r ^= a;
  }
  return r;
}

constexpr std::uint32_t y_power(int e) {
  std::uint32_t p = 1;
  for (; e > 0; --e) p = times_y(p);
  for (; e < 0; ++e) p = over_y(p);
  return p;
}

// A 64-bit polynomial reduced modulo chi.
constexpr std::uint32_t reduce64(std::uint64_t v) {
  for (int i = 63; i >= 32; --i) {
    if ((v >> i) & 1u) v ^= CHI << (i - 32);
  }
  return static_cast<std::uint32_t>(v);
}

// 32x32 bit matrices as their columns: col[i] is the image of bit i.
using Matrix = std::array<std::uint32_t, 32>;

constexpr std::uint32_t apply(const Matrix& m, std::uint32_t x) {
  std::uint32_t r = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    if ((x >> i) & 1u) r ^= m[i];
  }
  return r;
}

// Column k is A^k T[1]: F(r) = apply(KRYLOV, r).
constexpr Matrix make_krylov() {
  Matrix m{};
  std::uint32_t v = CRC_TABLE[1];
  for (std::uint32_t& col : m) {
    col = v;
    v = advance(v);
  }
  return m;
}

// Gauss-Jordan elimination; all zero if the matrix is singular.
constexpr Matrix invert(const Matrix& m) {
  // rows[j]: row j of m in the low half, row j of the identity in the high.
  std::array<std::uint64_t, 32> rows{};
  for (std::size_t j = 0; j < 32; ++j) {
    std::uint64_t row = std::uint64_t{1} << (32 + j);
    for (std::size_t i = 0; i < 32; ++i) {
      if ((m[i] >> j) & 1u) row |= std::uint64_t{1} << i;
    }
    rows[j] = row;
  }
  for (std::size_t c = 0; c < 32; ++c) {
    std::size_t pivot = c;
    while (pivot < 32 && !((rows[pivot] >> c) & 1u)) ++pivot;
    if (pivot == 32) return Matrix{};
    const std::uint64_t top = rows[pivot];
    rows[pivot] = rows[c];
    rows[c] = top;
    for (std::size_t j = 0; j < 32; ++j) {
      if (j != c && ((rows[j] >> c) & 1u)) rows[j] ^= top;
    }
  }
  Matrix inverse{};
  for (std::size_t j = 0; j < 32; ++j) {
    for (std::size_t k = 0; k < 32; ++k) {
      if ((rows[j] >> (32 + k)) & 1u) inverse[k] |= 1u << j;
    }
  }
  return inverse;
}

constexpr Matrix KRYLOV = make_krylov();
constexpr Matrix KRYLOV_INVERSE = invert(KRYLOV);

constexpr bool chi_annihilates_a() {
  for (int i = 0; i < 32; ++i) {
    std::uint32_t x = 1u << i;
    std::uint32_t sum = 0;
    for (int k = 0; k <= 32; ++k) {
      if ((CHI >> k) & 1u) sum ^= x;
      x = advance(x);
    }
    if (sum != 0) return false;
  }
  return true;
}

constexpr bool is_inverse(const Matrix& m, const Matrix& inverse) {
  for (int i = 0; i < 32; ++i) {
    if (apply(m, apply(inverse, 1u << i)) != (1u << i)) return false;
  }
  return true;
}

static_assert(chi_annihilates_a(), "chi(A) must be zero");
static_assert(is_inverse(KRYLOV, KRYLOV_INVERSE), "T[1] must be a cyclic vector of A");

// g_i: T[1 << i] = g_i(A) T[1].
constexpr std::array<std::uint32_t, 8> make_plane_gains() {
  std::array<std::uint32_t, 8> g{};
  for (std::size_t i = 0; i < 8; ++i) g[i] = apply(KRYLOV_INVERSE, CRC_TABLE[1u << i]);
  return g;
}
constexpr std::array<std::uint32_t, 8> PLANE_GAIN = make_plane_gains();
static_assert(PLANE_GAIN[0] == 1, "the register's term rides on plane 0");

// REGISTER_TERM[m][x]: y^-128 g(x << 8m), what the register puts into the
// first group's plane-0 accumulator (see fold_planes).
constexpr std::uint32_t Y_MINUS_128 = y_power(-128);
constexpr std::array<ByteTable, 4> make_register_term() {
  std::array<ByteTable, 4> t{};
  for (std::size_t m = 0; m < 4; ++m) {
    t[m] = linear_table(
        [m](std::uint32_t x) { return mul_mod(Y_MINUS_128, apply(KRYLOV_INVERSE, x << (8 * m))); });
  }
  return t;
}
constexpr std::array<ByteTable, 4> REGISTER_TERM = make_register_term();

// FINISH[m][x] = F((x << 8m) mod chi): F of a 64-bit polynomial.
constexpr std::array<ByteTable, 8> make_finish() {
  std::array<ByteTable, 8> t{};
  for (std::size_t m = 0; m < 8; ++m) {
    t[m] = linear_table([m](std::uint32_t x) {
      return apply(KRYLOV, reduce64(static_cast<std::uint64_t>(x) << (8 * m)));
    });
  }
  return t;
}
constexpr std::array<ByteTable, 8> FINISH = make_finish();

// UNPAD[pad] = {y^-pad, y^(64-pad)}: multiplies a 128-bit lane by y^-pad.
struct alignas(16) LaneConstant {
  std::uint64_t low;
  std::uint64_t high;
};
constexpr std::array<LaneConstant, 256> make_unpad() {
  std::array<LaneConstant, 256> t{};
  std::uint32_t low = 1;
  std::uint32_t high = y_power(64);
  for (LaneConstant& c : t) {
    c = {low, high};
    low = over_y(low);
    high = over_y(high);
  }
  return t;
}
constexpr std::array<LaneConstant, 256> UNPAD = make_unpad();

// Four equal lanes {y^a, y^b}: the fold constants for a shift.
struct alignas(64) ZmmConstant {
  std::array<std::uint64_t, 8> q;
};
constexpr ZmmConstant lanes_of(std::uint32_t low, std::uint32_t high) {
  return {{low, high, low, high, low, high, low, high}};
}
// A 128-bit lane H y^64 + L moved up by s bits: H y^(s+64) + L y^s.
constexpr ZmmConstant FOLD_256 = lanes_of(y_power(256), y_power(320));
constexpr ZmmConstant FOLD_128 = lanes_of(y_power(128), y_power(192));

// Lane l of the low accumulators holds plane l, of the high ones plane 4 + l;
// these multiply each lane by its plane's gain.
constexpr ZmmConstant make_gains(std::size_t first_plane) {
  ZmmConstant c{};
  for (std::size_t l = 0; l < 4; ++l) {
    const std::uint32_t g = PLANE_GAIN[first_plane + l];
    c.q[2 * l] = g;
    c.q[2 * l + 1] = mul_mod(g, y_power(64));
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
      p.index[16 * l + m] = static_cast<std::uint8_t>(source + first_plane + l);
    }
  }
  return p;
}
constexpr BytePermute GATHER_LOW = make_plane_gather(0);
constexpr BytePermute GATHER_HIGH = make_plane_gather(4);

// gf2p8affineqb with the data as the matrix and this as the bytes: output
// byte p of each qword is bit p of the qword's eight bytes.
constexpr std::uint64_t BIT_SELECT = 0x8040201008040201u;

constexpr std::size_t GROUP = 256;
// Below this the table-driven kernel is faster.
constexpr std::size_t MIN_LENGTH = 128;

// ---------------------------------------------------------------------------
// The kernel.

#define REMPAR_AVX512_TARGET \
  __attribute__((target("avx512f,avx512bw,avx512vbmi,gfni,vpclmulqdq,pclmul")))

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
  const __m512i select = _mm512_set1_epi64(static_cast<std::int64_t>(BIT_SELECT));
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
  const __mmask64 mask = count >= 64 ? ~__mmask64{0} : (__mmask64{1} << count) - 1;
  return _mm512_maskz_loadu_epi8(mask, data + offset);
}

REMPAR_AVX512_TARGET std::uint32_t fold_planes(std::uint32_t reg, const std::uint8_t* data,
                                               std::size_t length) {
  // The register's term y^n g: with N the padded length, the first group's
  // accumulator ends up multiplied by y^(N+128), so it starts as y^-128 g.
  const std::uint32_t reg_term =
      REGISTER_TERM[0][reg & 0xFFu] ^ REGISTER_TERM[1][(reg >> 8) & 0xFFu] ^
      REGISTER_TERM[2][(reg >> 16) & 0xFFu] ^ REGISTER_TERM[3][reg >> 24];
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

  std::uint32_t result = 0;
  for (std::size_t m = 0; m < 8; ++m) result ^= FINISH[m][(poly >> (8 * m)) & 0xFFu];
  return result;
}

// The OS must save the opmask and all 512-bit registers (XCR0 bits 1, 2, 5,
// 6, 7); the CPU's feature bits alone do not say so. __builtin_cpu_supports
// checks this too with the runtimes in use here; this guards older ones.
bool os_saves_avx512_state() {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0) return false;
  unsigned xcr0_low = 0;
  unsigned xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  constexpr unsigned needed = 0xE6u;
  return (xcr0_low & needed) == needed;
}

}  // namespace

std::uint32_t update_avx512(std::uint32_t reg, const std::uint8_t* data, std::size_t length) {
  if (length < MIN_LENGTH) return update_portable(reg, data, length);
  return fold_planes(reg, data, length);
}

bool avx512_supported() {
  static const bool supported = [] {
    __builtin_cpu_init();  // in case this runs before the runtime's constructors
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("gfni") &&
           __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("pclmul") &&
           os_saves_avx512_state();
  }();
  return supported;
}

}  // namespace rempar::crc

#endif  // defined(__x86_64__)
