#include "ops/create_checksum.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "checksum/block_crc.h"
#include "common/le.h"
#include "common/messages.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::TempDir;

using testing::PROCESSING;
using testing::SEAL_AND_DONE;

std::string warning(int block_size) {
  return "Warning: filesize is multiple of blocksize, older windows version of Rempar\n"
         "can't handle such files. You can use '-b' to change blocksize (which is now " +
         std::to_string(block_size) + ")\n";
}

// The checksum file of `data`, built from slices of it.
Bytes expected_cdt(const Bytes& data, std::uint32_t block_size) {
  Bytes body;
  const auto put = [&](std::uint32_t v) { testing::append_le32(body, v); };
  for (char c : std::string("KaLWCRCC\x02", 9)) body.push_back(static_cast<std::uint8_t>(c));
  body.push_back(0);
  put(static_cast<std::uint32_t>(data.size()));
  put(block_size);
  for (std::size_t at = 0; at < data.size(); at += block_size) {
    put(block_crc(
        std::span(data).subspan(at, std::min<std::size_t>(block_size, data.size() - at))));
  }
  put(block_crc(body));
  return body;
}

struct Golden {
  const char* what;
  std::size_t size;
  std::int32_t block_size;
  std::string out;
  std::size_t cdt_size;
};

TEST(CreateChecksum, GoldenRuns) {
  const Golden cases[] = {
      {"empty file", 0, 16384, PROCESSING + warning(16384) + SEAL_AND_DONE, 22},
      {"worked example", 40000, 16384, PROCESSING + "\r40%" + SEAL_AND_DONE, 34},
      {"100 bytes", 100, 16384, PROCESSING + SEAL_AND_DONE, 26},
      {"one block", 16384, 16384, PROCESSING + warning(16384) + SEAL_AND_DONE, 26},
      {"two blocks", 32768, 16384, PROCESSING + warning(16384) + "\r50%" + SEAL_AND_DONE, 30},
      {"B=2, S=3", 3, 2, PROCESSING + SEAL_AND_DONE, 30},
      {"B=1, S=10", 10, 1,
       PROCESSING + warning(1) + "\r10%\r20%\r30%\r40%\r50%\r60%\r70%\r80%\r90%" + SEAL_AND_DONE,
       62},
      {"blocks larger than one read", (5 << 20) + 3, 2 << 20, PROCESSING + "\r39%" + SEAL_AND_DONE,
       34},
      {"huge block size", 100, 2147483647, PROCESSING + SEAL_AND_DONE, 26},
  };
  for (const Golden& c : cases) {
    TempDir dir;
    const Bytes data = testing::random_bytes(c.size, 42);
    testing::write_file(dir / "data", data);
    const auto result =
        testing::run_rempar({"-b", std::to_string(c.block_size), "data"}, dir.path());
    EXPECT_EQ(result.out, c.out) << c.what;
    EXPECT_EQ(result.status, 0) << c.what;
    const Bytes cdt = testing::read_file(dir / "data.cdt");
    EXPECT_EQ(cdt.size(), c.cdt_size) << c.what;
    EXPECT_EQ(cdt, expected_cdt(data, static_cast<std::uint32_t>(c.block_size))) << c.what;
  }
}

TEST(CreateChecksum, AnExistingChecksumFileIsRewritten) {
  TempDir dir;
  testing::write_file(dir / "data", Bytes{});
  testing::write_file(dir / "data.cdt", Bytes(5000, 0xAB));
  ASSERT_EQ(testing::run_rempar({"data"}, dir.path()).status, 0);
  EXPECT_EQ(testing::read_file(dir / "data.cdt"), expected_cdt({}, 16384));
}

TEST(CreateChecksum, RefusalsLeaveNoChecksumFile) {
  TempDir dir;
  testing::write_file(dir / "data", Bytes(10, 1));
  std::filesystem::create_directory(dir.path() / "sub");
  struct Case {
    std::vector<std::string> args;
    std::string out;
    const char* untouched;  // a file the run must not create or change
  };
  const Case cases[] = {
      {{"missing"}, PROCESSING + "Error opening input file 'missing'\n", "missing.cdt"},
      {{"sub"}, PROCESSING + "Error opening input file 'sub'\n", "sub.cdt"},
      {{"-o", "./data", "data"},
       PROCESSING +
           "Error - output file './data' is the input file 'data'; writing it would destroy it\n",
       "data"},
      {{"-o", "sub/", "data"}, PROCESSING + "Error opening output file 'sub/'\n", "data.cdt"},
  };
  for (const Case& c : cases) {
    const Bytes before =
        testing::exists(dir / c.untouched) ? testing::read_file(dir / c.untouched) : Bytes{};
    const auto result = testing::run_rempar(c.args, dir.path());
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.status, 2);
    if (std::string(c.untouched) == "data") {
      EXPECT_EQ(testing::read_file(dir / "data"), before);
    } else {
      EXPECT_FALSE(testing::exists(dir / c.untouched)) << c.untouched;
    }
  }
}

// A file below 2 GiB keeps the original format, whose checksum file must
// itself stay below 2 GiB: a tiny block size is refused before any output.
TEST(CreateChecksum, ChecksumFilesBeyondTheFormatAreRefusedBeforeAnyOutput) {
  TempDir dir;
  struct Case {
    std::int64_t size;
    std::int32_t block_size;
    std::string message;
  };
  const Case cases[] = {
      {600LL << 20, 1,
       "Error - with block size 1 the checksum file would have 2516582422 bytes, beyond the "
       "format's "
       "2147483647; use a larger '-b'\n"},
  };
  for (const Case& c : cases) {
    testing::write_file(dir / "big", Bytes{});
    ASSERT_EQ(::truncate((dir / "big").c_str(), c.size), 0);
    testing::write_file(dir / "big.cdt", testing::bytes_of("keep me"));
    const auto result =
        testing::run_rempar({"-b", std::to_string(c.block_size), "big"}, dir.path());
    EXPECT_EQ(result.out, PROCESSING + c.message);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(testing::read_file(dir / "big.cdt"), testing::bytes_of("keep me"));
  }
}

// Every failure once the files are open ends without "Completed" and
// removes the partial checksum file.
TEST(CreateChecksum, FailuresAfterOpeningAreReported) {
  const testing::FaultCase cases[] = {
      {io::Op::read, "data", {0, true}, "Error reading input file"},
      {io::Op::read, "data", {EISDIR, false}, "Error reading input file"},
      {io::Op::write, "data.cdt", {ENOSPC, false}, "Error writing output file"},
      {io::Op::sync, "data.cdt", {EIO, false}, "Error writing output file"},
      {io::Op::close, "data.cdt", {EIO, false}, "Error writing output file"},
  };
  for (const testing::FaultCase& c : cases) {
    TempDir dir;
    testing::write_file(dir / "data", testing::random_bytes(3 << 20, 9));
    std::ostringstream out;
    const Outcome outcome = [&] {
      const testing::ScopedFault fault(c.op, dir / c.file, c.fault);
      return run_create_checksum(dir / "data", dir / "data.cdt", 16384, out);
    }();
    EXPECT_EQ(outcome, Outcome::failed) << c.message;
    EXPECT_NE(out.str().find(c.message), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find("Completed"), std::string::npos) << out.str();
    EXPECT_FALSE(testing::exists(dir / "data.cdt")) << c.message;
  }
}

// A medium error marks the blocks unreadable instead of ending the run: a
// file none of whose reads succeed is one unreadable run, found with a few
// failed reads, and each block gets the checksum of zeros with its lowest
// bit inverted.
TEST(CreateChecksum, UnreadableBlocksAreMarkedForRepair) {
  TempDir dir;
  const std::size_t size = (3 << 20) + 100;
  testing::write_file(dir / "data", testing::random_bytes(size, 9));
  std::ostringstream out;
  int failed_reads = 0;
  const Outcome outcome = [&] {
    const testing::FaultHookGuard hook([&](io::Op op, const std::string& name) {
      if (!testing::reads_as(op, io::Op::read) || name != dir / "data") return io::Fault{};
      failed_reads += op == io::Op::read ? 1 : 0;  // a window that fails is read instead
      return io::Fault{EIO};
    });
    return run_create_checksum(dir / "data", dir / "data.cdt", 16384, out);
  }();
  EXPECT_EQ(outcome, Outcome::succeeded);
  const std::string said = out.str();
  EXPECT_TRUE(said.ends_with("\rUnreadable at 0 (" + std::to_string(size) +
                             " bytes), marked for repair\n\r" + std::string(msg::CREATING_SEAL) +
                             "Completed\n"))
      << said;
  // 193 blocks: the first read of 1 MiB, then blocks 0, 1, 3, 7, ..., 127.
  EXPECT_EQ(failed_reads, 9);
  const Bytes cdt = testing::read_file(dir / "data.cdt");
  const std::uint32_t full = block_crc(Bytes(16384, 0)) ^ 1u;
  const std::uint32_t last = block_crc(Bytes(100, 0)) ^ 1u;
  EXPECT_NE(full, block_crc(Bytes(16384, 0)));
  const std::size_t first = cdt.size() - 4 - 193 * 4;
  EXPECT_EQ(testing::le32_at(cdt, first), full);
  EXPECT_EQ(testing::le32_at(cdt, first + 192 * 4), last);
}

}  // namespace
}  // namespace rempar
