#pragma once
// The mathematics behind every folding checksum kernel, evaluated by the
// compiler. A kernel takes its constants from here and derives none itself.
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
// (the matrix KRYLOV). So every T[1 << i] is g_i(A) v for a polynomial g_i
// of degree < 32 (PLANE_GAIN, g_0 = 1), and likewise R_0 = g(A) v with
// g = KRYLOV_INVERSE(R_0). Then
//   R_n = F( y^n g + sum_i M_i g_i  mod chi ),   F(r) = r(A) v = KRYLOV(r),
// one remainder through one fixed linear map (FINISH, finish64).
//
// Two-bit planes. Kernels without a bit-matrix instruction split each byte
// into four 2-bit planes: plane q holds bits 2q and 2q+1 of every byte, byte
// j's pair at z^(2(n-1-j)) and z^(2(n-1-j)+1). Its polynomial is
// E(z^2) + z O(z^2), with E = M_2q and O = M_(2q+1) in y = z^2. Reducing it
// modulo chi(z^2) = chi(z)^2 (degree 64, CHI2_LOW) keeps the even and odd parts
// apart and gives E mod chi and O mod chi at once; folding therefore uses
// 64-bit constants, like a 64-bit CRC fold. The even part of
//   (E + z O)(G_e(z^2) + z G_o(z^2))   is   G_e E + y G_o O,
// so one carry-less multiplication by PAIR_GAIN[q] (G_e = g_2q,
// G_o = g_(2q+1) / y) applies both planes' gains. After summing the planes,
// finish_pair_planes() keeps the even part and applies F.
//
// How a two-bit kernel uses this (a plane's 128-bit lane holds H z^64 + L;
// bit k of the lane is the coefficient of z^k; each product is 127 bits):
//   - the lane of plane 0 that holds the latest data starts with
//     spread_register(reg) in its low 64 bits: the register's term y^n g;
//   - a lane moves s bits of z forward as H * c.high + L * c.low with
//     c = pair_fold_constants(s), then the next data is added;
//   - at the end, plane q's lane times pair_gain_constants(q, s), where s is
//     how far that lane still lies from its place (0 for the latest data);
//     all these products added up go to finish_pair_planes(low, high).
// One-bit kernels use plane_fold_constants, plane_gain_constants and
// make_register_term the same way, with 32-bit residues modulo chi.

#include <array>
#include <cstddef>
#include <cstdint>

#include "checksum/crc_table.h"

namespace rempar::crc::algebra {

// ---------------------------------------------------------------------------
// Polynomials in y modulo chi, held in 32 bits (bit k: coefficient of y^k).

// The minimal polynomial of A (bit 32 set).
constexpr std::uint64_t CHI = 0x1815808CFull;

// A applied once: one step over a zero byte.
constexpr std::uint32_t advance(std::uint32_t reg) { return crc_step(reg, 0); }

constexpr std::uint32_t times_y(std::uint32_t p) {
  std::uint64_t t = static_cast<std::uint64_t>(p) << 1;
  if (t >> 32) t ^= CHI;
  return static_cast<std::uint32_t>(t);
}

// y is invertible: chi's constant term is one.
constexpr std::uint32_t over_y(std::uint32_t p) {
  std::uint64_t t = p;
  if (t & 1u) t ^= CHI;
  return static_cast<std::uint32_t>(t >> 1);
}

// Both fields below (modulo chi in y, modulo chi(z^2) in z) multiply and
// raise to powers the same way, given how they multiply by their variable.

// a * b, shift and add: Horner's rule over the bits of b, top bit first.
template <class Word, class TimesVariable>
constexpr Word shift_and_add(Word a, Word b, TimesVariable times_variable) {
  Word r = 0;
  for (int i = static_cast<int>(8 * sizeof(Word)) - 1; i >= 0; --i) {
    r = times_variable(r);
    if ((b >> i) & 1u) r ^= a;
  }
  return r;
}

// The variable to the power e, for any sign of e.
template <class Word, class TimesVariable, class OverVariable>
constexpr Word variable_power(int e, TimesVariable times_variable, OverVariable over_variable) {
  Word p = 1;
  for (; e > 0; --e) p = times_variable(p);
  for (; e < 0; ++e) p = over_variable(p);
  return p;
}

constexpr std::uint32_t mul_mod(std::uint32_t a, std::uint32_t b) {
  return shift_and_add(a, b, times_y);
}

// y^e mod chi.
constexpr std::uint32_t y_power(int e) { return variable_power<std::uint32_t>(e, times_y, over_y); }

// A polynomial of degree < 64 reduced modulo chi.
constexpr std::uint32_t reduce64(std::uint64_t v) {
  for (int i = 63; i >= 32; --i) {
    if ((v >> i) & 1u) v ^= CHI << (i - 32);
  }
  return static_cast<std::uint32_t>(v);
}

// ---------------------------------------------------------------------------
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

inline constexpr Matrix KRYLOV = make_krylov();
inline constexpr Matrix KRYLOV_INVERSE = invert(KRYLOV);

namespace detail {

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

}  // namespace detail

static_assert(detail::chi_annihilates_a(), "chi(A) must be zero");
static_assert(detail::is_inverse(KRYLOV, KRYLOV_INVERSE), "T[1] must be a cyclic vector of A");

// g_i: T[1 << i] = g_i(A) T[1].
constexpr std::array<std::uint32_t, 8> make_plane_gains() {
  std::array<std::uint32_t, 8> g{};
  for (std::size_t i = 0; i < 8; ++i) g[i] = apply(KRYLOV_INVERSE, CRC_TABLE[1u << i]);
  return g;
}
inline constexpr std::array<std::uint32_t, 8> PLANE_GAIN = make_plane_gains();
static_assert(PLANE_GAIN[0] == 1, "the register's term rides on plane 0");

// FINISH[m][x] = F((x << 8m) mod chi): F of a polynomial of degree < 64.
constexpr std::array<ByteTable, 8> make_finish() {
  std::array<ByteTable, 8> t{};
  for (std::size_t m = 0; m < 8; ++m) {
    t[m] = linear_table([m](std::uint32_t x) {
      return apply(KRYLOV, reduce64(static_cast<std::uint64_t>(x) << (8 * m)));
    });
  }
  return t;
}
inline constexpr std::array<ByteTable, 8> FINISH = make_finish();

// The register for the remainder `poly` (degree < 64 in y).
constexpr std::uint32_t finish64(std::uint64_t poly) {
  std::uint32_t result = 0;
  for (std::size_t m = 0; m < 8; ++m) result ^= FINISH[m][(poly >> (8 * m)) & 0xFFu];
  return result;
}

// REGISTER_TERM[m][x] = y^shift g(x << 8m), for a register entering a lane
// that is moved `shift` bits of y further than the data (negative: less).
constexpr std::array<ByteTable, 4> make_register_term(int shift) {
  std::array<ByteTable, 4> t{};
  const std::uint32_t factor = y_power(shift);
  for (std::size_t m = 0; m < 4; ++m) {
    t[m] = linear_table([m, factor](std::uint32_t x) {
      return mul_mod(factor, apply(KRYLOV_INVERSE, x << (8 * m)));
    });
  }
  return t;
}

constexpr std::uint32_t register_term(const std::array<ByteTable, 4>& table, std::uint32_t reg) {
  return table[0][reg & 0xFFu] ^ table[1][(reg >> 8) & 0xFFu] ^ table[2][(reg >> 16) & 0xFFu] ^
         table[3][reg >> 24];
}

// A 64-bit constant pair for a 128-bit lane H x^64 + L (x is y for one-bit
// planes, z for two-bit ones): the lane times a factor is H * high + L * low.
struct PairConstant {
  std::uint64_t low;
  std::uint64_t high;
};

// Moves a one-bit plane's lane `shift` bits of y (negative: back):
// {y^shift, y^(shift+64)}.
constexpr PairConstant plane_fold_constants(int shift) {
  return {y_power(shift), y_power(shift + 64)};
}

// Plane i's lane, still `shift` bits of y from its place, times its gain g_i.
constexpr PairConstant plane_gain_constants(std::size_t i, int shift) {
  return {mul_mod(PLANE_GAIN[i], y_power(shift)), mul_mod(PLANE_GAIN[i], y_power(shift + 64))};
}

// ---------------------------------------------------------------------------
// Polynomials in z modulo chi(z^2) (two-bit planes), held in 64 bits.

// Bit k of x moved to bit 2k: p(y) as a polynomial in z = sqrt(y).
constexpr std::uint64_t spread_even(std::uint32_t x) {
  std::uint64_t v = x;
  v = (v | (v << 16)) & 0x0000FFFF0000FFFFull;
  v = (v | (v << 8)) & 0x00FF00FF00FF00FFull;
  v = (v | (v << 4)) & 0x0F0F0F0F0F0F0F0Full;
  v = (v | (v << 2)) & 0x3333333333333333ull;
  v = (v | (v << 1)) & 0x5555555555555555ull;
  return v;
}

// The inverse: bit 2k of v moved to bit k, odd bits dropped.
constexpr std::uint32_t compact_even(std::uint64_t v) {
  v &= 0x5555555555555555ull;
  v = (v | (v >> 1)) & 0x3333333333333333ull;
  v = (v | (v >> 2)) & 0x0F0F0F0F0F0F0F0Full;
  v = (v | (v >> 4)) & 0x00FF00FF00FF00FFull;
  v = (v | (v >> 8)) & 0x0000FFFF0000FFFFull;
  v = (v | (v >> 16)) & 0x00000000FFFFFFFFull;
  return static_cast<std::uint32_t>(v);
}

// chi(z^2) without its top term z^64.
inline constexpr std::uint64_t CHI2_LOW = spread_even(static_cast<std::uint32_t>(CHI));

constexpr std::uint64_t times_z(std::uint64_t p) {
  const bool carry = (p >> 63) != 0;
  p <<= 1;
  return carry ? p ^ CHI2_LOW : p;
}

constexpr std::uint64_t over_z(std::uint64_t p) {
  if ((p & 1u) == 0) return p >> 1;
  return ((p ^ CHI2_LOW) >> 1) | (std::uint64_t{1} << 63);
}

// z^e mod chi(z^2).
constexpr std::uint64_t z_power(int e) { return variable_power<std::uint64_t>(e, times_z, over_z); }

constexpr std::uint64_t mul_mod_chi2(std::uint64_t a, std::uint64_t b) {
  return shift_and_add(a, b, times_z);
}

static_assert(z_power(64) == CHI2_LOW, "z^64 = chi(z^2) - z^64");
static_assert(z_power(2 * 77) == spread_even(y_power(77)), "z^2 is y, also modulo chi(z^2)");
static_assert(z_power(-1000) == spread_even(y_power(-500)), "and so is z^-2 = 1/y");
static_assert(mul_mod_chi2(z_power(-37), z_power(100)) == z_power(63), "z^-37 z^100 = z^63");

// Moves a lane `shift` bits of z forward: {z^shift, z^(shift+64)}.
constexpr PairConstant pair_fold_constants(int shift) {
  return {z_power(shift), z_power(shift + 64)};
}

// G_q = g_2q(z^2) + z (g_(2q+1) / y)(z^2): one multiplication gives the even
// part g_2q E + g_(2q+1) O.
constexpr std::uint64_t make_pair_gain(std::size_t q) {
  return spread_even(PLANE_GAIN[2 * q]) | spread_even(over_y(PLANE_GAIN[2 * q + 1])) << 1;
}
inline constexpr std::array<std::uint64_t, 4> PAIR_GAIN = {make_pair_gain(0), make_pair_gain(1),
                                                           make_pair_gain(2), make_pair_gain(3)};
static_assert((PAIR_GAIN[0] & 0x5555555555555555ull) == 1, "plane 0's even bits have gain one");

// Plane q's lane, still `shift` bits of z from its place, times its gain.
constexpr PairConstant pair_gain_constants(std::size_t q, int shift) {
  return {mul_mod_chi2(PAIR_GAIN[q], z_power(shift)),
          mul_mod_chi2(PAIR_GAIN[q], z_power(shift + 64))};
}

// The register's term as a two-bit plane-0 lane: spread(g) (see above).
inline constexpr std::array<ByteTable, 4> PAIR_REGISTER_TERM = make_register_term(0);

constexpr std::uint64_t spread_register(std::uint32_t reg) {
  return spread_even(register_term(PAIR_REGISTER_TERM, reg));
}

// The new register from the sum of all planes' gained lanes, a polynomial in
// z of degree < 128 given as its low and high 64 bits: its even part, a
// polynomial in y of degree < 64, through F.
constexpr std::uint32_t finish_pair_planes(std::uint64_t low, std::uint64_t high) {
  return finish64(compact_even(low) | static_cast<std::uint64_t>(compact_even(high)) << 32);
}

}  // namespace rempar::crc::algebra
