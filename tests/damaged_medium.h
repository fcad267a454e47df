#pragma once
// A damaged medium for the tests: image files served by a FUSE file system
// (tests/fixtures/faulty_fs) whose byte ranges fail, heal, lie or flip bits as
// a test says, and loop devices over them, the block devices of a failing
// disk. Everything is released when the object goes, whatever the test did:
// loop devices are detached, the file system is unmounted and its process
// ended. A test process that dies leaves nothing attached either: its loop
// devices clear themselves when it closes them, and the file system unmounts
// itself when its parent goes; the next medium removes what is left.
//
//   DamagedMedium medium;
//   REMPAR_REQUIRE_MEDIUM(medium);                   // skips, saying why, without one
//   medium.create("disk.img", bytes);                // no fault yet, not counted
//   medium.add_fault("disk.img", 2 << 20, 512, "unreadable delay=20 heals");
//   run_rempar({"-o", out, medium / "disk.img"});    // or medium.attach_loop(...)
//   EXPECT_EQ(medium.counters("disk.img").failed_reads, 1u);
//
// The fault flags are those of tests/fixtures/fault_table.h: unreadable,
// partial, delay=MS, heals, unwritable, lying, flaky, flaky=alternate.
//
// What the counters count: every read or write request that reaches the file
// system. By default files are served with direct_io, so each read() or
// write() on a file in the mount is one request (up to 1 MiB; larger calls
// are split, and a split call stops at its first failed request with a short
// count). A read() that returns a short count has met a failed request too.
// A read() that touches an unreadable range fails whole, unless the range is
// "partial". Files in the mount open with O_DIRECT too, in both cachings. Through a loop device the
// kernel's page cache of the device comes in between: see attach_loop().
//
// Faults belong to a name in the mount, not to a file: a file renamed into
// place meets the faults of its new name. The medium is a few image files,
// not a general file system: names hold no blanks.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// In a GoogleTest test: skip it, saying why, when the medium is not there
// (no libfuse3 at build time, not root, no /dev/fuse). CI counts the skip as
// a failure.
#define REMPAR_REQUIRE_MEDIUM(medium) \
  if (!(medium).ready()) GTEST_SKIP() << (medium).why_not()

namespace rempar::testing {

struct MediumCounters {
  std::uint64_t reads = 0;          // read requests
  std::uint64_t failed_reads = 0;   // ... answered with EIO
  std::uint64_t flipped_reads = 0;  // ... that returned flipped bits
  std::uint64_t writes = 0;         // write requests
  std::uint64_t failed_writes = 0;  // ... answered with EIO
  std::uint64_t lied_writes = 0;    // ... that dropped bytes but reported success
};

class DamagedMedium {
 public:
  enum class Caching {
    // Every read() and write() reaches the file system: a fault shows on
    // every access, and the counters count the calls.
    none,
    // The kernel's page cache in front of the files, emptied at each open, as
    // on a real disk: failed reads still fail every time (nothing is cached
    // for them), but a flaky or lying range can be hidden by cached pages,
    // and reads come in the kernel's read-ahead sizes.
    page_cache,
  };

  explicit DamagedMedium(Caching caching = Caching::none);
  ~DamagedMedium();
  DamagedMedium(const DamagedMedium&) = delete;
  DamagedMedium& operator=(const DamagedMedium&) = delete;

  // Whether the medium is mounted; if not, why (for GTEST_SKIP).
  bool ready() const { return pid_ > 0; }
  const std::string& why_not() const { return why_not_; }

  // The path of `name` in the mount, where faults apply.
  std::string operator/(const std::string& name) const;
  // The path of `name` in the backing folder: the bytes the medium really
  // holds, read and written without faults and without counting.
  std::string backing(const std::string& name) const;

  void create(const std::string& name, const std::vector<std::uint8_t>& bytes) const;
  // A sparse file of `size` bytes of zeros: a large disk that costs no room.
  void create_sparse(const std::string& name, std::uint64_t size) const;
  std::vector<std::uint8_t> content(const std::string& name) const;

  // Adds a faulty range; throws when the file system refuses the flags.
  void add_fault(const std::string& name, std::uint64_t offset, std::uint64_t length,
                 const std::string& flags) const;
  // Without a name, for every file.
  void clear_faults(const std::string& name = "") const;
  void reset_counters(const std::string& name = "") const;
  MediumCounters counters(const std::string& name) const;
  // The counters and the ranges in force, and the failed, flipped and lying
  // requests in order: for failure messages.
  std::string report() const;
  std::string log() const;

  // A loop device over `name`, as `losetup -f --show --direct-io=off` makes
  // it, detached when the medium goes (or when the test process dies). An
  // empty path when none could be had; why_not() then says why.
  //
  // The device has its own page cache. A failed read is never cached, so it
  // fails again, but buffered reads fail by whole 4 KiB pages (a bad 512-byte
  // sector makes its page unreadable) and the kernel's read-ahead adds
  // requests of its own: a failed buffered read() costs up to three failed
  // requests (read-ahead, then the page itself). Direct reads fail by
  // 512-byte sectors; the kernel cuts one into requests of at most 128 pages
  // and sends them at once, so a failed direct read() of 1 MiB costs up to
  // two. A buffered write reaches the medium at fsync, so a write the medium
  // refuses fails the fsync(), not the write(); and a lying or flaky range is
  // hidden by cached pages: read with O_DIRECT (512-byte aligned) to see the
  // medium, or call drop_loop_cache() first.
  std::string attach_loop(const std::string& name);
  // Writes back and empties the device's page cache (`blockdev --flushbufs`).
  void drop_loop_cache(const std::string& device) const;

 private:
  struct Loop {
    std::string device;
    int fd = -1;  // held open: the device clears itself when it closes
  };

  void mount(Caching caching);
  void unmount();
  std::string read_control(const std::string& file) const;
  void control(const std::string& command) const;

  std::string dir_;    // state/backing/mnt live here
  std::string mount_;  // where the file system is mounted
  pid_t pid_ = -1;     // the file system's process
  std::string why_not_;
  std::vector<Loop> loops_;
};

}  // namespace rempar::testing
