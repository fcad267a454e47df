// A patch bound to its target by the checksum file beside it: the damaged
// side's own checksum file, at the patch's name ending in .cdt, lets the
// patch overwrite only blocks that are as that file recorded them, already
// patched, or unreadable. Plain files here; the damaged medium in
// proven_repair_medium_test.cc.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "container/cdt.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::PATCHED;
using testing::PROCESSING;
using testing::TempDir;

constexpr std::size_t BLOCK = 4096;
constexpr std::size_t SIZE = 16 * BLOCK + 100;  // a short last block too

std::string differs(const std::string& cdt, std::size_t offset) {
  return "Error - the target differs from its checksum file '" + cdt + "' at offset " +
         std::to_string(offset) +
         ": it changed after that file was made, or the patch is for another file\n";
}

void change_byte(const std::string& path, std::size_t at) {
  Bytes bytes = testing::read_file(path);
  bytes[at] ^= 0x5A;
  testing::overwrite_file(path, bytes);
}

void store_checksum(const std::string& cdt_path, std::size_t index, std::uint32_t crc) {
  Bytes cdt = testing::read_file(cdt_path);
  testing::store_checksum(cdt, index, crc);
  testing::overwrite_file(cdt_path, cdt);
}

// The damaged copy lost blocks 2, 5 and the short last one; step 1 made
// damaged.cdt beside it, step 2 the patch damaged.cdp from the good copy.
class BoundPatch : public ::testing::Test {
 protected:
  void SetUp() override {
    good_ = testing::random_bytes(SIZE, 7);
    damaged_ = good_;
    for (const std::size_t at : {2 * BLOCK + 10, 5 * BLOCK, SIZE - 1}) damaged_[at] ^= 0xFF;
    testing::write_file(dir_ / "damaged", damaged_);
    testing::write_file(dir_ / "good", good_);
    testing::write_file(dir_ / "other", testing::random_bytes(SIZE, 8));
    ASSERT_EQ(run({"-b", std::to_string(BLOCK), "damaged"}).status, 0);
    ASSERT_EQ(run({"-p", "-i", "damaged.cdt", "-o", "damaged.cdp", "good"}).status, 0);
  }

  testing::RunResult run(const std::vector<std::string>& args) {
    return testing::run_rempar(args, dir_.path());
  }

  TempDir dir_;
  Bytes good_;
  Bytes damaged_;
};

TEST_F(BoundPatch, AppliesOnlyToTheBlocksItsChecksumFileDescribes) {
  struct Case {
    const char* what;
    std::function<void(TempDir&)> prepare;
    std::vector<std::string> args;
    std::string out;  // after "Processing...\n"
    const char* target;
    bool patched;  // else untouched
  };
  const std::string bad_seal = "Error - bad CRC for .CDT file (probably damaged?)\n";
  const Case cases[] = {
      {"bound, as made", [](TempDir&) {}, {"-a", "damaged"}, PATCHED, "damaged", true},
      {"no checksum file beside the patch",
       [](TempDir& d) { std::filesystem::remove(d / "damaged.cdt"); },
       {"-a", "damaged"},
       PATCHED,
       "damaged",
       true},
      {"a block outside the records changed",
       [](TempDir& d) { change_byte(d / "damaged", 7 * BLOCK + 3); },
       {"-a", "damaged"},
       PATCHED,
       "damaged",
       true},
      {"a record's block changed after the checksum file",
       [](TempDir& d) { change_byte(d / "damaged", 5 * BLOCK + 99); },
       {"-a", "damaged"},
       differs("damaged.cdt", 5 * BLOCK),
       "damaged",
       false},
      {"the patch applied to another file of the same size",
       [](TempDir&) {},
       {"-a", "-i", "damaged.cdp", "other"},
       differs("damaged.cdt", 2 * BLOCK),
       "other",
       false},
      {"a damaged checksum file",
       [](TempDir& d) { change_byte(d / "damaged.cdt", 30); },
       {"-a", "damaged"},
       bad_seal + "Error - the checksum file 'damaged.cdt' beside the patch is refused (see "
                  "above); the target is untouched\n",
       "damaged",
       false},
      {"a checksum file of another block size",
       [](TempDir& d) {
         ASSERT_EQ(testing::run_rempar({"-b", "8192", "damaged"}, d.path()).status, 0);
       },
       {"-a", "damaged"},
       "Error - .CDP record at 8192 of 4096 bytes is not one block of the checksum file "
       "'damaged.cdt' (blocks of 8192 bytes): the patch is for another file, or that file was "
       "made again\n",
       "damaged",
       false},
      {"a checksum file of another file size",
       [](TempDir& d) {
         testing::write_file(d / "short", Bytes(SIZE - 1));
         ASSERT_EQ(
             testing::run_rempar({"-b", "4096", "-o", "damaged.cdt", "short"}, d.path()).status, 0);
       },
       {"-a", "damaged"},
       "Error - the checksum file 'damaged.cdt' records a file of 65635 bytes, the target has "
       "65636: the patch is for another file\n",
       "damaged",
       false},
      {"a block marked unreadable in the checksum file, changed since",
       [](TempDir& d) {
         store_checksum(d / "damaged.cdt", 5, unreadable_marker(BLOCK));
         change_byte(d / "damaged", 5 * BLOCK + 99);
       },
       {"-a", "damaged"},
       PATCHED,
       "damaged",
       true},
      {"a patch name in capitals binds its checksum file too",
       [](TempDir& d) {
         std::filesystem::rename(d / "damaged.cdp", d / "DAMAGED.CDP");
         std::filesystem::rename(d / "damaged.cdt", d / "DAMAGED.cdt");
         change_byte(d / "damaged", 2 * BLOCK);
       },
       {"-a", "-i", "DAMAGED.CDP", "damaged"},
       differs("DAMAGED.cdt", 2 * BLOCK),
       "damaged",
       false},
      {"a folder at the checksum file's name is no checksum file",
       [](TempDir& d) {
         std::filesystem::remove(d / "damaged.cdt");
         std::filesystem::create_directory(d / "damaged.cdt");
       },
       {"-a", "damaged"},
       PATCHED,
       "damaged",
       true},
  };
  for (const Case& c : cases) {
    SetUp();
    c.prepare(dir_);
    const Bytes before = testing::read_file(dir_ / c.target);
    const auto result = run(c.args);
    EXPECT_EQ(result.out, PROCESSING + c.out) << c.what;
    EXPECT_EQ(result.status, c.out == PATCHED ? 0 : 2) << c.what;
    Bytes expected = before;
    if (c.patched) {
      for (std::size_t block = 0; block * BLOCK < SIZE; ++block) {
        const std::size_t begin = block * BLOCK;
        const std::size_t end = std::min(SIZE, begin + BLOCK);
        if (!std::equal(good_.begin() + begin, good_.begin() + end, damaged_.begin() + begin)) {
          std::copy(good_.begin() + begin, good_.begin() + end, expected.begin() + begin);
        }
      }
    }
    EXPECT_EQ(testing::read_file(dir_ / c.target), expected) << c.what;
    std::filesystem::remove_all(dir_ / "damaged.cdt");
  }
}

// A run killed inside a record leaves that block torn on a write page
// boundary; the next run finishes the repair. A torn block anywhere else, or
// cut elsewhere, is a target that changed since.
TEST(BoundPatchTorn, AnApplicationStoppedInsideABlockIsFinishedByTheNext) {
  constexpr std::size_t TORN_BLOCK = 3 * 4096 + 1000;  // blocks off the page grid
  constexpr std::size_t TORN_SIZE = 8 * TORN_BLOCK + 100;
  // From the start of `block` to its `n`th page boundary.
  const auto cut = [](std::size_t block, std::size_t n) {
    return (block * TORN_BLOCK / 4096 + n) * 4096 - block * TORN_BLOCK;
  };
  struct Case {
    const char* what;
    std::vector<std::pair<std::size_t, std::size_t>> applied;  // block, bytes from its start
    std::string out;
  };
  const Case cases[] = {
      {"stopped at a page boundary", {{1, TORN_BLOCK}, {3, cut(3, 2)}}, PATCHED},
      {"stopped at the first boundary", {{1, TORN_BLOCK}, {3, cut(3, 1)}}, PATCHED},
      {"stopped in the first record", {{1, cut(1, 3)}}, PATCHED},
      {"cut before the first boundary",
       {{1, TORN_BLOCK}, {3, cut(3, 1) - 100}},
       differs("damaged.cdt", 3 * TORN_BLOCK)},
      {"a record before it not applied", {{3, cut(3, 1)}}, differs("damaged.cdt", 3 * TORN_BLOCK)},
      {"a record after it applied",
       {{1, TORN_BLOCK}, {3, cut(3, 1)}, {5, TORN_BLOCK}},
       differs("damaged.cdt", 3 * TORN_BLOCK)},
      {"two torn blocks", {{1, cut(1, 1)}, {3, cut(3, 1)}}, differs("damaged.cdt", 3 * TORN_BLOCK)},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const Bytes good = testing::random_bytes(TORN_SIZE, 11);
    Bytes target = good;
    const Bytes other = testing::random_bytes(TORN_SIZE, 12);
    for (const std::size_t block : {1, 3, 5}) {
      const auto begin = static_cast<std::ptrdiff_t>(block * TORN_BLOCK);
      std::copy(other.begin() + begin, other.begin() + begin + TORN_BLOCK, target.begin() + begin);
    }
    testing::write_file(dir / "good", good);
    testing::write_file(dir / "damaged", target);
    ASSERT_EQ(testing::run_rempar({"-b", std::to_string(TORN_BLOCK), "damaged"}, dir.path()).status,
              0);
    ASSERT_EQ(testing::run_rempar({"-p", "-i", "damaged.cdt", "good"}, dir.path()).status, 0);
    for (const auto& [block, length] : c.applied) {
      const auto begin = static_cast<std::ptrdiff_t>(block * TORN_BLOCK);
      std::copy(good.begin() + begin, good.begin() + begin + static_cast<std::ptrdiff_t>(length),
                target.begin() + begin);
    }
    testing::write_file(dir / "damaged", target);
    const auto result = testing::run_rempar({"-a", "damaged"}, dir.path());
    EXPECT_EQ(result.out, PROCESSING + c.out) << c.what;
    EXPECT_EQ(testing::read_file(dir / "damaged"), c.out == PATCHED ? good : target) << c.what;
  }
}

TEST_F(BoundPatch, TheSamePatchAppliedTwiceIsAcceptedBothTimes) {
  for (int run_number = 0; run_number < 2; ++run_number) {
    const auto result = run({"-a", "damaged"});
    EXPECT_EQ(result.out, PROCESSING + PATCHED) << run_number;
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(testing::read_file(dir_ / "damaged"), good_);
  }
}

}  // namespace
}  // namespace rempar
