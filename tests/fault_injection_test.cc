// Every I/O call of a good run, made to fail in turn. The calls of a good
// run are counted through the fault hook; then each one fails by itself in
// every way that call can fail: a full disk (ENOSPC) where something is
// created or written, an I/O error (EIO) anywhere, and a read that delivers
// half of what it should. A failure must end with exactly one message, the
// last line, exit status 2 and no "Completed"; no partial container may stay
// at the output's name; the target of patch application must be byte for
// byte as it was when the failure came before its first write. A fault the tool may shrug off
// (closing a file it only read, a short read it retries, a stat that only guards a name) must then
// leave exactly what a good run leaves.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <future>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>

#include "cli/dispatch.h"
#include "ops/apply_patch.h"
#include "ops/create_checksum.h"
#include "ops/create_patch.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::TempDir;

// The whole file, or nothing when there is none. Reads in one piece: the
// scenarios check files of megabytes after every run.
std::optional<Bytes> contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  Bytes bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// The ways each kind of call can fail.
std::vector<io::Fault> faults_for(io::Op op) {
  switch (op) {
    case io::Op::open:
    case io::Op::write:
    case io::Op::sync: return {{ENOSPC, false}, {EIO, false}};
    case io::Op::read:
    case io::Op::map: return {{EIO, false}, {0, true}};
    case io::Op::rename: return {{ENOSPC, false}, {EIO, false}};
    case io::Op::chmod: return {{EPERM, false}, {EIO, false}};
    case io::Op::seek:
    case io::Op::close:
    case io::Op::stat:
    case io::Op::device_size: return {{EIO, false}};
  }
  return {};
}

struct Call {
  io::Op op;
  std::string name;
};

// One operation on fixed files, run again and again in the same folder.
struct Scenario {
  const char* what;
  char mode;  // 'c', 'p' or 'a'
  std::int32_t block_size = 0;
  Bytes operand;                              // the file the command line names
  Bytes container;                            // the checksum file or patch file it reads
  std::optional<Bytes> older = std::nullopt;  // what stands at the output name before the run
};

struct Result {
  int status = -1;
  std::string out;
  std::vector<Call> calls;  // every call the hook saw
};

class Runner {
 public:
  explicit Runner(const Scenario& s) : s_(s) {}

  std::string operand() const { return dir_ / "data"; }
  std::string container() const { return dir_ / (s_.mode == 'a' ? "data.cdp" : "data.cdt"); }
  // What the run writes: a container, or the patched operand.
  std::string written() const {
    return s_.mode == 'c' ? dir_ / "data.cdt" : s_.mode == 'p' ? dir_ / "data.cdp" : operand();
  }

  // Lays the files out afresh and runs, failing call number `fail_at` with
  // `fault` (no call fails when fail_at is negative).
  // The names in the folder besides the operand, the container read and the
  // output: anything a run left behind.
  std::set<std::string> others() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = entry.path().string();
      if (name != operand() && name != container() && name != written()) {
        names.insert(entry.path().filename());
      }
    }
    return names;
  }

  Result run(long fail_at, io::Fault fault) {
    testing::overwrite_file(operand(), s_.operand);
    if (s_.mode != 'c') testing::overwrite_file(container(), s_.container);
    if (s_.mode != 'a') {
      std::filesystem::remove(written());
      if (s_.older) testing::write_file(written(), *s_.older);
    }
    Options options;
    options.mode = mode_for_option(s_.mode);
    options.block_size = s_.block_size;
    if (s_.mode != 'c') options.input_name = container();
    Result result;
    // Every window mapped: which windows the default walk reads instead
    // depends on page faults, and the calls must come in the same order
    // run after run.
    const testing::ScopedWalkMethod mapped(WalkMethod::mapped);
    const testing::FaultHookGuard hook([&](io::Op op, const std::string& name) {
      const long index = static_cast<long>(result.calls.size());
      result.calls.push_back({op, name});
      return index == fail_at ? fault : io::Fault{};
    });
    std::ostringstream out;
    result.status = dispatch(options, operand(), out);
    result.out = out.str();
    return result;
  }

 private:
  const Scenario& s_;
  TempDir dir_;
};

std::string describe(const Call& call, const io::Fault& fault) {
  static constexpr std::array<const char*, 11> OPS = {"open",  "read",        "write",  "seek",
                                                      "sync",  "close",       "stat",   "rename",
                                                      "chmod", "device size", "mapping"};
  return std::string(OPS.at(static_cast<std::size_t>(call.op))) + " of " + call.name +
         (fault.short_read ? " (short read)" : " (" + io::error_text(fault.error) + ")");
}

// "Error" once, opening a line, and that line is the last.
bool one_message(const std::string& out) {
  const auto at = out.find("Error");
  if (at == std::string::npos || out.find("Error", at + 1) != std::string::npos) return false;
  if (at != 0 && out[at - 1] != '\n' && out[at - 1] != '\r') return false;
  return out.find('\n', at) == out.size() - 1;
}

// A record the target refused: its line, then the count, which ends the output.
bool one_refused_record(const std::string& out) {
  const auto first = out.find("Error writing target file '");
  const auto count = out.find("\nError - 1 of ");
  return first != std::string::npos && count != std::string::npos &&
         out.find("Error", first + 1) == count + 1 && out.find('\n', count + 1) == out.size() - 1;
}

struct Tally {
  int points = 0;    // calls made to fail
  int failed = 0;    // ... that ended the run with an error
  int harmless = 0;  // ... that the run absorbed
};

Tally inject_every_fault(const Scenario& s) {
  Runner runner(s);
  const Result good = runner.run(-1, {});
  EXPECT_EQ(good.status, 0) << s.what << ": " << good.out;
  const std::optional<Bytes> good_written = contents(runner.written());
  EXPECT_TRUE(runner.others().empty()) << s.what;
  long first_target_write = static_cast<long>(good.calls.size());
  long renamed_at = static_cast<long>(good.calls.size());  // the container replaces the older file
  for (std::size_t i = 0; i < good.calls.size(); ++i) {
    const Call& call = good.calls[i];
    if (call.op == io::Op::rename) renamed_at = std::min(renamed_at, static_cast<long>(i));
    if (s.mode == 'a' && call.op == io::Op::write && call.name == runner.operand()) {
      first_target_write = std::min(first_target_write, static_cast<long>(i));
    }
  }
  Tally tally;
  for (std::size_t i = 0; i < good.calls.size(); ++i) {
    const Call& call = good.calls[i];
    for (const io::Fault& fault : faults_for(call.op)) {
      const std::string what =
          std::string(s.what) + ", call " + std::to_string(i) + ": " + describe(call, fault);
      const Result r = runner.run(static_cast<long>(i), fault);
      ++tally.points;
      // Up to the fault the run is the good one.
      if (r.calls.size() <= i) {
        ADD_FAILURE() << what << ": the run made only " << r.calls.size() << " calls";
        continue;
      }
      EXPECT_EQ(r.calls[i].op, call.op) << what;
      EXPECT_EQ(r.calls[i].name, call.name) << what;
      // A file the good run leaves behind; not a container it discards.
      const bool written_by_run = call.name == runner.written() && good_written.has_value();
      // A temporary file that cannot be made gives way to writing in place.
      const bool temporary_open =
          call.op == io::Op::open && call.name.find(".rempar-tmp-") != std::string::npos;
      // A failed read of the file to checksum is tried again block by block.
      const bool read_again = s.mode == 'c' && call.op == io::Op::read &&
                              call.name == runner.operand() && fault.error == EIO;
      // A window that cannot be mapped, or loses its pages, is read instead.
      const bool may_be_absorbed = fault.short_read || call.op == io::Op::stat || temporary_open ||
                                   read_again || call.op == io::Op::map ||
                                   (call.op == io::Op::close && !written_by_run);
      EXPECT_TRUE(runner.others().empty()) << what << " left a file behind";
      if (r.status == 0) {
        ++tally.harmless;
        EXPECT_TRUE(may_be_absorbed) << what << " was reported as success:\n" << r.out;
        EXPECT_EQ(r.out, good.out) << what;
        EXPECT_EQ(contents(runner.written()), good_written) << what;
        continue;
      }
      ++tally.failed;
      EXPECT_EQ(r.status, 2) << what;
      // A refused record is reported, and the others are written.
      const bool refused_record =
          s.mode == 'a' && call.op == io::Op::write && call.name == runner.operand();
      EXPECT_TRUE(refused_record ? one_refused_record(r.out) : one_message(r.out)) << what << ":\n"
                                                                                   << r.out;
      EXPECT_EQ(r.out.find("Completed"), std::string::npos) << what << ":\n" << r.out;
      if (s.mode == 'a') {
        const Bytes target = contents(runner.operand()).value_or(Bytes{});
        if (static_cast<long>(i) < first_target_write) {
          EXPECT_EQ(target, s.operand) << what;
        }
        EXPECT_EQ(target.size(), s.operand.size()) << what;
      } else if (static_cast<long>(i) > renamed_at) {
        // The folder failed to sync after the rename: the container is complete.
        EXPECT_EQ(contents(runner.written()), good_written) << what;
      } else if (fault.short_read && s.older && !contents(runner.written())) {
        // A checksum file cut short is rejected, and a rejection clears the patch name.
        EXPECT_EQ(s.mode, 'p') << what;
      } else {
        EXPECT_EQ(contents(runner.written()), s.older) << what << " did not keep the older output";
      }
    }
  }
  std::cout << "[ faults   ] " << s.what << ": " << good.calls.size() << " calls, " << tally.points
            << " fault points, " << tally.failed << " failed cleanly, " << tally.harmless
            << " absorbed\n";
  return tally;
}

void run_all(const std::vector<Scenario>& scenarios) {
  int points = 0;
  for (const Scenario& s : scenarios) points += inject_every_fault(s).points;
  std::cout << "[ faults   ] total: " << points << " fault points injected\n";
}

TEST(FaultInjection, ChecksumCreation) {
  run_all({
      {"checksum of an empty file", 'c', 16384, {}, {}},
      {"an older checksum file in its place",
       'c',
       16384,
       testing::random_bytes(50000, 1),
       {},
       testing::bytes_of("an older checksum file")},
      {"checksum of 1 MiB + 5, two reads", 'c', 16384, testing::random_bytes((1 << 20) + 5, 1), {}},
      {"a checksum file of 1.25 MiB, two writes", 'c', 2, testing::random_bytes(640 << 10, 2), {}},
      {"blocks larger than one read",
       'c',
       (1 << 20) + 1,
       testing::random_bytes((2 << 20) + 5, 3),
       {}},
  });
}

TEST(FaultInjection, PatchCreation) {
  const Bytes good = testing::random_bytes((1 << 20) + 5, 4);
  const Bytes large = testing::random_bytes((2 << 20) + 5, 5);
  run_all({
      {"three damaged blocks", 'p', 0, good,
       testing::checksum_file_of(testing::damaged_copy(good, 16384, 30), 16384)},
      {"a patch of 1.1 MiB, two writes", 'p', 0, good,
       testing::checksum_file_of(testing::damaged_copy(good, 4096, 1), 4096)},
      {"no damaged block", 'p', 0, good, testing::checksum_file_of(good, 16384)},
      {"an older patch file in its place", 'p', 0, good,
       testing::checksum_file_of(testing::damaged_copy(good, 16384, 30), 16384),
       testing::bytes_of("an older patch file")},
      {"no damaged block, an older patch file in its place", 'p', 0, good,
       testing::checksum_file_of(good, 16384), testing::bytes_of("an older patch file")},
      {"damaged blocks larger than one read", 'p', 0, large,
       testing::checksum_file_of(testing::damaged_copy(large, (1 << 20) + 1, 2), (1 << 20) + 1)},
      {"a 3.0 checksum file, three damaged blocks", 'p', 0, good,
       testing::checksum_file_of(testing::damaged_copy(good, 16384, 30), 16384, &LAYOUT_3_0)},
      {"a checksum file of 160 KiB read in pieces", 'p', 0, testing::random_bytes(640 << 10, 6),
       testing::checksum_file_of(
           testing::damaged_copy(testing::random_bytes(640 << 10, 6), 16, 10000), 16)},
  });
}

TEST(FaultInjection, PatchApplication) {
  const Bytes good = testing::random_bytes((1 << 20) + 5, 7);
  const Bytes broken = testing::damaged_copy(good, 16384, 16);
  run_all({
      {"a patch kept in memory", 'a', 0, broken, testing::patch_file_of(good, broken, 16384)},
      {"a 3.0 patch", 'a', 0, broken, testing::patch_file_of(good, broken, 16384, &LAYOUT_3_0)},
  });
}

// Past 1 MiB a patch is not kept from the check but read again.
TEST(FaultInjection, LargePatchApplication) {
  const Bytes good = testing::random_bytes((8 << 20) + 5, 8);
  const Bytes broken = testing::damaged_copy(good, 3 << 20, 1);
  run_all({
      {"a patch of over 1 MiB, read again record by record", 'a', 0, broken,
       testing::patch_file_of(good, broken, 3 << 20)},
  });
}

// A pipe or a device at the output name (say /dev/null) is written directly:
// never synced, renamed or removed, whether the run writes a container or
// finds nothing to write.
TEST(SpecialOutputs, AreWrittenAndKept) {
  TempDir dir;
  testing::write_file(dir / "data", testing::random_bytes(100, 9));
  testing::write_file(dir / "data.cdt",
                      testing::checksum_file_of(testing::random_bytes(100, 9), 16384));
  testing::write_file(dir / "other.cdt",
                      testing::checksum_file_of(testing::random_bytes(100, 10), 16384));
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  std::vector<std::pair<std::string, mode_t>> names = {{"fifo", S_IFIFO}};
  if (::geteuid() == 0 && ::mknod((dir / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0) {
    names.emplace_back("null", S_IFCHR);
  }
  for (const auto& [name, type] : names) {
    struct Case {
      std::vector<std::string> args;
      int status;
      std::string ending;
    };
    const Case cases[] = {
        {{"-o", name, "data"}, 0, testing::SEAL_AND_DONE},
        {{"-p", "-o", name, "data"}, 0, testing::NO_CORRUPTION},
        {{"-p", "-i", "other.cdt", "-o", name, "data"}, 0, "Completed, .CDP file generated\n"},
    };
    for (const Case& c : cases) {
      // A pipe's output waits for its reader.
      auto reader = std::async(std::launch::async, [pipe = type == S_IFIFO, path = dir / name] {
        if (!pipe) return;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        testing::drain(fd);
        ::close(fd);
      });
      const auto result = testing::run_rempar(c.args, dir.path());
      reader.get();
      EXPECT_EQ(result.status, c.status) << name << ": " << result.out;
      EXPECT_TRUE(result.out.ends_with(c.ending)) << name << ": " << result.out;
      struct stat st {};
      ASSERT_EQ(::lstat((dir / name).c_str(), &st), 0) << name << " was removed by " << result.out;
      EXPECT_EQ(st.st_mode & S_IFMT, type) << name;
    }
  }
}

// Overwrites `bytes` at `offset` of the file at `path`, behind the tool's back.
void overwrite(const std::string& path, std::int64_t offset, const Bytes& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

// Containers that change between their check and their use, as when another
// run rewrites them: the run ends with one message that says so, never with
// a report of success or a write outside the target.
TEST(ChangedDuringTheRun, AChecksumFileThatShrinksOrFailsIsReported) {
  const Bytes good = testing::random_bytes(100 << 10, 11);
  const Bytes cdt = testing::checksum_file_of(testing::damaged_copy(good, 16, 1000), 16);
  struct Case {
    const char* what;
    int read;     // which read of the checksum file meets the change: the check
                  // reads it whole, then its checksums
    bool shrink;  // the file is cut to its header, or the read fails
    std::string message;
  };
  const Case cases[] = {
      {"cut before its checksums are read", 1, true,
       "\rError reading .CDT file '@': it ended before its size (did it change during the run?)\n"},
      {"failing read of its checksums", 1, false,
       "\rError reading .CDT file '@': Input/output error\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    testing::write_file(dir / "good", good);
    testing::write_file(dir / "good.cdt", cdt);
    const std::string cdt_name = dir / "good.cdt";
    int reads = 0;
    const testing::FaultHookGuard hook([&](io::Op op, const std::string& name) {
      if (op != io::Op::read || name != cdt_name || reads++ != c.read) return io::Fault{};
      if (!c.shrink) return io::Fault{EIO, false};
      EXPECT_EQ(::truncate(cdt_name.c_str(), 18), 0);
      return io::Fault{};
    });
    std::ostringstream out;
    const Outcome outcome = run_create_patch(cdt_name, dir / "good", dir / "good.cdp", out);
    std::string message = c.message;
    message.replace(message.find('@'), 1, cdt_name);
    EXPECT_EQ(outcome, Outcome::failed) << c.what;
    EXPECT_TRUE(out.str().ends_with(message)) << c.what << ":\n" << out.str();
    EXPECT_TRUE(one_message(out.str())) << c.what << ":\n" << out.str();
    EXPECT_FALSE(testing::exists(dir / "good.cdp")) << c.what;
  }
}

// Every byte of `after` is the byte `before` or `good` holds there: nothing
// but checked record bytes reached the target, each at its own place.
bool only_good_bytes_written(const Bytes& before, const Bytes& good, const Bytes& after) {
  if (after.size() != before.size()) return false;
  for (std::size_t i = 0; i < after.size(); ++i) {
    if (after[i] != before[i] && after[i] != good[i]) return false;
  }
  return true;
}

// A patch file is read twice: whole for its check, then piece by piece as its
// records are applied. Another process rewrites it at every moment of that,
// one read of it after another: the run either applies exactly the bytes it
// checked, or stops with one message, having written no byte that it did not
// check, and none at all when the change came before the check had ended.
TEST(ChangedDuringTheRun, APatchFileRewrittenAtAnyMomentWritesOnlyCheckedBytes) {
  const Bytes good = testing::random_bytes((4 << 20) + 5, 12);
  const Bytes broken = testing::damaged_copy(good, 1 << 20, 1);
  const Bytes cdp = testing::patch_file_of(good, broken, 1 << 20);
  ASSERT_GT(cdp.size(), std::size_t{4} << 20);
  const int check_reads = static_cast<int>((cdp.size() + (1 << 20) - 1) >> 20);
  const auto le = [](std::uint32_t v) {
    Bytes bytes;
    testing::append_le32(bytes, v);
    return bytes;
  };
  const auto last_data = static_cast<std::int64_t>(cdp.size()) - 9;
  struct Case {
    const char* what;
    std::int64_t at;  // where the change is written
    Bytes bytes;
  };
  const Case cases[] = {
      {"first record moved by 64 KiB", 14, le(64 << 10)},
      {"first record moved far away", 14, le(0x7FFFFFF0u)},
      {"end marker in place of the first record", 14, le(0xFFFFFFFFu)},
      {"first record's length grown past the end", 18, le(0x7FFFFFF0u)},
      {"a bit flipped in the last record's data",
       last_data,
       {static_cast<std::uint8_t>(cdp[static_cast<std::size_t>(last_data)] ^ 1)}},
  };
  const std::set<std::string> messages = {"Error - .CDP file changed while it was being applied\n",
                                          "Error - bad CRC for .CDP file (probably damaged?)\n"};
  for (const Case& c : cases) {
    for (int moment = 0; moment < 2 * check_reads; ++moment) {
      const std::string what = std::string(c.what) + " at read " + std::to_string(moment);
      TempDir dir;
      testing::write_file(dir / "data", broken);
      testing::write_file(dir / "data.cdp", cdp);
      const std::string cdp_name = dir / "data.cdp";
      int reads = 0;
      const testing::FaultHookGuard hook([&](io::Op op, const std::string& name) {
        if (op == io::Op::read && name == cdp_name && reads++ == moment)
          overwrite(cdp_name, c.at, c.bytes);
        return io::Fault{};
      });
      std::ostringstream out;
      const Outcome outcome = run_apply_patch(cdp_name, dir / "data", out);
      const Bytes after = testing::read_file(dir / "data");
      if (outcome == Outcome::succeeded) {
        EXPECT_EQ(after, good) << what;
        continue;
      }
      EXPECT_TRUE(one_message(out.str())) << what << ":\n" << out.str();
      EXPECT_EQ(messages.count(out.str().substr(out.str().find("Error"))), 1u) << what << ":\n"
                                                                               << out.str();
      EXPECT_TRUE(only_good_bytes_written(broken, good, after)) << what;
      if (moment < check_reads) {
        EXPECT_EQ(after, broken) << what;
      }
    }
  }
}

}  // namespace
}  // namespace rempar
