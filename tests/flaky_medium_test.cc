// Each operation with one of its inputs on a medium whose bytes read back
// differently on a later read. Whatever the medium does, a run either writes
// exactly the bytes it checked, or ends with status 2 and one message, having
// written no byte it did not check.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "damaged_medium.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::DamagedMedium;
using testing::TempDir;

constexpr std::int32_t SMALL_BLOCK = 16384;
constexpr std::int32_t LARGE_BLOCK = 2 << 20;  // larger than one read of the walk

enum class Served { data, cdt, verified, cdp, target };  // the input on the medium

struct Case {
  const char* what;
  Served served;
  std::int32_t block_size;
  std::uint64_t flaky_at;  // where, in the served file, the medium flips bits
  int status;              // 0, or 2 when a second read meets the flips
  const char* message;     // the one message of a failed run
};

// Every byte of `after` is the byte `before` or `good` holds there.
bool only_good_bytes_written(const Bytes& before, const Bytes& good, const Bytes& after) {
  if (after.size() != before.size()) return false;
  for (std::size_t i = 0; i < after.size(); ++i) {
    if (after[i] != before[i] && after[i] != good[i]) return false;
  }
  return true;
}

bool one_error_line(const std::string& out, const std::string& message) {
  const auto at = out.find("Error");
  return at != std::string::npos && out.substr(at) == message;
}

TEST(FlakyMedium, EveryWrittenByteIsACheckedByte) {
  // Files on the medium bypass the cache when read(), not when mapped: a
  // window the walk only probes, then reads, would meet a flip on its
  // second fetch from the medium. Every window is mapped and used here.
  ::setenv("REMPAR_WALK", "mapped", 1);  // NOLINT(concurrency-mt-unsafe)
  // 4 MiB with every block damaged: the patch is over 1 MiB, four pieces.
  const Bytes good = testing::random_bytes((4 << 20) + 5, 21);
  const Case cases[] = {
      {"checksum creation, input served", Served::data, SMALL_BLOCK, 3 << 20, 0, ""},
      {"patch creation, verified file served", Served::verified, SMALL_BLOCK, 3 << 20, 0, ""},
      {"patch creation, blocks over one read, verified file served", Served::verified, LARGE_BLOCK,
       (3 << 20) + 77, 2, "Error - verified file changed while the patch was being created\n"},
      {"patch creation, .CDT served", Served::cdt, SMALL_BLOCK, 600, 2,
       "Error - .CDT file changed while the patch was being created\n"},
      {"patch application, .CDP served", Served::cdp, SMALL_BLOCK, (2 << 20) + 500, 2,
       "Error - .CDP file changed while it was being applied\n"},
      {"patch application, target served", Served::target, SMALL_BLOCK, 3 << 20, 0, ""},
  };
  for (const char* flags : {"flaky", "flaky=alternate"}) {
    for (const Case& c : cases) {
      const std::string what = std::string(c.what) + ", " + flags;
      DamagedMedium medium;
      REMPAR_REQUIRE_MEDIUM(medium);
      TempDir dir;
      const Bytes broken = testing::damaged_copy(good, static_cast<std::size_t>(c.block_size), 1);
      const Bytes cdt = testing::checksum_file_of(broken, c.block_size);
      const Bytes cdp = testing::patch_file_of(good, broken, c.block_size);
      // Each input where the case says: on the medium, or in the folder.
      const auto place = [&](Served role, const std::string& name, const Bytes& bytes) {
        if (role != c.served) {
          testing::write_file(dir / name, bytes);
          return dir / name;
        }
        medium.create(name, bytes);
        medium.add_fault(name, c.flaky_at, 64, flags);
        return medium / name;
      };
      std::vector<std::string> args;
      std::string output;  // a new container, or the target changed in place
      Bytes before, expected;
      switch (c.served) {
        case Served::data:
          output = dir / "out.cdt";
          args = {"-b", std::to_string(c.block_size), "-o", output, place(Served::data, "d", good)};
          expected = testing::checksum_file_of(good, c.block_size);
          break;
        case Served::cdt:
        case Served::verified:
          output = dir / "out.cdp";
          args = {"-p", "-i",   place(Served::cdt, "c", cdt),
                  "-o", output, place(Served::verified, "v", good)};
          expected = cdp;
          break;
        case Served::cdp:
        case Served::target:
          output = place(Served::target, "t", broken);
          args = {"-a", "-i", place(Served::cdp, "p", cdp), output};
          before = broken;
          expected = good;
          break;
      }
      const auto r = testing::run_rempar(args, dir.path());
      const std::string written = c.served == Served::target ? medium.backing("t") : output;
      EXPECT_EQ(r.status, c.status) << what << ":\n" << r.out << medium.report();
      if (r.status == 0) {
        EXPECT_EQ(testing::read_file(written), expected) << what;
        continue;
      }
      EXPECT_TRUE(one_error_line(r.out, c.message)) << what << ":\n" << r.out;
      EXPECT_EQ(r.out.find("Completed"), std::string::npos) << what << ":\n" << r.out;
      if (before.empty()) {
        EXPECT_FALSE(testing::exists(output)) << what;
      } else {
        EXPECT_TRUE(only_good_bytes_written(before, expected, testing::read_file(written))) << what;
      }
    }
  }
}

}  // namespace
}  // namespace rempar
