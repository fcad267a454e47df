// A repair proves itself on a failing medium: a range that accepts writes
// but keeps its old bytes is found by reading the repair back, through the
// page cache of a loop device as well as on a file; and a block that could
// not be read, when the checksum file was made or now, is repaired through
// a patch bound to its target.

#include <gtest/gtest.h>

#include "container/cdt.h"
#include "damaged_medium.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::DamagedMedium;
using testing::PATCHED;
using testing::PROCESSING;
using testing::TempDir;

constexpr std::size_t BLOCK = 4096;
constexpr std::size_t SIZE = 16 * BLOCK;

// A good copy in a folder; on the medium, a copy that lost blocks 2 and 5.
struct Disk {
  DamagedMedium medium;
  TempDir dir;
  Bytes good = testing::random_bytes(SIZE, 3);
  Bytes damaged = good;

  Disk() {
    for (const std::size_t at : {2 * BLOCK, 5 * BLOCK + 7}) damaged[at] ^= 0xFF;
    testing::write_file(dir / "good", good);
    if (medium.ready()) medium.create("disk.img", damaged);
  }
  testing::RunResult run(const std::vector<std::string>& args) {
    return testing::run_rempar(args, dir.path());
  }
  // Steps 1 and 2 for `target`: disk.cdt beside disk.cdp in the folder.
  void make_patch(const std::string& target) {
    ASSERT_EQ(run({"-b", std::to_string(BLOCK), "-o", "disk.cdt", target}).status, 0);
    ASSERT_EQ(run({"-p", "-i", "disk.cdt", "-o", "disk.cdp", "good"}).status, 0);
  }
};

TEST(ProvenRepair, ARangeThatKeepsItsOldBytesIsFoundByReadingBack) {
  const std::string lie = "Error - the target does not hold what was written at offset " +
                          std::to_string(5 * BLOCK) + "\n";
  for (const bool through_loop : {false, true}) {
    Disk disk;
    REMPAR_REQUIRE_MEDIUM(disk.medium);
    const std::string target =
        through_loop ? disk.medium.attach_loop("disk.img") : disk.medium / "disk.img";
    ASSERT_FALSE(target.empty()) << disk.medium.why_not();
    disk.make_patch(target);
    disk.medium.add_fault("disk.img", 5 * BLOCK, BLOCK, "lying");

    const auto lied = disk.run({"-a", "-i", "disk.cdp", target});
    EXPECT_EQ(lied.out, PROCESSING + lie) << through_loop << disk.medium.report();
    EXPECT_EQ(lied.status, 2);
    EXPECT_GE(disk.medium.counters("disk.img").lied_writes, 1u);
    Bytes held = disk.medium.content("disk.img");
    EXPECT_TRUE(std::equal(held.begin(), held.begin() + 5 * BLOCK, disk.good.begin()));
    EXPECT_FALSE(std::equal(held.begin(), held.end(), disk.good.begin()));

    // Once the medium keeps what it takes, the same patch finishes the repair.
    disk.medium.clear_faults();
    const auto again = disk.run({"-a", "-i", "disk.cdp", target});
    EXPECT_EQ(again.out, PROCESSING + PATCHED) << through_loop;
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(disk.medium.content("disk.img"), disk.good);
  }
}

TEST(ProvenRepair, UnreadableBlocksAreRepairedThroughABoundPatch) {
  Disk disk;
  REMPAR_REQUIRE_MEDIUM(disk.medium);
  const std::string target = disk.medium / "disk.img";
  // Step 1 could not read block 2 and marked it so; block 5 it read, and it
  // has failed since.
  ASSERT_EQ(disk.run({"-b", std::to_string(BLOCK), "-o", "disk.cdt", target}).status, 0);
  Bytes cdt = testing::read_file(disk.dir / "disk.cdt");
  testing::store_checksum(cdt, 2, unreadable_marker(BLOCK));
  testing::overwrite_file(disk.dir / "disk.cdt", cdt);
  ASSERT_EQ(disk.run({"-p", "-i", "disk.cdt", "-o", "disk.cdp", "good"}).status, 0);
  for (const std::size_t block : {2, 5}) {
    disk.medium.add_fault("disk.img", block * BLOCK, BLOCK, "unreadable heals");
  }
  disk.medium.reset_counters();

  const auto applied = disk.run({"-a", "-i", "disk.cdp", target});
  EXPECT_EQ(applied.out, PROCESSING + PATCHED) << disk.medium.report();
  EXPECT_EQ(applied.status, 0);
  EXPECT_EQ(disk.medium.content("disk.img"), disk.good);
  // Block 5 was tried before the write; block 2's mark spared it the read.
  EXPECT_EQ(disk.medium.counters("disk.img").failed_reads, 1u) << disk.medium.log();
}

}  // namespace
}  // namespace rempar
