#include "checksum/block_crc.h"

#include <gtest/gtest.h>

#include <string>

#include "checksum/crc_kernels.h"
#include "support/known_checksums.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;

TEST(BlockCrc, KnownValues) {
  for (const testing::KnownChecksum& k : testing::known_checksums()) {
    const std::string what = std::string(k.what) + " (" + std::to_string(k.data.size()) + " bytes)";
    std::int32_t result = 0;
    block_crc(k.data.data(), static_cast<std::int64_t>(k.data.size()), result);
    EXPECT_EQ(static_cast<std::uint32_t>(result), k.checksum) << what;
    EXPECT_EQ(block_crc(k.data), k.checksum) << what;
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
