#include "ops/create_patch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "checksum/block_crc.h"
#include "cli/names.h"
#include "common/le.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::TempDir;

using testing::GENERATED;
using testing::NO_CORRUPTION;
using testing::PROCESSING;

using testing::reseal;

// `good` as the verified file "data", and the checksum file of `damaged`
// with `block_size` as "data.cdt", in `dir`.
void lay_out(const TempDir& dir, const Bytes& good, const Bytes& damaged, int block_size) {
  testing::write_file(dir / "data", good);
  testing::write_file(dir / "damaged", damaged);
  const auto made = testing::run_rempar(
      {"-b", std::to_string(block_size), "-o", "data.cdt", "damaged"}, dir.path());
  ASSERT_EQ(made.status, 0) << made.out;
}

TEST(CreatePatch, WorkedExample) {
  TempDir dir;
  const Bytes good = testing::bytes_of("0123456789");
  Bytes damaged = good;
  damaged[5] = 'X';
  lay_out(dir, good, damaged, 4);
  const auto result = testing::run_rempar({"-p", "data"}, dir.path());
  EXPECT_EQ(result.out, PROCESSING + "\rCorruption found at 4\n\r40%" + GENERATED);
  EXPECT_EQ(result.status, 0);
  Bytes expected = testing::bytes_of("KaLWCRCP");
  expected.insert(expected.end(), {0x02, 0x00, 0x0A, 0,   0,   0,   0x04, 0,    0,    0,    0x04,
                                   0,    0,    0,    '4', '5', '6', '7',  0xFF, 0xFF, 0xFF, 0xFF});
  testing::append_le32(expected, block_crc(expected));
  EXPECT_EQ(testing::read_file(dir / "data.cdp"), expected);
}

TEST(CreatePatch, SizesAndOutputFollowTheDifferingBlocks) {
  struct Case {
    const char* what;
    std::size_t size;
    std::vector<std::size_t> damage;  // offsets of changed bytes
    std::string out;
    std::size_t patch_size;  // 0: no patch file left
  };
  const Case cases[] = {
      {"last two of three blocks",
       40000,
       {20000, 39999},
       PROCESSING + "\rCorruption found at 16384\n\r40%\rCorruption found at 32768\n" + GENERATED,
       23654},
      {"identical, two full blocks", 32768, {}, PROCESSING + "\r50%" + NO_CORRUPTION, 0},
      {"identical, empty", 0, {}, PROCESSING + NO_CORRUPTION, 0},
      {"smaller than a block",
       100,
       {0},
       PROCESSING + "\rCorruption found at 0\n" + GENERATED,
       22 + 8 + 100},
      {"first full block",
       32768,
       {0},
       PROCESSING + "\rCorruption found at 0\n\r50%" + GENERATED,
       22 + 8 + 16384},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const Bytes good = testing::random_bytes(c.size, 17);
    Bytes damaged = good;
    for (std::size_t at : c.damage) damaged[at] ^= 0x55;
    lay_out(dir, good, damaged, 16384);
    testing::write_file(dir / "data.cdp", testing::bytes_of("an older patch"));
    const auto result = testing::run_rempar({"-p", "data"}, dir.path());
    EXPECT_EQ(result.out, c.out) << c.what;
    EXPECT_EQ(result.status, 0) << c.what;
    if (c.patch_size == 0) {
      EXPECT_FALSE(testing::exists(dir / "data.cdp")) << c.what;
    } else {
      EXPECT_EQ(testing::read_file(dir / "data.cdp").size(), c.patch_size) << c.what;
    }
  }
}

TEST(CreatePatch, DerivePatchName) {
  const std::pair<std::string, std::string> cases[] = {
      {"dir/Data.CDT", "dir/Data.cdp"},
      {"a.cdt.old", "a.cdt.old.cdp"},
      {"abc", "abc.cdp"},
      {".cdt", ".cdp"},
      {"", ".cdp"},
      {"x.CdT", "x.cdp"},
      {"cdt", "cdt.cdp"},
      {"a.cdtx", "a.cdtx.cdp"},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(derive_patch_name(name), expected) << name;
}

TEST(CreatePatch, NamesReadAndWritten) {
  struct Case {
    std::vector<std::string> args;
    std::string reads;
    std::string writes;
  };
  const Case cases[] = {
      {{"-p", "data"}, "data.cdt", "data.cdp"},
      {{"-b", "100", "-p", "data"}, "data.cdt", "data.cdp"},
      {{"-p", "-i", "dir/Data.CDT", "data"}, "dir/Data.CDT", "dir/Data.cdp"},
      {{"-p", "-i", "a.cdt.old", "data"}, "a.cdt.old", "a.cdt.old.cdp"},
      {{"-p", "-i", "abc", "data"}, "abc", "abc.cdp"},
      {{"-p", "-i", ".cdt", "data"}, ".cdt", ".cdp"},
      {{"-p", "-o", "out", "-i", "in", "data"}, "in", "out"},
      {{"-p", "-o", "out", "data"}, "data.cdt", "out"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "dir");
    Bytes damaged = testing::random_bytes(1000, 3);
    const Bytes good = damaged;
    damaged[0] ^= 1;
    lay_out(dir, good, damaged, 16384);
    std::filesystem::rename(dir / "data.cdt", dir / c.reads);
    const auto result = testing::run_rempar(c.args, dir.path());
    EXPECT_EQ(result.status, 0) << c.reads << result.out;
    EXPECT_TRUE(testing::exists(dir / c.writes)) << c.writes;
  }
  TempDir dir;
  testing::write_file(dir / "data", Bytes(10, 0));
  const auto empty = testing::run_rempar({"-p", "-i", "", "data"}, dir.path());
  EXPECT_EQ(empty.out, PROCESSING + "Error opening .CDT file ''\n");
  EXPECT_EQ(empty.status, 2);
  EXPECT_FALSE(testing::exists(dir / ".cdp"));
}

// Every rejection prints one message, exits 2 and leaves no patch file, even
// where an older file stood at its name.
TEST(CreatePatch, RejectedChecksumFiles) {
  const Bytes good = testing::random_bytes(1000, 8);
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;  // applied to a valid checksum file of `good`
    std::string message;
  };
  const Case cases[] = {
      {"21 bytes", [](Bytes& c) { c.resize(21); }, "Error - .CDT invalid\n"},
      {"a patch file",
       [](Bytes& c) {
         c[7] = 'P';
         reseal(c);
       },
       "Error - .CDT invalid\n"},
      {"a changed checksum", [](Bytes& c) { c[18] ^= 1; },
       "Error - bad CRC for .CDT file (probably damaged?)\n"},
      {"records 999 bytes",
       [](Bytes& c) {
         c[10] = 0xE7;
         c[11] = 0x03;
         reseal(c);
       },
       "Error - verified file size is 1000 instead of 999\n"},
      {"block size 0",
       [](Bytes& c) {
         c[14] = c[15] = 0;
         reseal(c);
       },
       "Error - .CDT records a block size of 0\n"},
      {"one checksum missing",
       [](Bytes& c) {
         c[14] = 0xF4;
         c[15] = 0x01;
         reseal(c);
       },
       "Error - .CDT has 26 bytes where its file size and block size need 30\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    lay_out(dir, good, good, 16384);
    Bytes cdt = testing::read_file(dir / "data.cdt");
    c.damage(cdt);
    testing::write_file(dir / "data.cdt", cdt);
    testing::write_file(dir / "data.cdp", testing::bytes_of("an older patch"));
    const auto result = testing::run_rempar({"-p", "data"}, dir.path());
    EXPECT_EQ(result.out, PROCESSING + c.message) << c.what;
    EXPECT_EQ(result.status, 2) << c.what;
    EXPECT_FALSE(testing::exists(dir / "data.cdp")) << c.what;
    EXPECT_EQ(testing::read_file(dir / "data"), good) << c.what;
  }
}

// Refusals before the patch file is opened leave whatever stands at its name.
// Checksums beyond the last block's are never read: the patch is the one the
// exact checksum file gives. (Too few checksums are refused above.)
TEST(CreatePatch, ExtraChecksumsAreNotRead) {
  const Bytes good = testing::random_bytes(1000, 21);
  const Bytes damaged = testing::damaged_copy(good, 16, 20);
  struct Case {
    const char* what;
    std::size_t extra;  // bytes put before the seal
  };
  const Case cases[] = {
      {"one checksum too many", 4}, {"a thousand checksums too many", 4000}, {"a stray byte", 1}};
  TempDir exact;
  lay_out(exact, good, damaged, 16);
  ASSERT_EQ(testing::run_rempar({"-p", "data"}, exact.path()).status, 0);
  const Bytes expected = testing::read_file(exact / "data.cdp");
  for (const Case& c : cases) {
    TempDir dir;
    lay_out(dir, good, damaged, 16);
    Bytes cdt = testing::read_file(dir / "data.cdt");
    cdt.insert(cdt.end() - 4, c.extra, 0x5A);
    reseal(cdt);
    testing::write_file(dir / "data.cdt", cdt);
    const auto result = testing::run_rempar({"-p", "data"}, dir.path());
    EXPECT_EQ(result.status, 0) << c.what << ": " << result.out;
    EXPECT_TRUE(result.out.ends_with(GENERATED)) << c.what << ": " << result.out;
    EXPECT_EQ(testing::read_file(dir / "data.cdp"), expected) << c.what;
  }
}

TEST(CreatePatch, RefusalsBeforeOpeningTouchNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"-p", "-i", "missing.cdt", "data"}, "Error opening .CDT file 'missing.cdt'\n"},
      {{"-p", "-i", "data.cdt", "missing"}, "Error opening verified file 'missing'\n"},
      {{"-p", "-o", "./data.cdt", "data"},
       "Error - output file './data.cdt' is the .CDT file 'data.cdt'; writing it would destroy "
       "it\n"},
      {{"-p", "-o", "link", "data"},
       "Error - output file 'link' is the verified file 'data'; writing it would destroy it\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const Bytes good = testing::random_bytes(5000, 2);
    lay_out(dir, good, Bytes(5000, 0), 16384);
    ASSERT_EQ(::link((dir / "data").c_str(), (dir / "link").c_str()), 0);
    testing::write_file(dir / "data.cdp", testing::bytes_of("keep"));
    const Bytes cdt = testing::read_file(dir / "data.cdt");
    const auto result = testing::run_rempar(c.args, dir.path());
    EXPECT_EQ(result.out, PROCESSING + c.message);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(testing::read_file(dir / "data.cdp"), testing::bytes_of("keep"));
    EXPECT_EQ(testing::read_file(dir / "data.cdt"), cdt);
    EXPECT_EQ(testing::read_file(dir / "data"), good);
  }
  // A file of 2 GiB against a checksum file in the original format, which
  // cannot describe it: the sizes differ, whatever the 32-bit field holds.
  TempDir dir;
  testing::write_file(dir / "big", Bytes{});
  ASSERT_EQ(::truncate((dir / "big").c_str(), 1LL << 31), 0);
  testing::write_file(dir / "big.cdt", testing::checksum_file_of({}, 16384));
  const auto result = testing::run_rempar({"-p", "big"}, dir.path());
  EXPECT_EQ(result.out, PROCESSING + "Error - verified file size is 2147483648 instead of 0\n");
  EXPECT_FALSE(testing::exists(dir / "big.cdp"));
}

TEST(CreatePatch, FailuresAfterOpeningRemoveThePatch) {
  const testing::FaultCase cases[] = {
      {io::Op::read,
       "data",
       {0, true},
       "Error reading verified file 'DIR/data': it ended before its size"},
      {io::Op::read, "data", {EIO, false}, "Error reading verified file"},
      {io::Op::read, "data.cdt", {EIO, false}, "Error reading .CDT file"},
      {io::Op::write, "data.cdp", {ENOSPC, false}, "Error writing output file"},
      {io::Op::sync, "data.cdp", {EIO, false}, "Error writing output file"},
      {io::Op::close, "data.cdp", {EIO, false}, "Error writing output file"},
  };
  for (const testing::FaultCase& c : cases) {
    TempDir dir;
    const Bytes good = testing::random_bytes(3 << 20, 4);
    Bytes damaged = good;
    damaged[(2 << 20) + 5] ^= 1;
    lay_out(dir, good, damaged, 16384);
    std::ostringstream out;
    const Outcome outcome = [&] {
      const testing::ScopedFault fault(c.op, dir / c.file, c.fault);
      return run_create_patch(dir / "data.cdt", dir / "data", dir / "data.cdp", out);
    }();
    std::string message = c.message;
    if (const auto at = message.find("DIR"); at != std::string::npos)
      message.replace(at, 3, dir.path().string());
    EXPECT_EQ(outcome, Outcome::failed) << c.message;
    EXPECT_NE(out.str().find(message), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find("Completed"), std::string::npos) << out.str();
    EXPECT_FALSE(testing::exists(dir / "data.cdp")) << c.message;
  }
}

// Blocks larger than one read are compared piecewise and copied again from
// the verified file when they differ.
TEST(CreatePatch, BlocksLargerThanOneRead) {
  TempDir dir;
  const Bytes good = testing::random_bytes((5 << 20) + 3, 6);
  Bytes damaged = good;
  damaged[(3 << 20)] ^= 1;
  lay_out(dir, good, damaged, 2 << 20);
  const auto result = testing::run_rempar({"-p", "data"}, dir.path());
  EXPECT_EQ(result.out, PROCESSING + "\rCorruption found at 2097152\n\r39%" + GENERATED);
  const Bytes patch = testing::read_file(dir / "data.cdp");
  ASSERT_EQ(patch.size(), 22u + 8 + (2 << 20));
  EXPECT_EQ(testing::le32_at(patch, 14), 2u << 20);
  EXPECT_TRUE(std::equal(patch.begin() + 22, patch.end() - 8, good.begin() + (2 << 20)));
}

}  // namespace
}  // namespace rempar
