// The damaged medium the bad-sector tests stand on does what it promises: on a
// file in its mount and on a loop device over one, each kind of fault shows,
// and each request that reaches it is counted. What the page cache of a loop
// device hides, and what reaches the medium anyway, is pinned down here too.

#include "damaged_medium.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::DamagedMedium;

constexpr std::uint64_t MIB = 1 << 20;
constexpr std::uint64_t BAD = 2 * MIB;  // where the faults of most tests lie
constexpr std::size_t SECTOR = 512;
constexpr std::size_t PAGE = 4096;

// A buffer aligned for O_DIRECT.
class Aligned {
 public:
  explicit Aligned(std::size_t size) : storage_(size + PAGE), size_(size) {}
  std::uint8_t* data() {
    const auto at = reinterpret_cast<std::uintptr_t>(storage_.data());
    return storage_.data() + (PAGE - at % PAGE) % PAGE;
  }
  Bytes bytes() { return Bytes(data(), data() + size_); }

 private:
  Bytes storage_;
  std::size_t size_;
};

// What one pread() or pwrite() (with its fsync) got: the bytes or the error.
struct Access {
  int error = 0;
  Bytes bytes;
};

Access read_at(const std::string& path, std::uint64_t offset, std::size_t length, int flags = 0) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0) return {errno, {}};
  Aligned buffer(length);
  const ssize_t n = ::pread(fd, buffer.data(), length, static_cast<off_t>(offset));
  Access result{n < 0 ? errno : 0, buffer.bytes()};
  result.bytes.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  ::close(fd);
  return result;
}

int write_at(const std::string& path, std::uint64_t offset, const Bytes& bytes, int flags = 0) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | flags);
  if (fd < 0) return errno;
  Aligned buffer(bytes.size());
  std::memcpy(buffer.data(), bytes.data(), bytes.size());
  int error = 0;
  if (::pwrite(fd, buffer.data(), bytes.size(), static_cast<off_t>(offset)) !=
      static_cast<ssize_t>(bytes.size())) {
    error = errno;
  } else if (::fsync(fd) != 0) {
    error = errno;
  }
  ::close(fd);
  return error;
}

Bytes slice(const Bytes& bytes, std::uint64_t offset, std::size_t length) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
               bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

// A medium holding disk.img, 4 MiB of known bytes.
struct Disk {
  DamagedMedium medium;
  Bytes data = testing::random_bytes(4 * MIB, 15);
  explicit Disk(DamagedMedium::Caching caching = DamagedMedium::Caching::none) : medium(caching) {
    if (medium.ready()) medium.create("disk.img", data);
  }
  std::string path() const { return medium / "disk.img"; }
};

TEST(DamagedMedium, EveryReadThatTouchesAnUnreadableRangeFails) {
  Disk disk;
  REMPAR_REQUIRE_MEDIUM(disk.medium);
  disk.medium.add_fault("disk.img", BAD, SECTOR, "unreadable");
  EXPECT_EQ(read_at(disk.path(), 0, PAGE).bytes, slice(disk.data, 0, PAGE));
  for (int again = 0; again < 2; ++again) {
    EXPECT_EQ(read_at(disk.path(), BAD - SECTOR, 2 * SECTOR).error, EIO);
    EXPECT_EQ(read_at(disk.path(), BAD + SECTOR - 1, 1).error, EIO);
  }
  EXPECT_EQ(read_at(disk.path(), BAD + SECTOR, SECTOR).bytes,
            slice(disk.data, BAD + SECTOR, SECTOR));
  // A read across it gets the bytes up to the request that failed.
  const Access across = read_at(disk.path(), 0, 4 * MIB);
  EXPECT_EQ(across.error, 0);
  EXPECT_LE(across.bytes.size(), BAD);
  EXPECT_EQ(across.bytes, slice(disk.data, 0, across.bytes.size()));
  const auto c = disk.medium.counters("disk.img");
  EXPECT_EQ(c.failed_reads, 5u) << disk.medium.log();
  EXPECT_EQ(c.reads, 7u + across.bytes.size() / MIB) << disk.medium.log();
  EXPECT_EQ(c.writes, 0u);
}

TEST(DamagedMedium, APartialRangeReturnsTheBytesBeforeIt) {
  Disk disk;
  REMPAR_REQUIRE_MEDIUM(disk.medium);
  disk.medium.add_fault("disk.img", BAD, SECTOR, "unreadable partial");
  EXPECT_EQ(read_at(disk.path(), BAD - 100, 1000).bytes, slice(disk.data, BAD - 100, 100));
  EXPECT_EQ(read_at(disk.path(), BAD, 1000).error, EIO);
  EXPECT_EQ(disk.medium.counters("disk.img").failed_reads, 1u);
}

TEST(DamagedMedium, ASlowRangeWaitsBeforeEachFailedRead) {
  Disk disk;
  REMPAR_REQUIRE_MEDIUM(disk.medium);
  disk.medium.add_fault("disk.img", BAD, SECTOR, "unreadable delay=40");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read_at(disk.path(), BAD, SECTOR).error, EIO);
  EXPECT_EQ(read_at(disk.path(), BAD, SECTOR).error, EIO);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
  EXPECT_EQ(disk.medium.counters("disk.img").failed_reads, 2u);
}

TEST(DamagedMedium, AHealingRangeHealsWhereWritten) {
  Disk disk;
  REMPAR_REQUIRE_MEDIUM(disk.medium);
  disk.medium.add_fault("disk.img", BAD, 2 * SECTOR, "unreadable heals");
  const Bytes fresh = testing::random_bytes(SECTOR, 16);
  ASSERT_EQ(write_at(disk.path(), BAD, fresh), 0);
  EXPECT_EQ(read_at(disk.path(), BAD, SECTOR).bytes, fresh);
  EXPECT_EQ(read_at(disk.path(), BAD, 2 * SECTOR).error, EIO) << "only the written part heals";
  ASSERT_EQ(write_at(disk.path(), BAD + SECTOR, fresh), 0);
  EXPECT_EQ(read_at(disk.path(), BAD, 2 * SECTOR).error, 0);
  EXPECT_EQ(disk.medium.report().find("fault "), std::string::npos) << disk.medium.report();
  EXPECT_EQ(disk.medium.counters("disk.img").writes, 2u);
}

TEST(DamagedMedium, AnUnwritableRangeRefusesWritesAndKeepsItsBytes) {
  Disk disk;
  REMPAR_REQUIRE_MEDIUM(disk.medium);
  disk.medium.add_fault("disk.img", BAD, SECTOR, "unwritable");
  EXPECT_EQ(write_at(disk.path(), BAD - SECTOR, Bytes(PAGE, 0xee)), EIO);
  EXPECT_EQ(disk.medium.content("disk.img"), disk.data);
  EXPECT_EQ(read_at(disk.path(), BAD, SECTOR).bytes, slice(disk.data, BAD, SECTOR));
  EXPECT_EQ(write_at(disk.path(), BAD + SECTOR, Bytes(SECTOR, 0xee)), 0);
  const auto c = disk.medium.counters("disk.img");
  EXPECT_EQ(c.writes, 2u);
  EXPECT_EQ(c.failed_writes, 1u);
}

TEST(DamagedMedium, ALyingRangeTakesWritesButKeepsTheOldBytes) {
  Disk disk;
  REMPAR_REQUIRE_MEDIUM(disk.medium);
  disk.medium.add_fault("disk.img", BAD, SECTOR, "lying");
  const Bytes fresh(3 * SECTOR, 0xee);
  EXPECT_EQ(write_at(disk.path(), BAD - SECTOR, fresh), 0);
  Bytes expected = disk.data;
  std::fill_n(expected.begin() + BAD - SECTOR, SECTOR, 0xee);
  std::fill_n(expected.begin() + BAD + SECTOR, SECTOR, 0xee);
  EXPECT_EQ(read_at(disk.path(), BAD - SECTOR, 3 * SECTOR).bytes,
            slice(expected, BAD - SECTOR, 3 * SECTOR));
  EXPECT_EQ(disk.medium.content("disk.img"), expected);
  EXPECT_EQ(disk.medium.counters("disk.img").lied_writes, 1u);
}

// Which reads of a flaky byte come back with its lowest bit flipped.
struct FlakyCase {
  const char* flags;
  std::vector<bool> flipped;
};

TEST(DamagedMedium, AFlakyRangeReadsBackDifferentlyAfterTheFirstRead) {
  for (const FlakyCase& c : {FlakyCase{"flaky", {false, true, true, true}},
                             FlakyCase{"flaky=alternate", {false, true, false, true}}}) {
    Disk disk;
    REMPAR_REQUIRE_MEDIUM(disk.medium);
    disk.medium.add_fault("disk.img", BAD + 100, 1, c.flags);
    for (std::size_t i = 0; i < c.flipped.size(); ++i) {
      Bytes expected = slice(disk.data, BAD, PAGE);
      if (c.flipped[i]) expected[100] ^= 1;
      EXPECT_EQ(read_at(disk.path(), BAD, PAGE).bytes, expected) << c.flags << ", read " << i + 1;
    }
    EXPECT_EQ(read_at(disk.path(), 0, PAGE).bytes, slice(disk.data, 0, PAGE)) << "elsewhere";
    EXPECT_EQ(disk.medium.counters("disk.img").flipped_reads,
              static_cast<std::uint64_t>(std::count(c.flipped.begin(), c.flipped.end(), true)));
  }
}

TEST(DamagedMedium, RefusesFlagsItDoesNotKnow) {
  Disk disk;
  REMPAR_REQUIRE_MEDIUM(disk.medium);
  EXPECT_THROW(disk.medium.add_fault("disk.img", 0, SECTOR, "unreadable sometimes"),
               std::runtime_error);
  disk.medium.add_fault("disk.img", 0, SECTOR, "unreadable");
  disk.medium.clear_faults();
  EXPECT_EQ(read_at(disk.path(), 0, SECTOR).error, 0);
}

// With the page cache in front of the files, a failed read is still never
// cached, but a flaky byte read once stays as first read until the cache goes.
TEST(DamagedMedium, ThePageCacheHidesFlakyBytesButNoFailedRead) {
  Disk disk(DamagedMedium::Caching::page_cache);
  REMPAR_REQUIRE_MEDIUM(disk.medium);
  disk.medium.add_fault("disk.img", BAD, SECTOR, "unreadable");
  disk.medium.add_fault("disk.img", MIB + 100, 1, "flaky");
  const int fd = ::open(disk.path().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  Bytes page(PAGE);
  for (int again = 0; again < 2; ++again) {
    EXPECT_EQ(::pread(fd, page.data(), PAGE, BAD), -1);
    EXPECT_EQ(errno, EIO);
    ASSERT_EQ(::pread(fd, page.data(), PAGE, MIB), static_cast<ssize_t>(PAGE));
    EXPECT_EQ(page, slice(disk.data, MIB, PAGE)) << "read " << again + 1 << " of a cached page";
  }
  ASSERT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
  ASSERT_EQ(::pread(fd, page.data(), PAGE, MIB), static_cast<ssize_t>(PAGE));
  EXPECT_NE(page, slice(disk.data, MIB, PAGE)) << "read again from the medium";
  ::close(fd);
  EXPECT_GE(disk.medium.counters("disk.img").failed_reads, 2u);
}

// A loop device over disk.img, its counters zeroed after attaching.
struct LoopDisk : Disk {
  std::string device;
  LoopDisk() {
    if (medium.ready()) device = medium.attach_loop("disk.img");
    if (!device.empty()) medium.reset_counters();
  }
};

#define REQUIRE_LOOP(disk)              \
  REMPAR_REQUIRE_MEDIUM((disk).medium); \
  if ((disk).device.empty()) GTEST_SKIP() << (disk).medium.why_not()

TEST(DamagedMediumLoop, EveryReadOfABadSectorFailsAgain) {
  LoopDisk disk;
  REQUIRE_LOOP(disk);
  disk.medium.add_fault("disk.img", BAD, SECTOR, "unreadable");
  // Buffered reads fail by whole pages of the device's cache, every time.
  for (int again = 0; again < 2; ++again) {
    EXPECT_EQ(read_at(disk.device, BAD + SECTOR, SECTOR).error, EIO);
    EXPECT_EQ(read_at(disk.device, BAD + PAGE, SECTOR).bytes, slice(disk.data, BAD + PAGE, SECTOR));
  }
  EXPECT_EQ(read_at(disk.device, 0, 4 * MIB).bytes.size(), BAD);
  // Direct reads fail by sectors, each with one failed request.
  disk.medium.reset_counters();
  EXPECT_EQ(read_at(disk.device, BAD, SECTOR, O_DIRECT).error, EIO);
  EXPECT_EQ(read_at(disk.device, BAD + SECTOR, SECTOR, O_DIRECT).bytes,
            slice(disk.data, BAD + SECTOR, SECTOR));
  const auto c = disk.medium.counters("disk.img");
  EXPECT_EQ(c.failed_reads, 1u) << disk.medium.log();
  EXPECT_EQ(c.reads, 2u) << disk.medium.log();
}

TEST(DamagedMediumLoop, WritesHealOrFailAsOnAFile) {
  for (const int flags : {0, O_DIRECT}) {
    LoopDisk disk;
    REQUIRE_LOOP(disk);
    disk.medium.add_fault("disk.img", BAD, SECTOR, "unreadable heals");
    disk.medium.add_fault("disk.img", 3 * MIB, SECTOR, "unwritable");
    const Bytes fresh(PAGE, 0xee);
    EXPECT_EQ(write_at(disk.device, BAD, fresh, flags), 0) << flags;
    EXPECT_EQ(read_at(disk.device, BAD, PAGE, O_DIRECT).bytes, fresh) << flags;
    EXPECT_EQ(slice(disk.medium.content("disk.img"), BAD, PAGE), fresh) << flags;
    // A buffered write fails at fsync.
    EXPECT_EQ(write_at(disk.device, 3 * MIB, fresh, flags), EIO) << flags;
    EXPECT_EQ(slice(disk.medium.content("disk.img"), 3 * MIB, PAGE),
              slice(disk.data, 3 * MIB, PAGE));
    EXPECT_GE(disk.medium.counters("disk.img").failed_writes, 1u) << flags;
  }
}

TEST(DamagedMediumLoop, DirectReadsSeeWhatTheCacheHides) {
  LoopDisk disk;
  REQUIRE_LOOP(disk);
  disk.medium.add_fault("disk.img", BAD, SECTOR, "lying");
  disk.medium.add_fault("disk.img", MIB + 100, 1, "flaky");
  const Bytes fresh(PAGE, 0xee);
  // A lying range: the cache holds what was written, the medium does not.
  ASSERT_EQ(write_at(disk.device, BAD, fresh), 0);
  EXPECT_EQ(read_at(disk.device, BAD, PAGE).bytes, fresh);
  Bytes expected = fresh;
  std::copy_n(disk.data.begin() + BAD, SECTOR, expected.begin());
  EXPECT_EQ(read_at(disk.device, BAD, PAGE, O_DIRECT).bytes, expected);
  disk.medium.drop_loop_cache(disk.device);
  EXPECT_EQ(read_at(disk.device, BAD, PAGE).bytes, expected);
  EXPECT_EQ(disk.medium.counters("disk.img").lied_writes, 1u);
  // A flaky byte: a cached page reads back as first read.
  const Bytes first = slice(disk.data, MIB, PAGE);
  Bytes flipped = first;
  flipped[100] ^= 1;
  EXPECT_EQ(read_at(disk.device, MIB, PAGE).bytes, first);
  EXPECT_EQ(read_at(disk.device, MIB, PAGE).bytes, first);
  EXPECT_EQ(read_at(disk.device, MIB, PAGE, O_DIRECT).bytes, flipped);
  disk.medium.drop_loop_cache(disk.device);
  EXPECT_EQ(read_at(disk.device, MIB, PAGE).bytes, flipped);
}

// How many failed requests a dead region costs: one per failed read() on a
// file. On a device a direct read() is split into requests of at most 128
// pages (its max_segments), all sent at once, so a 1 MiB read costs up to
// two; a buffered one costs up to three (the read-ahead's, then the page's
// own).
TEST(DamagedMediumLoop, FailedReadsOfADeadRegionAreCounted) {
  LoopDisk disk;
  REMPAR_REQUIRE_MEDIUM(disk.medium);
  disk.medium.create_sparse("big.img", 64 * MIB);
  const std::string device = disk.medium.attach_loop("big.img");
  if (device.empty()) GTEST_SKIP() << disk.medium.why_not();
  disk.medium.add_fault("big.img", 16 * MIB, 32 * MIB, "unreadable");
  struct Way {
    std::string path;
    int flags;
    std::uint64_t most_per_read;
  };
  for (const Way& way :
       {Way{disk.medium / "big.img", 0, 1}, Way{device, O_DIRECT, 2}, Way{device, 0, 3}}) {
    disk.medium.reset_counters();
    std::uint64_t failed = 0;
    for (std::uint64_t step = 1; step < 32; step *= 2) {
      failed += read_at(way.path, 16 * MIB + step * MIB - PAGE, MIB, way.flags).error == EIO;
    }
    EXPECT_EQ(read_at(way.path, 48 * MIB, MIB, way.flags).bytes, Bytes(MIB, 0)) << way.path;
    const auto c = disk.medium.counters("big.img");
    EXPECT_EQ(failed, 5u) << way.path;
    EXPECT_GE(c.failed_reads, failed) << way.path << " " << way.flags;
    EXPECT_LE(c.failed_reads, failed * way.most_per_read) << way.path << " " << way.flags << "\n"
                                                          << disk.medium.log();
  }
}

// Today's tool meets the bad sector on a file and on a device. What it does
// about it is for its own tests; here only that the fault reaches it.
TEST(DamagedMediumLoop, TheToolMeetsTheBadSector) {
  LoopDisk disk;
  REQUIRE_LOOP(disk);
  testing::TempDir out;
  disk.medium.add_fault("disk.img", BAD, SECTOR, "unreadable");
  for (const std::string& input : {disk.path(), disk.device}) {
    disk.medium.reset_counters();
    const auto result = testing::run_rempar({"-o", out / "disk.cdt", input});
    EXPECT_GE(disk.medium.counters("disk.img").failed_reads, 1u) << input;
    const std::string said = result.out + result.err;
    EXPECT_TRUE(said.find("Input/output error") != std::string::npos ||
                said.find("Unreadable at") != std::string::npos)
        << input << ": " << said;
  }
}

}  // namespace
}  // namespace rempar
