#include <array>

#include "checksum/crc_kernels.h"
#include "checksum/crc_table.h"

namespace rempar::crc {

std::uint32_t update_bytewise(std::uint32_t reg, const std::uint8_t* data, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) reg = crc_step(reg, data[i]);
  return reg;
}

namespace {

// The byte step is linear over GF(2) in the register and the byte together:
//   step(R, b) = A(R) ^ T[b],   A(R) = T[R & 0xFF] ^ asr(R, 8) = step(R, 0).
// After bytes b0..b15:
//   R16 = A^16(R) ^ sum_j A^(15-j)(T[bj]).
//
// With standard CRC-32 the register and the first four data bytes could be
// xored and looked up together. Here that is true up to one bit: let w be the
// first four bytes as a little-endian word; then
//   R4 = A^4(R ^ w) ^ (bit 31 of w ? A^3(0xFF000000) : 0),
// because shifting w's top byte down arithmetically fills in ones that the
// data itself never had, once, at the first step. So a sixteen-byte pass costs
// four lookups for R ^ w, twelve for bytes 4..15 and a masked constant.

constexpr int SLICE = 16;
constexpr int MERGED = 4;  // data bytes merged with the register
constexpr int DATA_TABLES = SLICE - MERGED;

constexpr std::uint32_t advance(std::uint32_t reg) { return crc_step(reg, 0); }

constexpr std::uint32_t advance_n(std::uint32_t reg, int n) {
  for (int i = 0; i < n; ++i) reg = advance(reg);
  return reg;
}

struct SliceTables {
  // reg[m][x] = A^16(x << 8m): byte m of (R ^ w).
  std::array<ByteTable, 4> reg{};
  // data[k][b] = A^k(T[b]): a data byte with k bytes after it in the slice.
  std::array<ByteTable, DATA_TABLES> data{};
  // Correction for the sign fill of w's top bit, carried through the slice.
  std::uint32_t sign_fill{};
};

constexpr SliceTables make_slice_tables() {
  SliceTables t{};
  for (int m = 0; m < 4; ++m) {
    t.reg[static_cast<std::size_t>(m)] =
        linear_table([m](std::uint32_t x) { return advance_n(x << (8 * m), SLICE); });
  }
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t v = CRC_TABLE[b];
    for (std::size_t k = 0; k < DATA_TABLES; ++k) {
      t.data[k][b] = v;
      v = advance(v);
    }
  }
  t.sign_fill = advance_n(0xFF000000u, SLICE - 1);
  return t;
}

constexpr SliceTables TABLES = make_slice_tables();

// The slice reproduces the byte loop, checked here on a few registers and
// data words at compile time.
constexpr std::uint32_t slice_of_words(std::uint32_t reg, std::uint32_t w0, std::uint32_t w1) {
  // Sixteen bytes: w0, w1, then eight zero bytes.
  std::uint32_t expect = reg;
  for (int i = 0; i < 4; ++i) expect = crc_step(expect, static_cast<std::uint8_t>(w0 >> (8 * i)));
  for (int i = 0; i < 4; ++i) expect = crc_step(expect, static_cast<std::uint8_t>(w1 >> (8 * i)));
  expect = advance_n(expect, 8);
  const std::uint32_t s = reg ^ w0;
  std::uint32_t got = TABLES.reg[0][s & 0xFFu] ^ TABLES.reg[1][(s >> 8) & 0xFFu] ^
                      TABLES.reg[2][(s >> 16) & 0xFFu] ^ TABLES.reg[3][s >> 24];
  got ^= (w0 >> 31) ? TABLES.sign_fill : 0u;
  for (int i = 0; i < 4; ++i) {
    got ^= TABLES.data[static_cast<std::size_t>(DATA_TABLES - 1 - i)][(w1 >> (8 * i)) & 0xFFu];
  }
  return got ^ expect;  // zero when they agree
}
static_assert(slice_of_words(0xFFFFFFFFu, 0x80000000u, 0x12345678u) == 0);
static_assert(slice_of_words(0x7FFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu) == 0);
static_assert(slice_of_words(0x89ABCDEFu, 0x7F00FF80u, 0x00000080u) == 0);

// Little-endian word from explicit bytes, whatever the host's byte order.
inline std::uint32_t load_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint32_t byte_of(std::uint32_t word, int index) {
  return (word >> (8 * index)) & 0xFFu;
}

}  // namespace

std::uint32_t update_portable(std::uint32_t reg, const std::uint8_t* data, std::size_t length) {
  const SliceTables& t = TABLES;
  const auto& d = t.data;
  for (; length >= SLICE; data += SLICE, length -= SLICE) {
    const std::uint32_t w0 = load_le32(data);
    const std::uint32_t w1 = load_le32(data + 4);
    const std::uint32_t w2 = load_le32(data + 8);
    const std::uint32_t w3 = load_le32(data + 12);
    // Everything but R ^ w0 is independent of the register, so it overlaps
    // with the previous pass.
    std::uint32_t x = (0u - (w0 >> 31)) & t.sign_fill;
    x ^=
        d[11][byte_of(w1, 0)] ^ d[10][byte_of(w1, 1)] ^ d[9][byte_of(w1, 2)] ^ d[8][byte_of(w1, 3)];
    x ^= d[7][byte_of(w2, 0)] ^ d[6][byte_of(w2, 1)] ^ d[5][byte_of(w2, 2)] ^ d[4][byte_of(w2, 3)];
    x ^= d[3][byte_of(w3, 0)] ^ d[2][byte_of(w3, 1)] ^ d[1][byte_of(w3, 2)] ^ d[0][byte_of(w3, 3)];
    const std::uint32_t s = reg ^ w0;
    reg = x ^ t.reg[0][byte_of(s, 0)] ^ t.reg[1][byte_of(s, 1)] ^ t.reg[2][byte_of(s, 2)] ^
          t.reg[3][byte_of(s, 3)];
  }
  return update_bytewise(reg, data, length);
}

}  // namespace rempar::crc
