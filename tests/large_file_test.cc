// Files of 2 GiB and more, end to end through the real binary, on sparse
// files: the checksum file and the patch file in the large-file version,
// field by field, and the repaired file compared with the good one. Then
// real block devices, loop devices over sparse images. Each cycle reads the
// file twice (checksum creation, patch creation): these tests carry the
// CTest label "huge".

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "checksum/block_crc.h"
#include "common/le.h"
#include "container/layout.h"
#include "large_files.h"
#include "ops/create_checksum.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::GIB;
using testing::Spot;
using testing::TempDir;

constexpr std::uint64_t BLOCK = 16384;
using testing::PROCESSING;

// What the checksum file records for the file `spots` describe.
struct Described {
  std::uint64_t size;
  std::vector<Spot> spots;

  std::uint64_t blocks() const { return (size + BLOCK - 1) / BLOCK; }
  std::size_t length(std::uint64_t block) const {
    return static_cast<std::size_t>(std::min(BLOCK, size - block * BLOCK));
  }
  Bytes block(std::uint64_t k) const {
    return testing::bytes_over_zeros(spots, k * BLOCK, length(k));
  }
  // The blocks that hold any spot; all others are zeros.
  std::vector<std::uint64_t> touched() const {
    std::vector<std::uint64_t> blocks;
    for (const Spot& s : spots) {
      for (std::uint64_t k = s.offset / BLOCK; k <= (s.offset + s.bytes.size() - 1) / BLOCK; ++k)
        blocks.push_back(k);
    }
    std::sort(blocks.begin(), blocks.end());
    blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
    return blocks;
  }
};

std::uint64_t le64(const Bytes& bytes, std::size_t at) { return testing::le64_at(bytes, at); }

void expect_sealed(const Bytes& container, const std::string& what) {
  ASSERT_GE(container.size(), 22u) << what;
  const std::size_t covered = container.size() - 4;
  EXPECT_EQ(testing::le32_at(container, covered), block_crc(std::span(container).first(covered)))
      << what << ": seal";
}

// Every field of a 3.0 checksum file: header, sizes, one checksum per block.
void expect_checksum_file(const Bytes& cdt, const Described& file) {
  const Bytes magic = testing::bytes_of("KaLWCRCC");
  ASSERT_EQ(Bytes(cdt.begin(), cdt.begin() + 8), magic);
  EXPECT_EQ(cdt[8], 0x03);
  EXPECT_EQ(cdt[9], 0x00);
  EXPECT_EQ(le64(cdt, 10), file.size);
  EXPECT_EQ(testing::le32_at(cdt, 18), BLOCK);
  ASSERT_EQ(cdt.size(), 26 + 4 * file.blocks());
  const std::uint32_t zeros = block_crc(Bytes(BLOCK, 0));
  std::map<std::uint64_t, std::uint32_t> special;
  for (const std::uint64_t k : file.touched()) special[k] = block_crc(file.block(k));
  const std::uint64_t last = file.blocks() - 1;
  if (!special.contains(last)) special[last] = block_crc(file.block(last));
  for (std::uint64_t k = 0; k < file.blocks(); ++k) {
    const auto it = special.find(k);
    const std::uint32_t expected = it != special.end() ? it->second : zeros;
    const std::uint32_t stored = testing::le32_at(cdt, 22 + 4 * k);
    if (stored != expected) {
      ADD_FAILURE() << "checksum of block " << k << " is " << stored << ", not " << expected;
      return;
    }
  }
  expect_sealed(cdt, "checksum file");
}

// Every field of a 3.0 patch file: header, size, exactly the blocks that
// differ with the good copy's bytes, the 8-byte end marker, the seal.
void expect_patch_file(const Bytes& cdp, const Described& good,
                       const std::vector<std::uint64_t>& differing) {
  ASSERT_EQ(Bytes(cdp.begin(), cdp.begin() + 8), testing::bytes_of("KaLWCRCP"));
  EXPECT_EQ(cdp[8], 0x03);
  EXPECT_EQ(cdp[9], 0x00);
  EXPECT_EQ(le64(cdp, 10), good.size);
  std::size_t at = 18;
  for (const std::uint64_t k : differing) {
    ASSERT_LE(at + 12, cdp.size());
    EXPECT_EQ(le64(cdp, at), k * BLOCK);
    const std::uint32_t length = testing::le32_at(cdp, at + 8);
    ASSERT_EQ(length, good.length(k)) << "block " << k;
    ASSERT_LE(at + 12 + length, cdp.size());
    EXPECT_TRUE(Bytes(cdp.begin() + static_cast<std::ptrdiff_t>(at + 12),
                      cdp.begin() + static_cast<std::ptrdiff_t>(at + 12 + length)) == good.block(k))
        << "bytes of block " << k;
    at += 12 + length;
  }
  ASSERT_EQ(cdp.size(), at + 12);
  EXPECT_EQ(le64(cdp, at), ~std::uint64_t{0});
  expect_sealed(cdp, "patch file");
}

std::vector<std::uint64_t> differing_blocks(const Described& good, const Described& damaged) {
  std::vector<std::uint64_t> candidates = good.touched();
  const std::vector<std::uint64_t> more = damaged.touched();
  candidates.insert(candidates.end(), more.begin(), more.end());
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  std::vector<std::uint64_t> differing;
  for (const std::uint64_t k : candidates) {
    if (good.block(k) != damaged.block(k)) differing.push_back(k);
  }
  return differing;
}

// Pages of a walked file still cached afterwards; a walk that kept them
// would leave the whole file there.
constexpr std::uint64_t CACHE_ALLOWANCE = 64 << 20;

struct Cycle {
  const char* what;
  std::uint64_t size;
  std::vector<Spot> good;
  std::vector<Spot> damaged;
};

Bytes text(const std::string& s) { return testing::bytes_of(s); }

std::vector<Cycle> cycles() {
  const std::uint64_t g31 = std::uint64_t{1} << 31;
  const std::uint64_t g32 = std::uint64_t{1} << 32;
  const std::uint64_t odd = 5 * GIB + 7;  // ends in a short block of 7 bytes
  return {
      {"3 GiB",
       3 * GIB,
       {{0, text("good start")}, {g31 - 3, text("across 2^31")}, {3 * GIB - 4, text("last")}},
       {{3, text("X")}, {g31 + 1, text("bad")}}},
      {"5 GiB and 7 bytes",
       odd,
       {{g31 - 5, text("across 2^31")},
        {g32 - 2, text("across 2^32")},
        {4 * GIB + 12345, text("only good")},
        {odd - 7, text("7 bytes")}},
       {{0, text("damaged first block")},
        {g31 - 5, text("across 2^31")},  // the same bytes: that block stays
        {g32 + 5, text("zz")},
        {odd - 2, text("?")}}},
  };
}

TEST(LargeFile, RepairCycleOnSparseFiles) {
  for (const Cycle& c : cycles()) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const Described good{c.size, c.good};
    const Described damaged{c.size, c.damaged};
    testing::make_sparse_file(dir / "good", c.size, c.good);
    testing::make_sparse_file(dir / "damaged", c.size, c.damaged);

    const auto made = testing::run_rempar({"damaged"}, dir.path());
    ASSERT_EQ(made.status, 0) << made.out;
    EXPECT_TRUE(made.out.ends_with(testing::SEAL_AND_DONE));
    EXPECT_LT(testing::cached_bytes(dir / "damaged"), CACHE_ALLOWANCE);
    expect_checksum_file(testing::read_file(dir / "damaged.cdt"), damaged);

    const auto patched = testing::run_rempar({"-p", "-i", "damaged.cdt", "good"}, dir.path());
    ASSERT_EQ(patched.status, 0) << patched.out;
    const std::vector<std::uint64_t> differing = differing_blocks(good, damaged);
    for (const std::uint64_t k : differing) {
      EXPECT_NE(patched.out.find("\rCorruption found at " + std::to_string(k * BLOCK) + "\n"),
                std::string::npos)
          << "block " << k;
    }
    EXPECT_TRUE(patched.out.ends_with("Completed, .CDP file generated\n")) << patched.out;
    EXPECT_LT(testing::cached_bytes(dir / "good"), CACHE_ALLOWANCE);
    expect_patch_file(testing::read_file(dir / "damaged.cdp"), good, differing);

    const auto applied = testing::run_rempar({"-a", "-i", "damaged.cdp", "damaged"}, dir.path());
    EXPECT_EQ(applied.out, PROCESSING + testing::PATCHED);
    std::uint64_t where = 0;
    EXPECT_TRUE(testing::same_content(dir / "good", dir / "damaged", c.size, &where))
        << "first difference at " << where;
    EXPECT_EQ(std::filesystem::file_size(dir / "damaged"), c.size);
  }
}

// The original version for every file below 2^31 bytes, byte for byte;
// the large-file version from 2^31 bytes on.
TEST(LargeFile, TheVersionFollowsTheSize) {
  struct Case {
    std::uint64_t size;
    std::uint8_t version;
    std::size_t size_width;
  };
  const Case cases[] = {
      {(std::uint64_t{1} << 31) - 1, 0x02, 4},
      {std::uint64_t{1} << 31, 0x03, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    TempDir dir;
    const std::vector<Spot> spots = {{c.size - 3, text("end")}};
    testing::make_sparse_file(dir / "data", c.size, spots);
    const auto made = testing::run_rempar({"data"}, dir.path());
    ASSERT_EQ(made.status, 0) << made.out;
    const Bytes cdt = testing::read_file(dir / "data.cdt");
    const Described file{c.size, spots};
    EXPECT_EQ(cdt[8], c.version);
    EXPECT_EQ(cdt[9], 0x00);
    Bytes size_field(8, 0);
    testing::set_le(size_field, 0, c.size, c.size_width);
    EXPECT_TRUE(std::equal(size_field.begin(),
                           size_field.begin() + static_cast<std::ptrdiff_t>(c.size_width),
                           cdt.begin() + 10));
    EXPECT_EQ(testing::le32_at(cdt, 10 + c.size_width), BLOCK);
    ASSERT_EQ(cdt.size(), 18 + c.size_width + 4 * file.blocks());
    const std::uint64_t last = file.blocks() - 1;
    EXPECT_EQ(testing::le32_at(cdt, 14 + c.size_width + 4 * last), block_crc(file.block(last)));
    expect_sealed(cdt, "checksum file");
  }
}

// The damaged copy is a disk: a loop device over a sparse image. Its size
// comes from the device, not from stat's 0; it is checksummed, compared
// against an image file and patched in place.
TEST(BlockDevice, RepairCycleThroughALoopDevice) {
  struct Case {
    const char* what;
    std::uint64_t size;
    std::vector<Spot> good;
    std::vector<Spot> damaged;
  };
  const std::uint64_t g31 = std::uint64_t{1} << 31;
  const Case cases[] = {
      {"64 MiB",
       64 << 20,
       {{20000000, text("good")}},
       {{5, text("bad")}, {(64 << 20) - 1, text("!")}}},
      {"3 GiB",
       3 * GIB,
       {{g31 - 2, text("across 2^31")}},
       {{0, text("bad")}, {3 * GIB - 9, text("end")}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    testing::make_sparse_file(dir / "disk.img", c.size, c.damaged);
    testing::make_sparse_file(dir / "good.img", c.size, c.good);
    const testing::LoopDevice disk(dir / "disk.img");
    if (!disk.attached()) GTEST_SKIP() << disk.why_not();
    const Described good{c.size, c.good};
    const Described damaged{c.size, c.damaged};

    const auto made = testing::run_rempar({"-o", "disk.cdt", disk.path()}, dir.path());
    ASSERT_EQ(made.status, 0) << made.out;
    const Bytes cdt = testing::read_file(dir / "disk.cdt");
    const bool large = c.size >= g31;
    EXPECT_EQ(cdt[8], large ? 0x03 : 0x02);
    const std::size_t width = large ? 8 : 4;
    Bytes size_field(8, 0);
    testing::set_le(size_field, 0, c.size, width);
    EXPECT_TRUE(std::equal(size_field.begin(),
                           size_field.begin() + static_cast<std::ptrdiff_t>(width),
                           cdt.begin() + 10))
        << "the device's size, not stat's 0";
    if (large) expect_checksum_file(cdt, damaged);

    const auto patched =
        testing::run_rempar({"-p", "-i", "disk.cdt", "-o", "disk.cdp", "good.img"}, dir.path());
    ASSERT_EQ(patched.status, 0) << patched.out;
    const std::vector<std::uint64_t> differing = differing_blocks(good, damaged);
    if (large) expect_patch_file(testing::read_file(dir / "disk.cdp"), good, differing);

    const auto applied = testing::run_rempar({"-a", "-i", "disk.cdp", disk.path()}, dir.path());
    EXPECT_EQ(applied.out, PROCESSING + testing::PATCHED);
    for (const std::uint64_t k : differing) {
      EXPECT_TRUE(testing::read_range(disk.path(), k * BLOCK, good.length(k)) == good.block(k))
          << "block " << k << " as the device reads it";
    }
    std::uint64_t where = 0;
    EXPECT_TRUE(testing::same_content(dir / "good.img", dir / "disk.img", c.size, &where))
        << "first difference at " << where;
    EXPECT_EQ(std::filesystem::file_size(dir / "disk.img"), c.size);
    if (large) continue;  // two more passes: the small device shows it
    // The repaired device as the verified file: nothing differs any more.
    ASSERT_EQ(testing::run_rempar({"good.img"}, dir.path()).status, 0);
    const auto again = testing::run_rempar(
        {"-p", "-i", "good.img.cdt", "-o", "again.cdp", disk.path()}, dir.path());
    EXPECT_TRUE(again.out.ends_with(testing::NO_CORRUPTION)) << again.out;
    EXPECT_FALSE(testing::exists(dir / "again.cdp"));
  }
}

// A device is never a container: neither written as one nor read as one.
// Where the system cannot tell its size, it is refused as it always was.
TEST(BlockDevice, NeverAContainerAndNeverOfUnknownSize) {
  TempDir dir;
  const std::vector<Spot> spots = {{1000, text("disk contents")}};
  testing::make_sparse_file(dir / "disk.img", 64 << 20, spots);
  testing::make_sparse_file(dir / "good.img", 64 << 20, {});
  testing::write_file(dir / "good.cdt", testing::checksum_file_of(Bytes(100, 1), 16));
  const testing::LoopDevice disk(dir / "disk.img");
  if (!disk.attached()) GTEST_SKIP() << disk.why_not();
  const std::string dev = disk.path();
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string refused =
      "' is a block device; a checksum or patch file is never written over a device\n";
  const Case cases[] = {
      {{"-o", dev, "good.img"}, "Error - output file '" + dev + refused},
      {{"-p", "-i", "good.cdt", "-o", dev, "good.img"}, "Error - output file '" + dev + refused},
      {{"-p", "-i", dev, "-o", "x.cdp", "good.img"}, "Error opening .CDT file '" + dev + "'\n"},
      {{"-a", "-i", dev, "good.img"}, "Error opening .CDP file '" + dev + "'\n"},
  };
  for (const Case& c : cases) {
    const auto result = testing::run_rempar(c.args, dir.path());
    EXPECT_EQ(result.out, PROCESSING + c.message);
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(testing::read_range(dev, 0, 4096) == testing::bytes_over_zeros(spots, 0, 4096));
    EXPECT_FALSE(testing::exists(dir / "x.cdp"));
  }
  std::ostringstream out;
  {
    const testing::ScopedFault no_size(io::Op::device_size, dev, io::Fault{ENOTTY});
    EXPECT_EQ(run_create_checksum(dev, dir / "disk.cdt", 16384, out), Outcome::failed);
  }
  EXPECT_EQ(out.str(), PROCESSING + "Error opening input file '" + dev + "'\n");
  EXPECT_FALSE(testing::exists(dir / "disk.cdt"));
}

}  // namespace
}  // namespace rempar
