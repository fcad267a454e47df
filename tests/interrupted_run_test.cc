// Runs stopped part way. Each creating operation is started on a large file
// with a valid older container at its output name and stopped at several
// points: by SIGINT, SIGTERM or SIGHUP it removes its temporary file, leaves
// the older container byte for byte and ends by the same signal; by SIGKILL
// it leaves the older container or the complete new one at the name. Patch
// application killed part way is finished by applying the patch again.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <span>
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

using testing::PROCESSING;

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

// Starts the real binary in `cwd` and sends it `signal_number` as soon as
// `now` says so (or after a minute); the run counts as killed when it ended
// by that signal.
Interrupted run_and_kill(const std::vector<std::string>& args, const std::string& cwd,
                         const std::function<bool(pid_t, const std::string&)>& now,
                         int signal_number = SIGKILL) {
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
      ::kill(pid, signal_number);
      ::waitpid(pid, &status, 0);
      // A run that ended just before the signal was not interrupted.
      result.killed = WIFSIGNALED(status) && WTERMSIG(status) == signal_number;
      break;
    }
    if (::waitpid(pid, &status, WNOHANG) == pid) break;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  ::close(child.out);
  return result;
}

auto at_percent(int percent) {
  return [percent](pid_t, const std::string& out) { return shown_percent(out) >= percent; };
}

// The names in `dir` that are not in `expected`: temporary files left behind.
std::vector<std::string> leftovers(const TempDir& dir, const std::vector<std::string>& expected) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename();
    if (std::find(expected.begin(), expected.end(), name) == expected.end()) names.push_back(name);
  }
  return names;
}

// One creating operation run again and again over an older container.
struct Creation {
  const char* what;
  std::vector<std::string> args;   // the run that is stopped
  std::string output;              // its output name
  std::string completed;           // the last line of a run that ends by itself
  std::string older;               // a copy of the older container
  std::string complete;            // the container a whole run writes
  std::vector<std::string> files;  // every name the folder should hold
};

struct Stop {
  int signal_number;
  int percent;  // the progress shown when the signal is sent
};

const Stop STOPS[] = {{SIGINT, 2},  {SIGTERM, 2}, {SIGHUP, 2},   {SIGINT, 50}, {SIGTERM, 50},
                      {SIGHUP, 50}, {SIGINT, 95}, {SIGTERM, 95}, {SIGHUP, 95}};

// SIGINT, SIGTERM and SIGHUP at several points leave the older container as
// it was and no temporary file; the run ends by the signal.
void expect_clean_interruptions(const TempDir& dir, const Creation& c,
                                std::span<const Stop> stops = STOPS) {
  for (const Stop& stop : stops) {
    const std::string what = std::string(c.what) + ", signal " +
                             std::to_string(stop.signal_number) + " at " +
                             std::to_string(stop.percent) + "%";
    const auto stopped =
        run_and_kill(c.args, dir.path(), at_percent(stop.percent), stop.signal_number);
    EXPECT_TRUE(stopped.killed) << what << ": " << stopped.out.substr(0, 200);
    if (!stopped.killed) continue;
    EXPECT_EQ(stopped.out.find("Completed"), std::string::npos) << what;
    EXPECT_TRUE(same_contents(dir / c.output, dir / c.older)) << what;
    EXPECT_EQ(leftovers(dir, c.files), std::vector<std::string>{}) << what;
  }
}

// After SIGKILL the name holds the older container or the complete new one;
// the temporary file left behind has its recognisable name.
void expect_old_or_new_after_kill(const TempDir& dir, const Creation& c) {
  for (const int percent : {2, 50, 95}) {
    const std::string what = std::string(c.what) + ", SIGKILL at " + std::to_string(percent) + "%";
    const auto killed = run_and_kill(c.args, dir.path(), at_percent(percent));
    EXPECT_TRUE(same_contents(dir / c.output, dir / c.older) ||
                same_contents(dir / c.output, dir / c.complete))
        << what;
    for (const std::string& name : leftovers(dir, c.files)) {
      EXPECT_TRUE(name.starts_with(c.output + ".rempar-tmp-")) << what << ": " << name;
      std::filesystem::remove(dir / name);
    }
    if (!killed.killed) {
      std::filesystem::copy_file(dir / c.older, dir / c.output,
                                 std::filesystem::copy_options::overwrite_existing);
    }
  }
}

TEST(InterruptedRun, ChecksumCreation) {
  TempDir dir;
  make_file(dir / "data", FILE_SIZE, 1);
  // The older checksum file has large blocks; the stopped runs use small
  // ones, for a checksum file of megabytes written in many pieces.
  ASSERT_EQ(testing::run_rempar({"-b", "1048576", "data"}, dir.path()).status, 0);
  std::filesystem::copy_file(dir / "data.cdt", dir / "older.cdt");
  ASSERT_EQ(testing::run_rempar({"-b", "64", "-o", "complete.cdt", "data"}, dir.path()).status, 0);
  const Creation c{"checksum creation",
                   {"-b", "64", "data"},
                   "data.cdt",
                   "Completed\n",
                   "older.cdt",
                   "complete.cdt",
                   {"data", "data.cdt", "older.cdt", "complete.cdt"}};
  expect_clean_interruptions(dir, c);
  expect_old_or_new_after_kill(dir, c);

  // An output name at the component limit: the temporary file beside it has
  // a shortened name, and the older container survives as well.
  const std::string long_name(NAME_MAX - 1, 'c');
  std::filesystem::copy_file(dir / "older.cdt", dir / long_name);
  const Stop terms[] = {{SIGTERM, 2}, {SIGTERM, 50}};
  expect_clean_interruptions(dir,
                             {"a name of 254 bytes",
                              {"-b", "64", "-o", long_name, "data"},
                              long_name,
                              "Completed\n",
                              "older.cdt",
                              "complete.cdt",
                              {"data", "data.cdt", "older.cdt", "complete.cdt", long_name}},
                             terms);
  std::filesystem::remove(dir / long_name);

  const auto again = testing::run_rempar(c.args, dir.path());
  EXPECT_EQ(again.status, 0);
  EXPECT_TRUE(again.out.ends_with(c.completed)) << again.out;
  EXPECT_TRUE(same_contents(dir / "data.cdt", dir / "complete.cdt"));
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
    EXPECT_EQ(applied.out, PROCESSING + testing::PATCHED);
    EXPECT_EQ(applied.status, 0);
    EXPECT_TRUE(same_contents(dir_ / "damaged", dir_ / "good"));
  }

  TempDir dir_;
};

TEST_F(Repair, InterruptedPatchCreation) {
  // The older patch comes from a checksum file with larger blocks: valid, and
  // different from the patch the stopped runs would write.
  ASSERT_EQ(testing::run_rempar({"-b", "1048576", "-o", "big.cdt", "damaged"}, dir_.path()).status,
            0);
  ASSERT_EQ(
      testing::run_rempar({"-p", "-i", "big.cdt", "-o", "damaged.cdp", "good"}, dir_.path()).status,
      0);
  ASSERT_EQ(
      testing::run_rempar({"-p", "-i", "damaged.cdt", "-o", "complete.cdp", "good"}, dir_.path())
          .status,
      0);
  std::filesystem::copy_file(dir_ / "damaged.cdp", dir_ / "older.cdp");
  const Creation c{
      "patch creation",
      {"-p", "-i", "damaged.cdt", "-o", "damaged.cdp", "good"},
      "damaged.cdp",
      "Completed, .CDP file generated\n",
      "older.cdp",
      "complete.cdp",
      {"good", "damaged", "damaged.cdt", "big.cdt", "damaged.cdp", "older.cdp", "complete.cdp"}};
  expect_clean_interruptions(dir_, c);
  expect_old_or_new_after_kill(dir_, c);
  // Whichever patch stands at the name repairs the damaged copy, with the
  // checksum file it was made from beside it, where it binds the patch.
  if (same_contents(dir_ / "damaged.cdp", dir_ / "older.cdp")) {
    std::filesystem::copy_file(dir_ / "big.cdt", dir_ / "damaged.cdt",
                               std::filesystem::copy_options::overwrite_existing);
  }
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
