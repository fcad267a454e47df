// The repair cycle as a property: whatever the size, block size and damage,
// checksum creation on the damaged copy, patch creation from the good copy
// and patch application restore the good copy byte for byte, and a second
// patch creation finds nothing. Runs over every checksum kernel.

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string_view>
#include <vector>

#include "checksum/crc_kernels.h"
#include "checksum/kernel_choice.h"
#include "ops/apply_patch.h"
#include "ops/create_checksum.h"
#include "ops/create_patch.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::TempDir;

enum class Damage { none, one_byte, first_and_last, every_block, short_last_block, random_runs };

void damage(Bytes& data, Damage how, std::size_t block_size, std::mt19937& gen) {
  if (data.empty()) return;
  switch (how) {
    case Damage::none: break;
    case Damage::one_byte: data[gen() % data.size()] ^= 0x01; break;
    case Damage::first_and_last:
      data.front() ^= 0x80;
      data.back() ^= 0x80;
      break;
    case Damage::every_block:
      for (std::size_t at = 0; at < data.size(); at += block_size)
        data[at + gen() % std::min(block_size, data.size() - at)] ^= 0xFF;
      break;
    case Damage::short_last_block:
      data[data.size() - 1 -
           (data.size() % block_size == 0 ? 0 : gen() % (data.size() % block_size))] ^= 0x10;
      break;
    case Damage::random_runs:
      for (int run = 0; run < 5; ++run) {
        const std::size_t at = gen() % data.size();
        for (std::size_t i = at; i < std::min(data.size(), at + 1 + gen() % 50000); ++i)
          data[i] = static_cast<std::uint8_t>(gen());
      }
      break;
  }
}

// One full cycle; returns a failure description or nothing.
std::string repair(const Bytes& good, const Bytes& damaged, std::int32_t block_size) {
  TempDir dir;
  testing::write_file(dir / "good", good);
  testing::write_file(dir / "damaged", damaged);
  std::ostringstream out;
  if (run_create_checksum(dir / "damaged", dir / "damaged.cdt", block_size, out) !=
      Outcome::succeeded)
    return out.str();
  if (run_create_patch(dir / "damaged.cdt", dir / "good", dir / "damaged.cdp", out) !=
      Outcome::succeeded)
    return out.str();
  const bool differs = good != damaged;
  if (testing::exists(dir / "damaged.cdp") != differs)
    return "patch file presence wrong: " + out.str();
  if (differs && run_apply_patch(dir / "damaged.cdp", dir / "damaged", out) != Outcome::succeeded)
    return out.str();
  if (testing::read_file(dir / "damaged") != good) return "not restored";
  std::ostringstream again;
  run_create_checksum(dir / "damaged", dir / "damaged.cdt", block_size, again);
  run_create_patch(dir / "damaged.cdt", dir / "good", dir / "damaged.cdp", again);
  if (again.str().find(testing::NO_CORRUPTION) == std::string::npos)
    return "second pass: " + again.str();
  return {};
}

// The files one short cycle writes, byte for byte. Every CPU the tool is
// built for, big-endian ones included, must write exactly these bytes: the
// files travel between machines.
TEST(RepairFiles, AreTheSameBytesOnEveryCpu) {
  TempDir dir;
  testing::write_file(dir / "data", testing::bytes_of("123456789"));
  testing::write_file(dir / "damaged", testing::bytes_of("12345X789"));
  struct Step {
    std::vector<std::string> args;
    const char* output;
    Bytes bytes;
  };
  const Step steps[] = {
      {{"-b", "4", "-o", "data.cdt", "damaged"},
       "data.cdt",
       {0x4B, 0x61, 0x4C, 0x57, 0x43, 0x52, 0x43, 0x43, 0x02, 0x00, 0x09, 0x00,
        0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x5C, 0x1F, 0xE3, 0x9B, 0xD2, 0x4F,
        0xE4, 0x3C, 0x85, 0x67, 0x07, 0x72, 0x2F, 0x07, 0xC1, 0xEE}},
      {{"-p", "data"}, "data.cdp", {0x4B, 0x61, 0x4C, 0x57, 0x43, 0x52, 0x43, 0x50, 0x02,
                                    0x00, 0x09, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                                    0x04, 0x00, 0x00, 0x00, 0x35, 0x36, 0x37, 0x38, 0xFF,
                                    0xFF, 0xFF, 0xFF, 0xB5, 0xF2, 0xB4, 0x33}},
  };
  for (const Step& step : steps) {
    const auto run = testing::run_rempar(step.args, dir.path());
    ASSERT_EQ(run.status, 0) << step.output << ": " << run.out;
    EXPECT_EQ(testing::read_file(dir / step.output), step.bytes) << step.output;
  }
  ASSERT_EQ(testing::run_rempar({"-a", "-i", "data.cdp", "damaged"}, dir.path()).status, 0);
  EXPECT_EQ(testing::read_file(dir / "damaged"), testing::bytes_of("123456789"));
}

// The definition, the table kernel and the kernel this CPU chooses. The
// operations do not depend on which kernel runs, and the kernel suite shows
// every kernel equal to the definition; a cycle for each of them would only
// add minutes to the sanitizer run.
const std::vector<crc::KernelInfo>& native_kernels() {
  static const std::vector<crc::KernelInfo> kernels = [] {
    std::vector<crc::KernelInfo> k;
    const std::string_view chosen = crc::active_kernel().name;
    for (const crc::KernelInfo& kernel : crc::all_kernels()) {
      const std::string_view name = kernel.name;
      if (name == "bytewise" || name == "portable" || name == chosen) k.push_back(kernel);
    }
    return k;
  }();
  return kernels;
}

class RepairCycle : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    const auto& kernel = native_kernels()[GetParam()];
    saved_ = crc::current_kernel();
    crc::set_kernel(kernel.update);
  }
  void TearDown() override {
    if (saved_) crc::set_kernel(saved_);
  }
  crc::Kernel saved_ = nullptr;
  // Durability is not what this test is about; thousands of syncs would
  // only make it slow.
  const testing::FaultHookGuard no_syncs_{[](io::Op, const std::string&) {
    return io::Fault{0, false, true};
  }};
};

TEST_P(RepairCycle, RestoresTheGoodCopy) {
  std::mt19937 gen(1234);
  const std::size_t small_sizes[] = {0, 1, 2, 3, 7, 100, 4096, 4097, 16384, 16385, 40000};
  // 9 MiB damaged in every block makes a patch too large to be kept in memory.
  const std::size_t large_sizes[] = {(3 << 20) + 1};
  const std::int32_t block_sizes[] = {1, 2, 7, 4096, 16384, 1 << 21};
  const Damage damages[] = {Damage::none,        Damage::one_byte,         Damage::first_and_last,
                            Damage::every_block, Damage::short_last_block, Damage::random_runs};
  const bool slow_kernel = std::string(native_kernels()[GetParam()].name) == "bytewise";
  for (std::int32_t block_size : block_sizes) {
    std::vector<std::size_t> sizes(std::begin(small_sizes), std::end(small_sizes));
    // Tiny blocks over large files only add run time, not cases.
    if (block_size >= 4096 && !slow_kernel)
      sizes.insert(sizes.end(), std::begin(large_sizes), std::end(large_sizes));
    if (block_size == 16384 && !slow_kernel) sizes.push_back(9 << 20);
    for (std::size_t size : sizes) {
      const Bytes good = testing::random_bytes(size, static_cast<std::uint32_t>(size + block_size));
      for (Damage how : damages) {
        Bytes damaged = good;
        damage(damaged, how, static_cast<std::size_t>(block_size), gen);
        const std::string failure = repair(good, damaged, block_size);
        ASSERT_EQ(failure, "") << "size " << size << " block " << block_size << " damage "
                               << static_cast<int>(how);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryKernel, RepairCycle,
                         ::testing::Range<std::size_t>(0, native_kernels().size()),
                         [](const auto& param_info) {
                           return std::string(native_kernels()[param_info.param].name);
                         });

}  // namespace
}  // namespace rempar
