// Runs killed part way. Each operation is started on a large file, killed
// with SIGKILL once it is well under way, and run again: the rerun completes
// and the repair comes out right, and whatever container the killed run left
// behind is turned away by the check, never taken for a valid one.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <thread>

#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::TempDir;

// Large enough that every operation takes a while; smaller in builds that
// are not optimised, where the sanitizers slow every byte down.
#ifdef NDEBUG
constexpr std::int64_t FILE_SIZE = (256 << 20) + 5;
#else
constexpr std::int64_t FILE_SIZE = (64 << 20) + 5;
#endif

const std::string PROCESSING = "Processing...\n";

// Writes `size` pseudo-random bytes, or a sparse file of zeros.
void make_file(const std::string& path, std::int64_t size, std::uint64_t seed, bool zeros = false) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out) << path;
  if (zeros) {
    out.close();
    ASSERT_EQ(::truncate(path.c_str(), size), 0);
    return;
  }
  std::vector<std::uint64_t> words((1 << 20) / 8);
  for (std::int64_t left = size; left > 0;) {
    for (auto& w : words) {  // splitmix64
      std::uint64_t z = (seed += 0x9E3779B97F4A7C15ull);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      w = z ^ (z >> 31);
    }
    const auto n = static_cast<std::streamsize>(std::min<std::int64_t>(left, 1 << 20));
    out.write(reinterpret_cast<const char*>(words.data()), n);
    left -= n;
  }
  ASSERT_TRUE(out) << path;
}

// Whether two files hold the same bytes; compared a piece at a time.
bool same_contents(const std::string& a, const std::string& b) {
  std::ifstream x(a, std::ios::binary);
  std::ifstream y(b, std::ios::binary);
  std::vector<char> p(1 << 20);
  std::vector<char> q(1 << 20);
  while (x && y) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin()))
      return false;
  }
  return x.eof() && y.eof();
}

bool all_zeros(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> p(1 << 20);
  while (in) {
    in.read(p.data(), static_cast<std::streamsize>(p.size()));
    if (std::any_of(p.begin(), p.begin() + in.gcount(), [](char c) { return c != 0; }))
      return false;
  }
  return true;
}

std::int64_t size_of(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? -1 : static_cast<std::int64_t>(size);
}

// The last percentage the progress line shows, or -1.
int shown_percent(const std::string& out) {
  const auto sign = out.rfind('%');
  if (sign == std::string::npos) return -1;
  auto start = sign;
  while (start > 0 && std::isdigit(static_cast<unsigned char>(out[start - 1]))) --start;
  return start == sign ? -1 : std::stoi(out.substr(start, sign - start));
}

// Bytes the process has written so far, as the kernel counts them.
std::int64_t bytes_written_by(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  for (std::string key; io >> key;) {
    std::int64_t value = 0;
    io >> value;
    if (key == "wchar:") return value;
  }
  return -1;
}

struct Interrupted {
  bool killed = false;  // false when the run ended by itself first
  std::string out;      // what it printed until then
};

// Starts the real binary in `cwd` and kills it with SIGKILL as soon as
// `now` says so; gives up after a minute.
Interrupted run_and_kill(const std::vector<std::string>& args, const std::string& cwd,
                         const std::function<bool(pid_t, const std::string&)>& now) {
  const testing::Child child = testing::start_rempar(args, cwd);
  const pid_t pid = child.pid;
  ::close(child.err);  // the tool writes nothing to standard error
  ::fcntl(child.out, F_SETFL, O_NONBLOCK);
  Interrupted result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  int status = 0;
  for (;;) {
    char buffer[4096];
    for (ssize_t n; (n = ::read(child.out, buffer, sizeof buffer)) > 0;) {
      result.out.append(buffer, static_cast<std::size_t>(n));
    }
    if (now(pid, result.out) || std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      // A run that ended just before the signal was not interrupted.
      result.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
      break;
    }
    if (::waitpid(pid, &status, WNOHANG) == pid) break;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  ::close(child.out);
  return result;
}

const auto AT_30_PERCENT = [](pid_t, const std::string& out) { return shown_percent(out) >= 30; };

// The container a killed run left must never pass for a valid one.
std::string rejection(const std::string& container, const char* kind) {
  return size_of(container) < 22
             ? std::string("Error - .") + kind + " invalid\n"
             : std::string("Error - bad CRC for .") + kind + " file (probably damaged?)\n";
}

TEST(InterruptedRun, ChecksumCreation) {
  TempDir dir;
  make_file(dir / "data", FILE_SIZE, 1);
  // Small blocks: a checksum file of megabytes, written in several pieces.
  const auto killed = run_and_kill({"-b", "64", "data"}, dir.path(), AT_30_PERCENT);
  ASSERT_TRUE(killed.killed) << killed.out;
  EXPECT_EQ(killed.out.find("Completed"), std::string::npos);
  ASSERT_TRUE(testing::exists(dir / "data.cdt"));
  const std::int64_t full = 22 + 4 * ((FILE_SIZE + 63) / 64);
  EXPECT_LT(size_of(dir / "data.cdt"), full);

  const auto refused = testing::run_rempar({"-p", "data"}, dir.path());
  EXPECT_EQ(refused.out, PROCESSING + rejection(dir / "data.cdt", "CDT"));
  EXPECT_EQ(refused.status, 2);
  EXPECT_FALSE(testing::exists(dir / "data.cdp"));

  const auto again = testing::run_rempar({"-b", "64", "data"}, dir.path());
  EXPECT_EQ(again.status, 0);
  EXPECT_TRUE(again.out.ends_with("Completed\n")) << again.out;
  EXPECT_EQ(size_of(dir / "data.cdt"), full);
  const auto checked = testing::run_rempar({"-p", "data"}, dir.path());
  EXPECT_TRUE(checked.out.ends_with("Completed, no corruption detected\n")) << checked.out;
  EXPECT_EQ(checked.status, 0);
}

// A good copy of random bytes and a damaged copy of zeros: every block
// differs, so the patch file is as large as the file.
class Repair : public ::testing::Test {
 protected:
  void SetUp() override {
    make_file(dir_ / "good", FILE_SIZE, 2);
    make_file(dir_ / "damaged", FILE_SIZE, 0, true);
    const auto made = testing::run_rempar({"damaged"}, dir_.path());
    ASSERT_EQ(made.status, 0) << made.out;
  }

  testing::RunResult create_patch() {
    return testing::run_rempar({"-p", "-i", "damaged.cdt", "-o", "damaged.cdp", "good"},
                               dir_.path());
  }

  void expect_repaired() {
    const auto applied = testing::run_rempar({"-a", "damaged"}, dir_.path());
    EXPECT_EQ(applied.out, PROCESSING + "Completed, file patched\n");
    EXPECT_EQ(applied.status, 0);
    EXPECT_TRUE(same_contents(dir_ / "damaged", dir_ / "good"));
  }

  TempDir dir_;
};

TEST_F(Repair, InterruptedPatchCreation) {
  const auto killed = run_and_kill({"-p", "-i", "damaged.cdt", "-o", "damaged.cdp", "good"},
                                   dir_.path(), AT_30_PERCENT);
  ASSERT_TRUE(killed.killed) << killed.out;
  ASSERT_TRUE(testing::exists(dir_ / "damaged.cdp"));
  EXPECT_LT(size_of(dir_ / "damaged.cdp"), FILE_SIZE);

  const auto refused = testing::run_rempar({"-a", "damaged"}, dir_.path());
  EXPECT_EQ(refused.out, PROCESSING + rejection(dir_ / "damaged.cdp", "CDP"));
  EXPECT_EQ(refused.status, 2);
  EXPECT_TRUE(all_zeros(dir_ / "damaged"));
  EXPECT_EQ(size_of(dir_ / "damaged"), FILE_SIZE);

  const auto again = create_patch();
  EXPECT_TRUE(again.out.ends_with("Completed, .CDP file generated\n")) << again.out.substr(0, 200);
  EXPECT_EQ(again.status, 0);
  expect_repaired();
}

TEST_F(Repair, InterruptedPatchApplication) {
  ASSERT_EQ(create_patch().status, 0);
  std::filesystem::copy_file(dir_ / "damaged.cdp", dir_ / "patch-before");
  // Killed while it writes: a quarter of the records are in.
  const auto killed = run_and_kill(
      {"-a", "damaged"}, dir_.path(),
      [](pid_t pid, const std::string&) { return bytes_written_by(pid) >= FILE_SIZE / 4; });
  ASSERT_TRUE(killed.killed) << killed.out;
  EXPECT_EQ(killed.out.find("Completed"), std::string::npos);
  EXPECT_EQ(size_of(dir_ / "damaged"), FILE_SIZE);
  EXPECT_FALSE(same_contents(dir_ / "damaged", dir_ / "good"));
  EXPECT_FALSE(all_zeros(dir_ / "damaged"));
  // The patch itself is untouched, so applying it again finishes the repair.
  EXPECT_TRUE(same_contents(dir_ / "damaged.cdp", dir_ / "patch-before"));
  expect_repaired();
}

}  // namespace
}  // namespace rempar
