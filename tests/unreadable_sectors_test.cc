// A copy on a disk with bad sectors, repaired from a good copy: the damaged
// medium serves the copy as a file in its mount and as a loop device over
// that file, and every case runs on both.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/file_window.h"
#include "damaged_medium.h"
#include "ops/block_walk.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::DamagedMedium;

constexpr std::uint64_t KIB = 1024;
constexpr std::uint64_t MIB = 1024 * KIB;
constexpr std::uint64_t BLOCK = 16 * KIB;

struct Fault {
  std::uint64_t offset, length;
  const char* flags;
};

// The damaged copy "disk.img" on the medium, with a few changed blocks, and
// the good copy beside the test in a plain folder.
class Copy {
 public:
  Copy(std::uint64_t size, bool device) : good_(testing::random_bytes(size, 41)) {
    // The medium caches in small folios, where the tool would read rather
    // than map after the first window: these cases take the mapped path
    // wherever it can be taken, and fall back only where a window fails.
    ::setenv("REMPAR_WALK", "mapped", 1);  // NOLINT(concurrency-mt-unsafe)
    if (!medium.ready()) return;
    medium.create("disk.img", testing::damaged_copy(good_, BLOCK, 50));
    testing::write_file(dir / "good.img", good_);
    path_ = device ? medium.attach_loop("disk.img") : medium / "disk.img";
    medium.reset_counters();
  }
  bool ready() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  const Bytes& good() const { return good_; }
  void add(const Fault& f) { medium.add_fault("disk.img", f.offset, f.length, f.flags); }

  testing::RunResult checksum() { return run({"-o", dir / "disk.cdt", path_}); }
  testing::RunResult patch() {
    return run({"-p", "-i", dir / "disk.cdt", "-o", dir / "disk.cdp", dir / "good.img"});
  }
  testing::RunResult apply() { return run({"-a", "-i", dir / "disk.cdp", path_}); }

  DamagedMedium medium;
  testing::TempDir dir;

 private:
  static testing::RunResult run(const std::vector<std::string>& args) {
    return testing::run_rempar(args);
  }
  Bytes good_;
  std::string path_;
};

#define REQUIRE_COPY(copy)              \
  REMPAR_REQUIRE_MEDIUM((copy).medium); \
  if (!(copy).ready()) GTEST_SKIP() << (copy).medium.why_not()

const char* way(bool device) { return device ? "loop device" : "file"; }

std::string unreadable(std::uint64_t offset, std::uint64_t bytes) {
  return "Unreadable at " + std::to_string(offset) + " (" + std::to_string(bytes) +
         " bytes), marked for repair\n";
}

// Each case: checksum (the bad blocks reported), patch from the good copy,
// apply; the medium then holds the good copy, and a second checksum and
// patch find nothing to repair.
TEST(UnreadableSectors, TheFullCycleRepairsThem) {
  const struct {
    const char* what;
    std::uint64_t size;
    std::vector<Fault> faults;
    std::vector<std::string> reported;
  } cases[] = {
      {"one bad sector",
       4 * MIB,
       {{2 * MIB + 512, 512, "unreadable heals"}},
       {unreadable(2 * MIB, BLOCK)}},
      // Two failed blocks: the next one is passed over, and marked.
      {"a bad range across two blocks",
       4 * MIB,
       {{2 * MIB + BLOCK - 512, 1024, "unreadable heals"}},
       {unreadable(2 * MIB, 3 * BLOCK)}},
      // A page long, so that the device writes it without reading it first.
      {"an unreadable short last block",
       4 * MIB + 4096,
       {{4 * MIB + 1024, 512, "unreadable heals"}},
       {unreadable(4 * MIB, 4096)}},
      {"two bad spots",
       4 * MIB,
       {{512, 512, "unreadable heals"}, {3 * MIB, 4096, "unreadable heals"}},
       {unreadable(0, BLOCK), unreadable(3 * MIB, BLOCK)}},
  };
  for (const auto& c : cases) {
    for (const bool device : {false, true}) {
      const std::string what = std::string(c.what) + " on a " + way(device);
      Copy copy(c.size, device);
      REQUIRE_COPY(copy);
      for (const Fault& f : c.faults) copy.add(f);
      const auto checksum = copy.checksum();
      EXPECT_EQ(checksum.status, 0) << what << ": " << checksum.out;
      EXPECT_TRUE(checksum.out.ends_with("Completed\n")) << what << ": " << checksum.out;
      for (const std::string& line : c.reported) {
        EXPECT_NE(checksum.out.find("\r" + line), std::string::npos)
            << what << ": " << checksum.out;
      }
      const auto patch = copy.patch();
      EXPECT_EQ(patch.status, 0) << what << ": " << patch.out;
      const auto apply = copy.apply();
      EXPECT_EQ(apply.status, 0) << what << ": " << apply.out;
      EXPECT_TRUE(apply.out.ends_with("Completed, file patched\n")) << what << ": " << apply.out;
      EXPECT_TRUE(copy.medium.content("disk.img") == copy.good()) << what;
      EXPECT_EQ(copy.checksum().status, 0) << what;
      const auto again = copy.patch();
      EXPECT_TRUE(again.out.ends_with("Completed, no corruption detected\n"))
          << what << ": " << again.out << copy.medium.report();
    }
  }
}

// A dead region of N blocks, failing every read slowly, costs O(log N)
// failed reads, not one a block: 64 MiB (4096 blocks) about 12 doubling
// steps. On a file each failed read() is one failed request. Through a loop
// device the first failed read goes through the device's cache, where the
// kernel may try every page of it (256 for the walk's 1 MiB read, or a few,
// as its read-ahead happens to stand); the careful reads after it cost a
// few requests each. Block by block the region would cost 4096 or more.
TEST(UnreadableSectors, ADeadRegionCostsFewFailedReads) {
  const auto failed_reads = [](bool device, std::uint64_t dead, std::string& out) {
    Copy copy(12 * MIB + dead, device);
    if (!copy.ready()) return std::uint64_t{0};
    copy.add({8 * MIB, dead, "unreadable delay=5"});
    const auto result = copy.checksum();
    out = result.out;
    EXPECT_EQ(result.status, 0) << way(device) << ": " << result.out;
    // The run starts at the region; it may end beyond it, never before.
    const std::string start = "\rUnreadable at " + std::to_string(8 * MIB) + " (";
    const auto at = result.out.find(start);
    EXPECT_NE(at, std::string::npos) << result.out;
    if (at != std::string::npos) {
      EXPECT_GE(std::stoull(result.out.substr(at + start.size())), dead);
    }
    return copy.medium.counters("disk.img").failed_reads;
  };
  for (const bool device : {false, true}) {
    Copy probe(4096, device);
    REQUIRE_COPY(probe);
    std::string out;
    const std::uint64_t failed = failed_reads(device, 64 * MIB, out);
    std::cout << "[ counted  ] " << way(device) << ": 64 MiB dead: " << failed << " failed reads\n";
    EXPECT_GE(failed, 12u) << way(device);
    // On the file, the window that first meets the region costs a few more:
    // the kernel's read-ahead for it, then its pages one by one.
    EXPECT_LE(failed, device ? 3 * (12 + 3) + 256 : 12 + 8) << way(device) << ": " << out;
  }
}

// The good copy must read whole: no patch carries a byte not read from it.
TEST(UnreadableSectors, ABadSectorInTheGoodCopyEndsPatchCreation) {
  for (const bool device : {false, true}) {
    DamagedMedium medium;
    REMPAR_REQUIRE_MEDIUM(medium);
    testing::TempDir dir;
    const Bytes good = testing::random_bytes(4 * MIB, 42);
    medium.create("good.img", good);
    testing::write_file(dir / "disk.cdt",
                        testing::checksum_file_of(testing::damaged_copy(good, BLOCK, 7), BLOCK));
    testing::write_file(dir / "disk.cdp", testing::bytes_of("an older patch"));
    const std::string path = device ? medium.attach_loop("good.img") : medium / "good.img";
    ASSERT_FALSE(path.empty()) << medium.why_not();
    medium.add_fault("good.img", 2 * MIB + 512, 512, "unreadable");
    const auto result =
        testing::run_rempar({"-p", "-i", dir / "disk.cdt", "-o", dir / "disk.cdp", path});
    EXPECT_EQ(result.status, 2) << way(device);
    EXPECT_TRUE(result.out.ends_with("Error reading verified file '" + path + "' at offset " +
                                     std::to_string(2 * MIB) + ": Input/output error\n"))
        << way(device) << ": " << result.out;
    EXPECT_EQ(testing::read_file(dir / "disk.cdp"), testing::bytes_of("an older patch"));
  }
}

// A sector that refuses writes costs its record; the others are written.
TEST(UnreadableSectors, ARecordTheTargetRefusesIsReportedAndTheRestWritten) {
  for (const bool device : {false, true}) {
    Copy copy(4 * MIB, device);
    REQUIRE_COPY(copy);
    ASSERT_EQ(copy.checksum().status, 0);
    ASSERT_EQ(copy.patch().status, 0);
    const std::uint64_t refused = 50 * BLOCK;  // the second damaged block
    copy.add({refused + 4096, 512, "unwritable"});
    const auto result = copy.apply();
    EXPECT_EQ(result.status, 2) << way(device);
    const std::size_t records = (4 * MIB / BLOCK + 49) / 50;
    EXPECT_EQ(result.out, "Processing...\nError writing target file '" + copy.path() +
                              "' at offset " + std::to_string(refused) +
                              ": Input/output error\nError - 1 of " + std::to_string(records) +
                              " records could not be written; the target is partly repaired, "
                              "and applying the same patch again is safe\n")
        << way(device);
    // The refused record keeps at least its refused sector; the rest is good.
    const Bytes before = testing::damaged_copy(copy.good(), BLOCK, 50);
    const Bytes now = copy.medium.content("disk.img");
    const auto at = [](std::uint64_t offset) { return static_cast<std::ptrdiff_t>(offset); };
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + at(refused), copy.good().begin()));
    EXPECT_TRUE(std::equal(now.begin() + at(refused + BLOCK), now.end(),
                           copy.good().begin() + at(refused + BLOCK)));
    EXPECT_TRUE(std::equal(now.begin() + at(refused + 4096), now.begin() + at(refused + 4608),
                           before.begin() + at(refused + 4096)))
        << way(device);
  }
}

// A block device that someone holds exclusively, as a mounted file system
// does, is never patched.
TEST(UnreadableSectors, ABusyDeviceIsRefusedBeforeAnythingIsWritten) {
  Copy copy(4 * MIB, true);
  REQUIRE_COPY(copy);
  ASSERT_EQ(copy.checksum().status, 0);
  ASSERT_EQ(copy.patch().status, 0);
  const int holder = ::open(copy.path().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  ASSERT_GE(holder, 0) << copy.path();
  const auto result = copy.apply();
  ::close(holder);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "Processing...\nError opening target file '" + copy.path() +
                            "': the device is in use (mounted?)\n");
  EXPECT_EQ(copy.medium.counters("disk.img").writes, 0u);
  EXPECT_EQ(copy.apply().status, 0) << "once released";
}

// On a file the walk maps, a window over a bad sector cannot be brought in:
// the error comes back instead of a SIGBUS at the first access, and the
// walk reads that window, marking only the block it cannot read.
TEST(UnreadableSectors, AWindowOverABadSectorIsReadInstead) {
  Copy copy(4 * MIB, false);
  REQUIRE_COPY(copy);
  copy.add({3 * MIB + 100, 512, "unreadable"});
  auto file = io::File::open(copy.path(), io::File::Mode::read);
  ASSERT_TRUE(file);
  {
    io::FileWindows windows(*file, 2 * MIB);
    ASSERT_TRUE(windows.ready());
    EXPECT_TRUE(testing::brings_in(windows, 0, 2 * MIB));
    EXPECT_FALSE(testing::brings_in(windows, 2 * MIB, 2 * MIB));
  }
  const testing::ScopedWalkMethod mapped(WalkMethod::mapped);
  int maps = 0;
  const testing::FaultHookGuard hook([&](io::Op op, const std::string&) {
    maps += op == io::Op::map ? 1 : 0;
    return io::Fault{};
  });
  std::vector<std::uint64_t> unreadable;
  std::ostringstream out;
  ProgressLine line(out);
  const WalkStatus status = walk_blocks(
      *file, BlockGeometry{4 * MIB, BLOCK}, line,
      [&](const Block& block) {
        if (block.unreadable) unreadable.push_back(block.number);
        return true;
      },
      ReadErrors::mark_unreadable);
  EXPECT_EQ(status, WalkStatus::completed);
  EXPECT_EQ(unreadable, std::vector<std::uint64_t>{3 * MIB / BLOCK});
  EXPECT_EQ(maps, 2);
}

}  // namespace
}  // namespace rempar
