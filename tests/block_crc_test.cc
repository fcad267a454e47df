#include "checksum/block_crc.h"

#include <gtest/gtest.h>

#include <numeric>

#include "checksum/crc_kernels.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::bytes_of;

Bytes counting(std::size_t n) {
  Bytes bytes(n);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
  return bytes;
}

struct Vector {
  const char* what;
  Bytes data;
  std::uint32_t expected;
};

TEST(BlockCrc, KnownValues) {
  const Vector vectors[] = {
      {"empty", {}, 0x00000000u},
      {"abc", bytes_of("abc"), 0xCADBBEC2u},
      {"digits", bytes_of("123456789"), 0x206AF85Bu},
      {"one zero byte", Bytes{0x00}, 0x2D02EF8Du},
      {"letter a", bytes_of("a"), 0x17B7BE43u},
      {"sixteen 0xFF", Bytes(16, 0xFF), 0x00000000u},
      {"many 0xFF", Bytes(100000, 0xFF), 0x00000000u},
      {"0x00..0x0F", counting(16), 0x338FC1F8u},
      {"0x00..0x10", counting(17), 0x83E00A06u},
  };
  for (const Vector& v : vectors) {
    std::int32_t result = 0;
    block_crc(v.data.data(), static_cast<std::int64_t>(v.data.size()), result);
    EXPECT_EQ(static_cast<std::uint32_t>(result), v.expected) << v.what;
    EXPECT_EQ(block_crc(v.data), v.expected) << v.what;
  }
}

// Whatever part goes through the sixteen-byte passes and whatever part
// through single bytes, the result is that of the byte-at-a-time loop.
TEST(BlockCrc, AnySplitMatchesTheByteLoop) {
  const Bytes data = testing::random_bytes(300, 7);
  const std::uint32_t whole = crc::update_bytewise(crc::INITIAL_REGISTER, data.data(), data.size());
  EXPECT_EQ(block_crc(data), whole ^ 0xFFFFFFFFu);
  for (std::size_t split = 0; split <= data.size(); ++split) {
    std::uint32_t reg = crc::update_portable(crc::INITIAL_REGISTER, data.data(), split);
    reg = crc::update_bytewise(reg, data.data() + split, data.size() - split);
    ASSERT_EQ(reg, whole) << "split at " << split;
  }
}

TEST(RunningCrc, PiecesGiveTheWholeChecksum) {
  const Bytes data = testing::random_bytes(5000, 11);
  for (std::size_t piece : {1u, 3u, 16u, 17u, 1000u, 4999u}) {
    RunningCrc running;
    for (std::size_t at = 0; at < data.size(); at += piece) {
      running.update(std::span(data).subspan(at, std::min(piece, data.size() - at)));
    }
    EXPECT_EQ(running.value(), block_crc(data)) << "pieces of " << piece;
  }
  EXPECT_EQ(RunningCrc{}.value(), 0u);
}

}  // namespace
}  // namespace rempar
