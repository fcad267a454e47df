// Every checksum kernel the project has, against the byte-at-a-time
// definition: all short lengths, all start alignments, long random inputs,
// random registers, inputs computed in pieces, and the known checksums. Each
// runs natively where the CPU has it and under emulation where it does not;
// none is skipped, and a kernel that runs neither way fails the suite.

#include "checksum/crc_kernels.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "checksum/block_crc.h"
#include "checksum/crc_emulated.h"
#include "checksum/kernel_choice.h"
#include "support/known_checksums.h"
#include "test_support.h"

namespace rempar::crc {
namespace {

using rempar::testing::Bytes;
using rempar::testing::random_bytes;

std::uint32_t reference(std::uint32_t reg, const std::uint8_t* data, std::size_t length) {
  return update_bytewise(reg, data, length);
}

// The second register for a length: zero, the sign bit alone, all but the
// sign bit, or (most often) random.
std::uint32_t some_register(std::size_t length, std::mt19937& gen) {
  switch (length % 8) {
    case 0: return 0x00000000u;
    case 1: return 0x80000000u;
    case 2: return 0x7FFFFFFFu;
    default: return static_cast<std::uint32_t>(gen());
  }
}

// A copy of `content` that starts `alignment` bytes past a 64-byte boundary.
class AlignedBytes {
 public:
  AlignedBytes(const Bytes& content, std::size_t alignment) : storage_(content.size() + 128) {
    const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
    start_ = (64 - address % 64) % 64 + alignment;
    std::copy(content.begin(), content.end(),
              storage_.begin() + static_cast<std::ptrdiff_t>(start_));
  }
  const std::uint8_t* data() const { return storage_.data() + start_; }

 private:
  Bytes storage_;
  std::size_t start_ = 0;
};

// One read-write page between two inaccessible ones: a kernel that reads a
// byte before or after its input faults.
class GuardedPage {
 public:
  GuardedPage() : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
    void* p = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    base_ = static_cast<std::uint8_t*>(p);
    if (mprotect(base_, page_, PROT_NONE) != 0 ||
        mprotect(base_ + 2 * page_, page_, PROT_NONE) != 0) {
      munmap(base_, 3 * page_);
      base_ = nullptr;
    }
  }
  ~GuardedPage() {
    if (base_ != nullptr) munmap(base_, 3 * page_);
  }
  GuardedPage(const GuardedPage&) = delete;
  GuardedPage& operator=(const GuardedPage&) = delete;

  bool ok() const { return base_ != nullptr; }
  std::uint8_t* begin() const { return base_ + page_; }
  std::size_t size() const { return page_; }

 private:
  std::size_t page_;
  std::uint8_t* base_ = nullptr;
};

// The kernel a name stands for, without the mark of emulation.
std::string_view plain_name(std::string_view name) {
  if (name.ends_with(EMULATED_SUFFIX)) name.remove_suffix(EMULATED_SUFFIX.size());
  return name;
}

bool runs_natively(std::string_view name) {
  const KernelInfo* native = find_kernel(name);
  return native != nullptr && native->supported();
}

// What this machine tests: each native kernel the CPU runs, and each
// emulated one whose native kernel it cannot run (every emulated one when
// REMPAR_EMULATE_ALL=1 is set while running this binary by hand).
const std::vector<KernelInfo>& tested_kernels() {
  static const std::vector<KernelInfo> kernels = [] {
    const char* all = std::getenv("REMPAR_EMULATE_ALL");
    const bool emulate_all = all != nullptr && std::string_view(all) == "1";
    std::vector<KernelInfo> k;
    for (const KernelInfo& native : all_kernels()) {
      if (native.supported()) k.push_back(native);
    }
    for (const KernelInfo& emulated : emulated_kernels()) {
      if (emulate_all || !runs_natively(plain_name(emulated.name))) k.push_back(emulated);
    }
    return k;
  }();
  return kernels;
}

bool is_tested(std::string_view name) {
  return std::any_of(tested_kernels().begin(), tested_kernels().end(),
                     [name](const KernelInfo& k) { return plain_name(k.name) == name; });
}

TEST(KernelCoverage, EveryKernelRunsNativelyOrEmulated) {
  for (std::string_view name : KERNEL_NAMES) {
    EXPECT_TRUE(is_tested(name)) << "kernel " << name
                                 << " runs neither natively nor under emulation in this build";
  }
  for (const KernelInfo& k : tested_kernels()) {
    EXPECT_NE(std::find(KERNEL_NAMES.begin(), KERNEL_NAMES.end(), plain_name(k.name)),
              KERNEL_NAMES.end())
        << k.name << " is missing from KERNEL_NAMES";
  }
}

// The emulated builds agree with the definition also where the native kernel
// runs (the full suite takes them only where it does not).
TEST(KernelCoverage, EmulatedKernelsAgreeWithTheDefinition) {
  const Bytes data = random_bytes(70000, 11);
  std::mt19937_64 gen(12);
  for (const KernelInfo& k : emulated_kernels()) {
    for (int trial = 0; trial < 100; ++trial) {
      const auto reg0 = static_cast<std::uint32_t>(gen());
      const std::size_t length = gen() % (trial < 80 ? 2000 : data.size());
      ASSERT_EQ(k.update(reg0, data.data(), length), update_bytewise(reg0, data.data(), length))
          << k.name << " length " << length;
    }
  }
}

class EveryKernel : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override { kernel_ = tested_kernels()[GetParam()]; }
  std::uint32_t run(std::uint32_t reg, const std::uint8_t* data, std::size_t length) const {
    return kernel_.update(reg, data, length);
  }
  // The bytewise kernel is the reference itself and slow: it gets less data.
  bool slow() const { return std::string(kernel_.name) == "bytewise"; }

  KernelInfo kernel_{};
};

// Each length from the initial register and from a second one.
TEST_P(EveryKernel, EveryLengthUpTo4096) {
  const Bytes data = random_bytes(4096, 1);
  std::mt19937 gen(2);
  std::uint32_t expected = INITIAL_REGISTER;  // the reference, one byte further each time
  for (std::size_t length = 0; length <= data.size(); ++length) {
    ASSERT_EQ(run(INITIAL_REGISTER, data.data(), length), expected) << "length " << length;
    const std::uint32_t reg0 = some_register(length, gen);
    ASSERT_EQ(run(reg0, data.data(), length), reference(reg0, data.data(), length))
        << "length " << length << " register " << reg0;
    if (length < data.size()) expected = reference(expected, &data[length], 1);
  }
}

TEST_P(EveryKernel, EveryAlignment) {
  const std::size_t lengths[] = {1,   7,   16,  63,  64,  65,   127,  128,
                                 129, 255, 256, 257, 300, 1000, 4099, 16389};
  const Bytes content = random_bytes(16389, 3);
  for (std::size_t alignment = 0; alignment < 64; ++alignment) {
    const AlignedBytes bytes(content, alignment);
    for (std::size_t length : lengths) {
      ASSERT_EQ(run(INITIAL_REGISTER, bytes.data(), length),
                reference(INITIAL_REGISTER, content.data(), length))
          << "alignment " << alignment << " length " << length;
    }
  }
}

struct LongCase {
  std::size_t length;
  std::uint32_t reg0;
  std::uint32_t expected;
};

// Long inputs from random registers, their references computed once for all
// kernels: 1 MiB, 8 MiB, one byte short of that, and a random length.
const Bytes& long_data() {
  static const Bytes data = random_bytes(std::size_t{8} << 20, 5);
  return data;
}
const std::vector<LongCase>& long_cases() {
  static const std::vector<LongCase> cases = [] {
    std::mt19937_64 gen(4);
    std::vector<LongCase> c;
    for (std::size_t length : {std::size_t{1} << 20, std::size_t{8} << 20,
                               (std::size_t{8} << 20) - 1, gen() % (std::size_t{8} << 20)}) {
      const auto reg0 = static_cast<std::uint32_t>(gen());
      c.push_back({length, reg0, reference(reg0, long_data().data(), length)});
    }
    return c;
  }();
  return cases;
}

TEST_P(EveryKernel, LongInputs) {
  for (const LongCase& c : long_cases()) {
    EXPECT_EQ(run(c.reg0, long_data().data(), c.length), c.expected) << "length " << c.length;
    if (slow()) break;  // the 1 MiB case only
  }
}

TEST_P(EveryKernel, RandomRegistersAndLengths) {
  std::mt19937_64 gen(6);
  const Bytes data = random_bytes(70000, 7);
  for (int trial = 0; trial < 300; ++trial) {
    const auto reg0 = static_cast<std::uint32_t>(gen());
    const std::size_t length = gen() % (trial < 200 ? 3000 : data.size());
    const std::size_t start = gen() % (data.size() - length + 1);
    ASSERT_EQ(run(reg0, data.data() + start, length), reference(reg0, data.data() + start, length))
        << "register " << reg0 << " start " << start << " length " << length;
  }
}

// A checksum computed piece by piece, cut anywhere, equals the whole.
TEST_P(EveryKernel, PiecesMakeTheWhole) {
  std::mt19937_64 gen(8);
  const Bytes data = random_bytes(200000, 9);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t length = gen() % (trial % 4 == 0 ? data.size() : 5000);
    const auto reg0 = static_cast<std::uint32_t>(gen());
    std::vector<std::size_t> cuts(1 + gen() % 5);
    for (std::size_t& cut : cuts) cut = gen() % (length + 1);
    cuts.push_back(0);
    cuts.push_back(length);
    std::sort(cuts.begin(), cuts.end());
    std::uint32_t reg = reg0;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i)
      reg = run(reg, data.data() + cuts[i], cuts[i + 1] - cuts[i]);
    ASSERT_EQ(reg, reference(reg0, data.data(), length))
        << "trial " << trial << " length " << length;
  }
}

// Reads stay inside the input: it is put against an inaccessible page on
// either side, so one byte too many faults.
TEST_P(EveryKernel, ReadsNothingOutsideItsInput) {
  GuardedPage page;
  ASSERT_TRUE(page.ok()) << "mmap or mprotect failed";
  const Bytes content = random_bytes(page.size(), 10);
  std::memcpy(page.begin(), content.data(), content.size());
  // Every remainder modulo the kernels' strides, then the whole page.
  std::vector<std::size_t> lengths(1100);
  std::iota(lengths.begin(), lengths.end(), std::size_t{0});
  lengths.push_back(page.size() - 1);
  lengths.push_back(page.size());
  for (std::size_t length : lengths) {
    const std::uint8_t* at_start = page.begin();
    const std::uint8_t* at_end = page.begin() + page.size() - length;
    ASSERT_EQ(run(INITIAL_REGISTER, at_start, length),
              reference(INITIAL_REGISTER, at_start, length))
        << "length " << length;
    ASSERT_EQ(run(INITIAL_REGISTER, at_end, length), reference(INITIAL_REGISTER, at_end, length))
        << "length " << length;
  }
}

// The known checksums straight from the kernel, and through block_crc and
// RunningCrc with the kernel pinned.
TEST_P(EveryKernel, KnownChecksums) {
  const Kernel saved = current_kernel();
  set_kernel(kernel_.update);
  for (const testing::KnownChecksum& k : testing::known_checksums()) {
    const std::string what = std::string(k.what) + " (" + std::to_string(k.data.size()) + " bytes)";
    EXPECT_EQ(run(INITIAL_REGISTER, k.data.data(), k.data.size()) ^ 0xFFFFFFFFu, k.checksum)
        << what;
    std::int32_t result = 0;
    block_crc(k.data.data(), static_cast<std::int64_t>(k.data.size()), result);
    EXPECT_EQ(static_cast<std::uint32_t>(result), k.checksum) << what;
    EXPECT_EQ(block_crc(k.data), k.checksum) << what;
    RunningCrc running;
    const std::size_t half = k.data.size() / 2;
    running.update(std::span(k.data).first(half));
    running.update(std::span(k.data).subspan(half));
    EXPECT_EQ(running.value(), k.checksum) << what;
  }
  set_kernel(saved);
}

// Test names allow letters, digits and underscores only.
std::string test_name(std::string_view kernel_name) {
  std::string name(plain_name(kernel_name));
  if (name.size() != kernel_name.size()) name += "_SIMDe";
  return name;
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryKernel,
                         ::testing::Range<std::size_t>(0, tested_kernels().size()),
                         [](const auto& param_info) {
                           return test_name(tested_kernels()[param_info.param].name);
                         });

}  // namespace
}  // namespace rempar::crc
