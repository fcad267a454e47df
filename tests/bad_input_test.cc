// Damaged containers, systematically: for valid checksum files and patch
// files of several sizes, every single-byte change, every truncation and
// appended bytes; then containers whose seal is right but whose structure is
// wrong. Each is rejected with its one message and exit status 2; patch
// creation leaves no patch file, patch application never writes to its
// target.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

#include "cli/dispatch.h"
#include "container/container_writer.h"
#include "container/layout.h"
#include "ops/create_checksum.h"
#include "ops/create_patch.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::TempDir;

using testing::PROCESSING;

// The whole file, read in one piece: targets are read after every run.
Bytes contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  Bytes bytes(in ? static_cast<std::size_t>(in.tellg()) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// Checks containers of one kind against one fixed file, again and again:
// patch creation for checksum files, patch application for patch files.
class Bench {
 public:
  // `file` is the good copy for checksum files, the target for patch files.
  // The hook counts writes to the target: patch application must make none.
  Bench(ContainerKind kind, Bytes file)
      : kind_(kind), file_(std::move(file)), hook_([this](io::Op op, const std::string& name) {
          if (op == io::Op::write && name == operand()) ++target_writes_;
          return io::Fault{};
        }) {
    testing::write_file(operand(), file_);
  }
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  std::string operand() const { return dir_ / "data"; }
  std::string container() const { return dir_ / (kind_ == ContainerKind::CDT ? "c.cdt" : "c.cdp"); }
  std::string patch() const { return dir_ / "out.cdp"; }

  struct Run {
    int status;
    std::string out;
  };

  // Runs the operation the container is for, from the command line's
  // options on; with `end_to_end` false, a checksum file goes straight to
  // the patch writer instead (the driver around it allocates a 1 MiB
  // buffer, which makes tens of thousands of runs slow under the
  // sanitizers), and the patch file it writes must stay empty.
  Run run(const Bytes& bytes, bool end_to_end = true) {
    target_writes_ = 0;
    testing::overwrite_file(container(), bytes);
    ++tried_;
    if (!end_to_end && kind_ == ContainerKind::CDT) return write_patch_only();
    Options options;
    options.mode = kind_ == ContainerKind::CDT ? Mode::create_patch : Mode::apply_patch;
    options.input_name = container();
    if (kind_ == ContainerKind::CDT) options.output_name = patch();
    std::ostringstream out;
    const int status = dispatch(options, operand(), out);
    return {status, out.str()};
  }

  Run write_patch_only() {
    auto cdt = io::File::open(container(), io::File::Mode::read);
    auto verified = io::File::open(operand(), io::File::Mode::read);
    auto patch_file = io::File::open(patch(), io::File::Mode::create_rw);
    EXPECT_TRUE(cdt && verified && patch_file);
    if (!cdt || !verified || !patch_file) return {-1, ""};
    const auto size = cdt->info().value_or(io::PathInfo{}).size;
    std::ostringstream out;
    bool found = false;
    bool accepted = false;
    {
      ContainerWriter writer(*patch_file, 4096);
      const auto sizes =
          accept_checksum_file(*cdt, size, static_cast<std::int64_t>(file_.size()), out);
      accepted = sizes && write_patch(*cdt, *verified, writer, *sizes, size, found, out);
    }
    if (!accepted) {
      EXPECT_EQ(patch_file->info().value_or(io::PathInfo{}).size, 0) << "a rejected checksum file";
      std::filesystem::remove(patch());
    }
    return {accepted ? 0 : 2, PROCESSING + out.str()};
  }

  // Runs `bytes` and checks that they are turned away with `message` (a
  // prefix of it when `prefix_only`) and that nothing was written.
  void expect_rejected(const Bytes& bytes, const std::string& message, const std::string& what,
                       bool prefix_only = false, bool end_to_end = true) {
    const Run r = run(bytes, end_to_end);
    EXPECT_EQ(r.status, 2) << what;
    if (prefix_only) {
      EXPECT_TRUE(r.out.starts_with(PROCESSING + message)) << what << ":\n" << r.out;
    } else {
      EXPECT_EQ(r.out, PROCESSING + message) << what;
    }
    expect_nothing_written(what);
  }

  void expect_nothing_written(const std::string& what) {
    if (kind_ == ContainerKind::CDT) {
      EXPECT_FALSE(testing::exists(patch())) << what << " left a patch file";
      return;
    }
    EXPECT_EQ(target_writes_, 0) << what << " wrote to the target";
    target_writes_ = 0;
    EXPECT_EQ(contents(operand()), file_) << what;
  }

  // What the check says about a container of this kind damaged this way.
  std::string invalid() const { return "Error - ." + kind_name() + " invalid\n"; }
  std::string bad_seal() const {
    return "Error - bad CRC for ." + kind_name() + " file (probably damaged?)\n";
  }
  std::string kind_name() const { return kind_ == ContainerKind::CDT ? "CDT" : "CDP"; }
  int tried() const { return tried_; }

 private:
  ContainerKind kind_;
  Bytes file_;
  TempDir dir_;
  int target_writes_ = 0;
  int tried_ = 0;
  testing::FaultHookGuard hook_;
};

// A valid container and how thoroughly to damage it.
struct Sample {
  const char* what;
  ContainerKind kind;
  Bytes file;       // the good copy, or the patch's target
  Bytes container;  // valid against `file`
};

// Every byte takes every other value in small containers, three in larger
// ones; each prefix shorter than the whole; a few kinds of tail.
int damage_every_byte(const Sample& s) {
  Bench bench(s.kind, s.file);
  // The container itself is good: patch creation and application accept it.
  const Bench::Run good = bench.run(s.container);
  EXPECT_EQ(good.status, 0) << s.what << ":\n" << good.out;
  std::filesystem::remove(bench.patch());
  testing::overwrite_file(bench.operand(), s.file);
  const int before = bench.tried();

  const std::size_t n = s.container.size();
  const bool every_value = n <= 64;
  // One run in 50 goes through the whole driver; the rest through the reader.
  int runs = 0;
  const auto end_to_end = [&runs] { return runs++ % 50 == 0; };
  for (std::size_t at = 0; at < n; ++at) {
    std::vector<std::uint8_t> masks;
    if (every_value) {
      for (int m = 1; m < 256; ++m) masks.push_back(static_cast<std::uint8_t>(m));
    } else {
      masks = {0x01, 0x80, 0xFF};
    }
    for (const std::uint8_t mask : masks) {
      Bytes bad = s.container;
      bad[at] ^= mask;
      // Magic, then version, then whatever the seal covers and the seal. A
      // version changed into the other one this program knows still fails
      // its seal.
      const bool unknown_version =
          at >= 8 && at < 10 && layout_for_version(bad[8], bad[9]) == nullptr;
      const std::string expected = at < 8            ? bench.invalid()
                                   : unknown_version ? "Error - file is v"
                                                     : bench.bad_seal();
      bench.expect_rejected(
          bad, expected,
          std::string(s.what) + ": byte " + std::to_string(at) + " ^ " + std::to_string(mask),
          unknown_version, end_to_end());
      if (::testing::Test::HasFailure()) return bench.tried() - before;
    }
  }
  for (std::size_t length = 0; length < n; ++length) {
    const Bytes cut(s.container.begin(), s.container.begin() + static_cast<std::ptrdiff_t>(length));
    bench.expect_rejected(cut, length < 22 ? bench.invalid() : bench.bad_seal(),
                          std::string(s.what) + ": cut to " + std::to_string(length), false,
                          end_to_end());
    if (::testing::Test::HasFailure()) return bench.tried() - before;
  }
  const Bytes seal(s.container.end() - 4, s.container.end());
  const std::vector<std::pair<const char*, Bytes>> tails = {
      {"one zero byte", Bytes(1, 0)},
      {"four zero bytes", Bytes(4, 0)},
      {"the seal again", seal},
      {"a byte of 0xFF", Bytes(1, 0xFF)},
      {"an end marker", Bytes(4, 0xFF)},
      {"4 KiB of zeros", Bytes(4096, 0)},
      {"the whole container again", s.container},
  };
  for (const auto& [tail_name, tail] : tails) {
    Bytes longer = s.container;
    longer.insert(longer.end(), tail.begin(), tail.end());
    bench.expect_rejected(longer, bench.bad_seal(),
                          std::string(s.what) + ": " + tail_name + " appended");
  }
  return bench.tried() - before;
}

int damage_all(const std::vector<Sample>& samples) {
  int tried = 0;
  for (const Sample& s : samples) {
    const int n = damage_every_byte(s);
    std::cout << "[ inputs   ] " << s.what << " (" << s.container.size() << " bytes): " << n
              << " damaged copies rejected\n";
    tried += n;
  }
  std::cout << "[ inputs   ] total: " << tried << " bad inputs tried\n";
  return tried;
}

const Bytes SMALL = testing::random_bytes(100, 11);

const ContainerLayout* const LARGE = &LAYOUT_3_0;

TEST(BadInput, DamagedChecksumFiles) {
  const Bytes large = testing::random_bytes(64 << 10, 12);
  damage_all({
      {"checksum file of an empty file",
       ContainerKind::CDT,
       {},
       testing::checksum_file_of({}, 16384)},
      {"checksum file of 100 bytes in 16-byte blocks", ContainerKind::CDT, SMALL,
       testing::checksum_file_of(SMALL, 16)},
      {"checksum file of 64 KiB in 64-byte blocks", ContainerKind::CDT, large,
       testing::checksum_file_of(large, 64)},
      {"3.0 checksum file of an empty file",
       ContainerKind::CDT,
       {},
       testing::checksum_file_of({}, 16384, LARGE)},
      {"3.0 checksum file of 100 bytes in 16-byte blocks", ContainerKind::CDT, SMALL,
       testing::checksum_file_of(SMALL, 16, LARGE)},
  });
}

TEST(BadInput, DamagedPatchFiles) {
  const Bytes large = testing::random_bytes(16 << 10, 13);
  const Bytes last_changed = [] {
    Bytes b = SMALL;
    b.back() ^= 1;
    return b;
  }();
  damage_all({
      {"patch of one short last block", ContainerKind::CDP, last_changed,
       testing::patch_file_of(SMALL, last_changed, 16)},
      {"patch of one full block", ContainerKind::CDP, testing::damaged_copy(SMALL, 16, 100),
       testing::patch_file_of(SMALL, testing::damaged_copy(SMALL, 16, 100), 16)},
      {"patch of 64 records", ContainerKind::CDP, testing::damaged_copy(large, 64, 4),
       testing::patch_file_of(large, testing::damaged_copy(large, 64, 4), 64)},
      {"3.0 patch of one short last block", ContainerKind::CDP, last_changed,
       testing::patch_file_of(SMALL, last_changed, 16, LARGE)},
      {"3.0 patch of 64 records", ContainerKind::CDP, testing::damaged_copy(large, 64, 4),
       testing::patch_file_of(large, testing::damaged_copy(large, 64, 4), 64, LARGE)},
  });
}

// Containers larger than one read of the check: damage where the reads
// meet, at the ends, and in the seal when it straddles two reads.
TEST(BadInput, DamagedContainersLargerThanOneRead) {
  const Bytes data = testing::random_bytes(320 << 10, 14);  // a checksum file of 1.25 MiB
  const Bytes cdt = testing::checksum_file_of(data, 1);
  Bench checksums(ContainerKind::CDT, data);
  const std::size_t mib = 1 << 20;
  for (const std::size_t at : {std::size_t{10}, mib - 2, mib - 1, mib, mib + 1, cdt.size() - 5,
                               cdt.size() - 4, cdt.size() - 1}) {
    Bytes bad = cdt;
    bad[at] ^= 0x10;
    checksums.expect_rejected(bad, checksums.bad_seal(),
                              "checksum file, byte " + std::to_string(at));
  }
  for (const std::size_t length : {mib - 1, mib, mib + 1, mib + 3, cdt.size() - 1}) {
    checksums.expect_rejected(Bytes(cdt.begin(), cdt.begin() + static_cast<std::ptrdiff_t>(length)),
                              checksums.bad_seal(),
                              "checksum file cut to " + std::to_string(length));
  }
  // A patch file of over 1 MiB is read again record by record.
  const Bytes good = testing::random_bytes((8 << 20) + 100, 15);
  const Bytes broken = testing::damaged_copy(good, 1 << 20, 1);
  const Bytes cdp = testing::patch_file_of(good, broken, 1 << 20);
  ASSERT_GT(cdp.size(), std::size_t{8} << 20);
  Bench patches(ContainerKind::CDP, broken);
  for (const std::size_t at : {std::size_t{20}, cdp.size() / 2, cdp.size() - 4}) {
    Bytes bad = cdp;
    bad[at] ^= 0x01;
    patches.expect_rejected(bad, patches.bad_seal(), "large patch, byte " + std::to_string(at));
  }
  patches.expect_rejected(Bytes(cdp.begin(), cdp.end() - 1), patches.bad_seal(),
                          "large patch cut by one");
  std::cout << "[ inputs   ] total: " << checksums.tried() + patches.tried()
            << " bad inputs tried\n";
}

struct Structure {
  const char* what;
  std::function<void(Bytes&)> change;  // applied before the container is sealed afresh
  std::string message;
};

Bytes& set32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

void insert32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  Bytes four(4, 0);
  set32(four, 0, value);
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), four.begin(), four.end());
}

void erase(Bytes& bytes, std::size_t at, std::size_t n) {
  bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at),
              bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
}

void expect_structures_rejected(ContainerKind kind, const Bytes& file, const Bytes& valid,
                                const std::vector<Structure>& cases) {
  Bench bench(kind, file);
  for (const Structure& c : cases) {
    Bytes bad = valid;
    c.change(bad);
    testing::reseal(bad);
    bench.expect_rejected(bad, c.message, c.what);
  }
}

// What the checks say about the 100-byte file of the shape tests.
std::string count(std::size_t have, std::size_t need) {
  return "Error - .CDT has " + std::to_string(have) +
         " bytes where its file size and block size need " + std::to_string(need) + "\n";
}
std::string size_cdt(std::uint64_t recorded) {
  return "Error - verified file size is 100 instead of " + std::to_string(recorded) + "\n";
}
std::string size_cdp(std::uint64_t recorded) {
  return "Error - patch target file size is 100 instead of " + std::to_string(recorded) + "\n";
}
std::string past(std::uint64_t offset, std::uint64_t length) {
  return "Error - .CDP record at " + std::to_string(offset) + " of " + std::to_string(length) +
         " bytes runs past the end of the 100-byte file\n";
}
const std::string malformed =
    "Error - .CDP records are malformed (the file does not fit its format)\n";

void set64(Bytes& bytes, std::size_t at, std::uint64_t value) {
  testing::set_le(bytes, at, value, 8);
}

// 100 bytes in 16-byte blocks: 7 checksums at 18..46, the seal at 46.
TEST(BadInput, ResealedChecksumFilesOfTheWrongShape) {
  const Bytes cdt = testing::checksum_file_of(SMALL, 16);
  ASSERT_EQ(cdt.size(), 50u);
  expect_structures_rejected(
      ContainerKind::CDT, SMALL, cdt,
      {
          {"file size one less", [](Bytes& b) { set32(b, 10, 99); }, size_cdt(99)},
          {"file size one more", [](Bytes& b) { set32(b, 10, 101); }, size_cdt(101)},
          {"file size 0", [](Bytes& b) { set32(b, 10, 0); }, size_cdt(0)},
          {"file size 2^32 - 1", [](Bytes& b) { set32(b, 10, 0xFFFFFFFFu); },
           size_cdt(0xFFFFFFFFu)},
          {"block size 0", [](Bytes& b) { set32(b, 14, 0); },
           "Error - .CDT records a block size of 0\n"},
          {"block size 8: 13 checksums needed", [](Bytes& b) { set32(b, 14, 8); }, count(50, 74)},
          {"block size 1: 100 checksums needed", [](Bytes& b) { set32(b, 14, 1); }, count(50, 422)},
          {"block size 14: one checksum missing", [](Bytes& b) { set32(b, 14, 14); },
           count(50, 54)},
          {"one checksum missing", [](Bytes& b) { erase(b, 42, 4); }, count(46, 50)},
          {"no checksums", [](Bytes& b) { erase(b, 18, 28); }, count(22, 50)},
          {"the sizes swapped", [](Bytes& b) { set32(set32(b, 10, 16), 14, 100); }, size_cdt(16)},
      });
}

// A 100-byte target; the patch holds one 16-byte record at 32: its header
// at 14..22, its bytes at 22..38, the end marker at 38, the seal at 42.
TEST(BadInput, ResealedPatchFilesOfTheWrongShape) {
  Bytes target = SMALL;
  target[32] ^= 1;
  const Bytes good_patch = testing::patch_file_of(SMALL, target, 16);
  ASSERT_EQ(good_patch.size(), 46u);
  ASSERT_EQ(testing::le32_at(good_patch, 14), 32u);
  expect_structures_rejected(
      ContainerKind::CDP, target, good_patch,
      {
          {"recorded size 99", [](Bytes& b) { set32(b, 10, 99); }, size_cdp(99)},
          {"recorded size 0", [](Bytes& b) { set32(b, 10, 0); }, size_cdp(0)},
          {"recorded size 2^32 - 1", [](Bytes& b) { set32(b, 10, 0xFFFFFFFFu); },
           size_cdp(0xFFFFFFFFu)},
          {"a record one byte past the end", [](Bytes& b) { set32(b, 14, 85); }, past(85, 16)},
          {"a record far past the end", [](Bytes& b) { set32(b, 14, 0xFFFFFFF0u); },
           past(0xFFFFFFF0u, 16)},
          {"a record whose end wraps around", [](Bytes& b) { set32(b, 14, 0xFFFFFFFEu); },
           past(0xFFFFFFFEu, 16)},
          {"a length one more than its bytes", [](Bytes& b) { set32(b, 18, 17); }, malformed},
          {"a length one less than its bytes", [](Bytes& b) { set32(b, 18, 15); }, malformed},
          {"a length of 2^32 - 1", [](Bytes& b) { set32(b, 18, 0xFFFFFFFFu); }, malformed},
          {"the end marker missing", [](Bytes& b) { erase(b, 38, 4); }, malformed},
          {"the end marker one off", [](Bytes& b) { set32(b, 38, 0xFFFFFFFEu); }, malformed},
          {"four stray bytes before the end marker", [](Bytes& b) { insert32(b, 38, 0); },
           malformed},
          {"a record's bytes cut by one", [](Bytes& b) { erase(b, 37, 1); }, malformed},
          {"no records and an end marker of zeros",
           [](Bytes& b) {
             b.resize(14);
             b.resize(22, 0);
           },
           malformed},
      });
}

// The same shapes in version 3.0: 100 bytes in 16-byte blocks, the file size
// at 10..18, the block size at 18, 7 checksums at 22..50, the seal at 50.
TEST(BadInput, ResealedLargeFormatChecksumFilesOfTheWrongShape) {
  const Bytes cdt = testing::checksum_file_of(SMALL, 16, LARGE);
  ASSERT_EQ(cdt.size(), 54u);
  expect_structures_rejected(
      ContainerKind::CDT, SMALL, cdt,
      {
          {"file size one less", [](Bytes& b) { set64(b, 10, 99); }, size_cdt(99)},
          {"file size 2^32 + 100: the high half counts",
           [](Bytes& b) { set64(b, 10, (1ULL << 32) + 100); }, size_cdt((1ULL << 32) + 100)},
          {"file size 2^64 - 1", [](Bytes& b) { set64(b, 10, ~0ULL); }, size_cdt(~0ULL)},
          {"block size 0", [](Bytes& b) { set32(b, 18, 0); },
           "Error - .CDT records a block size of 0\n"},
          {"block size 8: 13 checksums needed", [](Bytes& b) { set32(b, 18, 8); }, count(54, 78)},
          {"one checksum missing", [](Bytes& b) { erase(b, 46, 4); }, count(50, 54)},
          {"a 2.0 body behind a 3.0 header", [](Bytes& b) { erase(b, 14, 4); },
           size_cdt((16ULL << 32) + 100)},
      });
}

// A 100-byte target; the 3.0 patch holds one 16-byte record at 32: its
// offset at 18..26, its length at 26..30, its bytes at 30..46, the 8-byte
// end marker at 46, the seal at 54.
TEST(BadInput, ResealedLargeFormatPatchFilesOfTheWrongShape) {
  Bytes target = SMALL;
  target[32] ^= 1;
  const Bytes good_patch = testing::patch_file_of(SMALL, target, 16, LARGE);
  ASSERT_EQ(good_patch.size(), 58u);
  ASSERT_EQ(testing::le64_at(good_patch, 18), 32u);
  ASSERT_EQ(testing::le64_at(good_patch, 46), ~0ULL);
  expect_structures_rejected(
      ContainerKind::CDP, target, good_patch,
      {
          {"recorded size 99", [](Bytes& b) { set64(b, 10, 99); }, size_cdp(99)},
          {"recorded size 2^32 + 100", [](Bytes& b) { set64(b, 10, (1ULL << 32) + 100); },
           size_cdp((1ULL << 32) + 100)},
          {"a record one byte past the end", [](Bytes& b) { set64(b, 18, 85); }, past(85, 16)},
          {"a record at 2^32 + 32: the high half counts",
           [](Bytes& b) { set64(b, 18, (1ULL << 32) + 32); }, past((1ULL << 32) + 32, 16)},
          {"a record near 2^64, whose end wraps around", [](Bytes& b) { set64(b, 18, ~0ULL - 7); },
           past(~0ULL - 7, 16)},
          {"a length one more than its bytes", [](Bytes& b) { set32(b, 26, 17); }, malformed},
          {"a length of 2^32 - 1", [](Bytes& b) { set32(b, 26, 0xFFFFFFFFu); }, malformed},
          {"the end marker missing", [](Bytes& b) { erase(b, 46, 8); }, malformed},
          {"a 2.0 end marker of 4 bytes", [](Bytes& b) { erase(b, 46, 4); }, malformed},
          {"the end marker one off", [](Bytes& b) { set64(b, 46, ~0ULL - 1); }, malformed},
          {"a 2.0 record behind a 3.0 header",
           [](Bytes& b) {
             erase(b, 22, 4);
             erase(b, 42, 4);
           },
           malformed},
      });
}

// Every byte behind the seal changed and the seal made good again: the
// structure alone must keep the damage out. Either the container still
// makes sense (a changed checksum, a changed record byte) or it is turned
// away with one message and nothing written.
TEST(BadInput, EveryResealedByteChange) {
  const Bytes one_record = testing::patch_file_of(SMALL, testing::damaged_copy(SMALL, 16, 100), 16);
  struct Case {
    ContainerKind kind;
    Bytes file;
    Bytes container;
  };
  const Case cases[] = {
      {ContainerKind::CDT, SMALL, testing::checksum_file_of(SMALL, 16)},
      {ContainerKind::CDP, testing::damaged_copy(SMALL, 16, 100), one_record},
      {ContainerKind::CDT, SMALL, testing::checksum_file_of(SMALL, 16, LARGE)},
      {ContainerKind::CDP, testing::damaged_copy(SMALL, 16, 100),
       testing::patch_file_of(SMALL, testing::damaged_copy(SMALL, 16, 100), 16, LARGE)},
  };
  int rejected = 0;
  int accepted = 0;
  for (const Case& c : cases) {
    Bench bench(c.kind, c.file);
    for (std::size_t at = 10; at + 4 < c.container.size(); ++at) {
      for (const std::uint8_t mask : {0x01, 0x02, 0x10, 0x80, 0xFF}) {
        Bytes bad = c.container;
        bad[at] ^= mask;
        testing::reseal(bad);
        const std::string what =
            bench.kind_name() + " byte " + std::to_string(at) + " ^ " + std::to_string(mask);
        testing::overwrite_file(bench.operand(), c.file);
        const Bench::Run r = bench.run(bad);
        if (r.status == 0) {
          ++accepted;
          EXPECT_NE(r.out.find("Completed"), std::string::npos) << what;
          EXPECT_EQ(contents(bench.operand()).size(), c.file.size()) << what;
          std::filesystem::remove(bench.patch());
          continue;
        }
        ++rejected;
        EXPECT_EQ(r.status, 2) << what;
        EXPECT_TRUE(r.out.starts_with(PROCESSING + "Error")) << what << ":\n" << r.out;
        EXPECT_EQ(r.out.find('\n', PROCESSING.size()), r.out.size() - 1) << what << ":\n" << r.out;
        bench.expect_nothing_written(what);
      }
    }
  }
  std::cout << "[ inputs   ] resealed changes: " << rejected << " rejected, " << accepted
            << " still well formed\n";
}

}  // namespace
}  // namespace rempar
