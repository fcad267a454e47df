// The read-error policy of the block walk on its own: how far the reader
// skips after failures, and what a walk over a file with failing reads
// costs in failed reads and reports.

#include "ops/tolerant_read.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <sstream>

#include "container/cdt.h"
#include "ops/block_walk.h"
#include "test_support.h"

namespace rempar {
namespace {

// Walks `blocks` blocks of which [dead_from, dead_to) cannot be read, trying
// only those the skip-ahead does not pass over; counts the failed tries and
// the blocks marked unreadable.
struct Walked {
  int failed_tries = 0;
  std::uint64_t marked = 0;
  bool marks_every_dead_block = true;
};

Walked walk(std::uint64_t blocks, std::uint64_t dead_from, std::uint64_t dead_to) {
  SkipAhead skip;
  Walked w;
  for (std::uint64_t b = 0; b < blocks; ++b) {
    const bool dead = b >= dead_from && b < dead_to;
    bool marked = skip.skips(b);
    if (!marked && dead) {
      ++w.failed_tries;
      skip.failed(b);
      marked = true;
    } else if (!marked) {
      skip.succeeded();
    }
    w.marked += marked;
    if (dead && !marked) w.marks_every_dead_block = false;
  }
  return w;
}

TEST(SkipAhead, ADeadRegionCostsLogarithmicallyManyFailedReads) {
  const struct {
    std::uint64_t from, to;
    int failed_tries;          // 1 + floor(log2(length))
    std::uint64_t max_marked;  // under twice the region
  } cases[] = {
      {10, 11, 1, 1},
      {10, 12, 2, 3},
      {10, 13, 2, 3},
      {10, 14, 3, 7},
      {100, 4196, 13, 8191},
      {0, 65536, 17, 131071},
      {5, 1000005, 20, 2000000},
  };
  for (const auto& c : cases) {
    const Walked w = walk(c.to + 200000, c.from, c.to);
    EXPECT_EQ(w.failed_tries, c.failed_tries) << c.from << ".." << c.to;
    EXPECT_TRUE(w.marks_every_dead_block) << c.from << ".." << c.to;
    EXPECT_GE(w.marked, c.to - c.from);
    EXPECT_LE(w.marked, c.max_marked) << c.from << ".." << c.to;
  }
}

TEST(SkipAhead, AReadableBlockStartsTheStepsOver) {
  SkipAhead skip;
  EXPECT_EQ(skip.failed(7), 8u);
  EXPECT_EQ(skip.failed(8), 10u);
  EXPECT_TRUE(skip.skips(9));
  skip.succeeded();
  EXPECT_EQ(skip.failed(20), 21u);
  EXPECT_FALSE(skip.skips(21));
}

TEST(UnreadableBlockCrc, IsTheChecksumOfZerosWithItsLowestBitInverted) {
  for (const std::uint64_t length : {1u, 512u, 16384u, (1u << 20) + 3}) {
    const testing::Bytes zeros(length, 0);
    EXPECT_EQ(unreadable_marker(length), block_crc(zeros) ^ 1u) << length;
  }
}

TEST(UnreadableRuns, JoinBlocksBetweenReadableOnes) {
  UnreadableRuns runs;
  EXPECT_FALSE(runs.see(0, 10, false));
  EXPECT_FALSE(runs.see(10, 10, true));
  EXPECT_FALSE(runs.see(20, 10, true));
  EXPECT_EQ(runs.see(30, 10, false), "Unreadable at 10 (20 bytes), marked for repair\n");
  EXPECT_FALSE(runs.see(40, 5, true));
  EXPECT_EQ(runs.finish(), "Unreadable at 40 (5 bytes), marked for repair\n");
  EXPECT_FALSE(runs.finish());
}

// Through the fault hook: reads fail by their number, as a disk's would by
// their place. Each row: which reads of the walk fail, what the walk reports.
TEST(BlockReader, FailedReadsAreTriedBlockByBlock) {
  const struct {
    const char* what;
    ReadErrors errors;
    std::set<int> failing;  // numbers of the reads that fail (0: the first)
    WalkStatus status;
    std::vector<std::uint64_t> unreadable;  // blocks
    std::uint64_t failed_at = 0;
  } cases[] = {
      {"a transient failure", ReadErrors::mark_unreadable, {0}, WalkStatus::completed, {}},
      {"block 1 fails", ReadErrors::mark_unreadable, {0, 2}, WalkStatus::completed, {1}},
      // Blocks 1 and 2 fail, block 3 is passed over, block 4 reads.
      {"a dead stretch", ReadErrors::mark_unreadable, {0, 2, 3}, WalkStatus::completed, {1, 2, 3}},
      {"the good copy stops at the block",
       ReadErrors::stop,
       {0, 2},
       WalkStatus::read_failed,
       {},
       16384},
      {"... or at the read", ReadErrors::stop, {0}, WalkStatus::read_failed, {}, 0},
  };
  testing::TempDir dir;
  testing::write_file(dir / "data", testing::random_bytes(8 * 16384, 3));
  // Where the walk maps the file, a window that fails is read instead, by
  // the same reads.
  for (const WalkMethod method : {WalkMethod::read, WalkMethod::automatic}) {
    const testing::ScopedWalkMethod walks(method);
    for (const auto& c : cases) {
      auto file = io::File::open(dir / "data", io::File::Mode::read);
      ASSERT_TRUE(file);
      const BlockGeometry g{8 * 16384, 16384};
      int reads = 0;
      std::vector<std::uint64_t> unreadable;
      std::ostringstream out;
      ProgressLine line(out);
      std::uint64_t failed_at = 99;
      const WalkStatus status = [&] {
        const testing::FaultHookGuard hook([&](io::Op op, const std::string&) {
          if (op == io::Op::map) return io::Fault{EIO};
          if (op != io::Op::read) return io::Fault{};
          return io::Fault{c.failing.count(reads++) != 0 ? EIO : 0};
        });
        return walk_blocks(
            *file, g, line,
            [&](const Block& block) {
              if (block.unreadable) unreadable.push_back(block.number);
              EXPECT_EQ(block.crc,
                        block.unreadable ? unreadable_marker(16384) : block_crc(block.data));
              return true;
            },
            c.errors, &failed_at);
      }();
      EXPECT_EQ(status, c.status) << c.what;
      EXPECT_EQ(unreadable, c.unreadable) << c.what;
      if (status == WalkStatus::read_failed) {
        EXPECT_EQ(failed_at, c.failed_at) << c.what;
      }
    }
  }
}

}  // namespace
}  // namespace rempar
