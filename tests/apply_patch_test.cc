#include "ops/apply_patch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "checksum/block_crc.h"
#include "common/le.h"
#include "ops/record_writer.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::TempDir;

using testing::PATCHED;
using testing::PROCESSING;

struct Record {
  std::uint32_t offset;
  Bytes data;
  std::optional<std::uint32_t> length = {};  // when it should lie about its data
};

// A sealed patch file; `tail` stands between the records and the seal in
// place of the end marker when given.
Bytes patch_file(std::uint32_t file_size, const std::vector<Record>& records,
                 std::optional<Bytes> tail = {}) {
  Bytes bytes = testing::bytes_of("KaLWCRCP");
  bytes.insert(bytes.end(), {0x02, 0x00});
  testing::append_le32(bytes, file_size);
  for (const Record& r : records) {
    testing::append_le32(bytes, r.offset);
    testing::append_le32(bytes, r.length.value_or(static_cast<std::uint32_t>(r.data.size())));
    bytes.insert(bytes.end(), r.data.begin(), r.data.end());
  }
  if (tail) {
    bytes.insert(bytes.end(), tail->begin(), tail->end());
  } else {
    testing::append_le32(bytes, 0xFFFFFFFFu);
  }
  testing::append_le32(bytes, block_crc(bytes));
  return bytes;
}

const Bytes TARGET = testing::bytes_of("0123X56789");

TEST(ApplyPatch, WorkedExampleAndAgain) {
  TempDir dir;
  testing::write_file(dir / "data", TARGET);
  testing::write_file(dir / "data.cdp", patch_file(10, {{4, testing::bytes_of("4567")}}));
  for (int run = 0; run < 2; ++run) {
    const auto result = testing::run_rempar({"-a", "data"}, dir.path());
    EXPECT_EQ(result.out, PROCESSING + PATCHED);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(testing::read_file(dir / "data"), testing::bytes_of("0123456789"));
  }
}

TEST(ApplyPatch, AcceptedOddities) {
  struct Case {
    const char* what;
    Bytes patch;
    std::string after;
  };
  const Case cases[] = {
      {"no records", patch_file(10, {}), "0123X56789"},
      {"a record of length 0", patch_file(10, {{3, {}}}), "0123X56789"},
      {"a record at the very end", patch_file(10, {{9, testing::bytes_of("!")}}), "0123X5678!"},
      {"records out of order",
       patch_file(10, {{8, testing::bytes_of("ab")}, {0, testing::bytes_of("z")}}), "z123X567ab"},
      // The records end at the end marker; bytes between it and the seal are
      // never read, and a record there is not applied.
      {"bytes after the end marker",
       patch_file(10, {{1, testing::bytes_of("a")}}, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1, 2}),
       "0a23X56789"},
      {"a record after the end marker",
       patch_file(10, {}, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 1, 0, 0, 0, 'Z'}),
       "0123X56789"},
      {"the end marker twice", patch_file(10, {{4, testing::bytes_of("4")}}, Bytes(8, 0xFF)),
       "0123456789"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    testing::write_file(dir / "t", TARGET);
    testing::write_file(dir / "p", c.patch);
    const auto result = testing::run_rempar({"-a", "-i", "p", "t"}, dir.path());
    EXPECT_EQ(result.out, PROCESSING + PATCHED) << c.what;
    EXPECT_EQ(testing::read_file(dir / "t"), testing::bytes_of(c.after)) << c.what;
  }
}

// Whatever is wrong, the target is left exactly as it was.
TEST(ApplyPatch, RejectionsLeaveTheTargetUnchanged) {
  const Bytes good_record = patch_file(10, {{4, testing::bytes_of("4567")}});
  Bytes short_patch = good_record;
  short_patch.resize(21);
  Bytes cdt = testing::bytes_of("KaLWCRCC");
  cdt.insert(cdt.end(), {0x02, 0x00, 0x0A, 0, 0, 0, 0, 0x40, 0, 0});
  testing::append_le32(cdt, 0);
  testing::append_le32(cdt, block_crc(cdt));
  const std::string malformed =
      "Error - .CDP records are malformed (the file does not fit its format)\n";
  struct Case {
    const char* what;
    Bytes patch;
    std::string message;
  };
  const Case cases[] = {
      {"21 bytes", short_patch, "Error - .CDP invalid\n"},
      {"a checksum file", cdt, "Error - .CDP invalid\n"},
      {"records 999 bytes", patch_file(999, {}),
       "Error - patch target file size is 10 instead of 999\n"},
      {"a record past the end", patch_file(10, {{8, testing::bytes_of("abc")}}),
       "Error - .CDP record at 8 of 3 bytes runs past the end of the 10-byte file\n"},
      {"a record far past the end",
       patch_file(10, {{0, {}}, {0xFFFFFFF0u, testing::bytes_of("a")}}),
       "Error - .CDP record at 4294967280 of 1 bytes runs past the end of the 10-byte file\n"},
      {"a good record after a bad one",
       patch_file(10, {{20, testing::bytes_of("a")}, {0, testing::bytes_of("b")}}),
       "Error - .CDP record at 20 of 1 bytes runs past the end of the 10-byte file\n"},
      {"length runs into the seal", patch_file(10, {{0, testing::bytes_of("ab"), 6}}), malformed},
      {"huge length", patch_file(10, {{0, testing::bytes_of("ab"), 0xFFFFFFF0u}}), malformed},
      {"no end marker", patch_file(10, {{0, testing::bytes_of("ab")}}, Bytes{}), malformed},
      {"a torn record header", patch_file(10, {{1, testing::bytes_of("a")}}, Bytes{1, 0, 0}),
       malformed},
      {"an end marker torn by the seal",
       patch_file(10, {{1, testing::bytes_of("a")}}, Bytes{0xFF, 0xFF}), malformed},
  };
  for (const Case& c : cases) {
    TempDir dir;
    testing::write_file(dir / "data", TARGET);
    testing::write_file(dir / "data.cdp", c.patch);
    const auto result = testing::run_rempar({"-a", "data"}, dir.path());
    EXPECT_EQ(result.out, PROCESSING + c.message) << c.what;
    EXPECT_EQ(result.status, 2) << c.what;
    EXPECT_EQ(testing::read_file(dir / "data"), TARGET) << c.what;
  }
}

TEST(ApplyPatch, RefusedFiles) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"-a", "missing"}, "Error opening .CDP file 'missing.cdp'\n"},
      {{"-a", "-i", "data.cdp", "missing"}, "Error opening target file 'missing'\n"},
      {{"-a", "-i", "data", "data"},
       "Error - target file 'data' is the .CDP file 'data'; writing it would destroy it\n"},
      {{"-a", "-i", "data.cdp", "big"},
       "Error - patch target file size is 2147483648 instead of 10\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    testing::write_file(dir / "data", TARGET);
    testing::write_file(dir / "data.cdp", patch_file(10, {{4, testing::bytes_of("4567")}}));
    testing::write_file(dir / "big", {});
    ASSERT_EQ(::truncate((dir / "big").c_str(), 1LL << 31), 0);
    const auto result = testing::run_rempar(c.args, dir.path());
    EXPECT_EQ(result.out, PROCESSING + c.message);
    EXPECT_EQ(result.status, 2);
    EXPECT_FALSE(testing::exists(dir / "missing"));
    EXPECT_EQ(testing::read_file(dir / "data"), TARGET);
  }
}

TEST(ApplyPatch, FailedWritesAreReportedWithAHint) {
  const std::string hint = "; applying the same patch again is safe\n";
  const struct {
    io::Op op;
    std::string said;  // after "Error writing target file 'NAME'"
  } cases[] = {
      // A refused record is reported, the others are still written.
      {io::Op::write,
       " at offset 4: Input/output error\nError - 1 of 1 records could not be "
       "written; the target is partly repaired, and applying the same patch "
       "again is safe\n"},
      {io::Op::sync, ": Input/output error" + hint},
      {io::Op::close, ": Input/output error" + hint},
  };
  for (const auto& c : cases) {
    TempDir dir;
    testing::write_file(dir / "data", TARGET);
    testing::write_file(dir / "data.cdp", patch_file(10, {{4, testing::bytes_of("4567")}}));
    const std::string target = dir / "data";
    std::ostringstream out;
    const Outcome outcome = [&] {
      const testing::ScopedFault fault(c.op, target, io::Fault{EIO});
      return run_apply_patch(dir / "data.cdp", target, out);
    }();
    EXPECT_EQ(outcome, Outcome::failed);
    EXPECT_EQ(out.str(), PROCESSING + "Error writing target file '" + target + "'" + c.said);
  }
}

}  // namespace
}  // namespace rempar

namespace rempar {
namespace {

// A record goes out in whole pages, however the patch was cut into pieces;
// on a block device each record is also flushed on its own.
TEST(RecordWriter, WritesWholePages) {
  const struct {
    std::vector<std::size_t> pieces;
    int writes;
  } cases[] = {
      {{16384}, 1},
      {{1000, 5000, 10384}, 3},  // [0, 4096), [4096, 8192) and the rest
      {{4096, 4096, 8192}, 3},
      {{1, 1, 16382}, 2},
      {{10000, 6384}, 3},
  };
  for (const auto& c : cases) {
    for (const bool block_device : {true, false}) {
      testing::TempDir dir;
      testing::write_file(dir / "target", Bytes(20000, 0));
      const Bytes record = testing::random_bytes(16384, 3);
      auto target = io::File::open(dir / "target", io::File::Mode::update_rw);
      ASSERT_TRUE(target);
      int writes = 0, syncs = 0;
      std::ostringstream out;
      {
        const testing::FaultHookGuard hook([&](io::Op op, const std::string&) {
          writes += op == io::Op::write;
          syncs += op == io::Op::sync;
          return io::Fault{};
        });
        RecordWriter writer(*target, block_device, out);
        std::uint64_t done = 0;
        for (const std::size_t n : c.pieces) {
          writer.write(CdpRecord{8192, 16384, 0}, done, std::span(record.data() + done, n));
          done += n;
        }
        EXPECT_EQ(writer.failed_records(), 0u);
      }
      EXPECT_EQ(writes, c.writes) << c.pieces.size();
      EXPECT_EQ(syncs, block_device ? 1 : 0);
      const Bytes now = testing::read_file(dir / "target");
      EXPECT_TRUE(std::equal(record.begin(), record.end(), now.begin() + 8192));
    }
  }
}

}  // namespace
}  // namespace rempar
