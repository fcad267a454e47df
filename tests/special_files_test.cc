// Pipes and devices where the tool expects files. As an output, /dev/null or
// a named pipe is written directly, for writing only, and the run ends as
// usual, or with an error when the pipe's reader quits; standard output named
// as the output gets the container byte for byte and the messages go to
// standard error; as an input, a named pipe is refused at once, whether or
// not anything writes to it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::TempDir;

using testing::PROCESSING;

// A good copy, a damaged copy and the containers between them, with a
// checksum file larger than a pipe's buffer; also a copy of zeros, whose
// patch holds every block of the good copy.
struct Folder {
  TempDir dir;
  Folder() {
    const Bytes good = testing::random_bytes(3 << 20, 41);
    testing::write_file(dir / "good", good);
    testing::write_file(dir / "damaged", testing::damaged_copy(good, 64, 1000));
    testing::write_file(dir / "zeros", Bytes(good.size()));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-b", "64", "damaged"},
             {"-p", "-i", "damaged.cdt", "-o", "damaged.cdp", "good"},
             {"-b", "64", "zeros"},
             {"-p", "-i", "zeros.cdt", "-o", "zeros.cdp", "good"}}) {
      EXPECT_EQ(testing::run_rempar(args, dir.path()).status, 0);
    }
  }
};

struct OutputCase {
  const char* what;
  std::vector<std::string> args;  // "@" stands for the output
  std::string ending;
};

const OutputCase OUTPUT_CASES[] = {
    {"checksum creation", {"-b", "64", "-o", "@", "damaged"}, "Completed\n"},
    {"patch creation",
     {"-p", "-i", "damaged.cdt", "-o", "@", "good"},
     "Completed, .CDP file generated\n"},
};

std::vector<std::string> with_output(std::vector<std::string> args, const std::string& output) {
  for (auto& a : args) {
    if (a == "@") a = output;
  }
  return args;
}

TEST(SpecialOutputs, DevNullEndsWithCompleted) {
  const Folder f;
  for (const OutputCase& c : OUTPUT_CASES) {
    const auto result = testing::run_rempar(with_output(c.args, "/dev/null"), f.dir.path());
    EXPECT_EQ(result.status, 0) << c.what << ": " << result.out;
    EXPECT_TRUE(result.out.ends_with(c.ending)) << c.what << ": " << result.out;
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "/dev/null was replaced by " << c.what;
  }
}

TEST(SpecialOutputs, ANamedPipeWithAReaderGetsTheWholeContainer) {
  const Folder f;
  for (const OutputCase& c : OUTPUT_CASES) {
    const std::string fifo = f.dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    // The reader drains the pipe while the tool writes into it.
    auto drained = std::async(std::launch::async, [&] {
      const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
      std::string bytes = testing::drain(fd);
      ::close(fd);
      return bytes;
    });
    const auto result = testing::run_rempar(with_output(c.args, "fifo"), f.dir.path());
    const std::string received = drained.get();
    EXPECT_EQ(result.status, 0) << c.what << ": " << result.out;
    EXPECT_TRUE(result.out.ends_with(c.ending)) << c.what << ": " << result.out;
    const std::string expected = c.args[0] == "-p" ? "damaged.cdp" : "damaged.cdt";
    const Bytes container = testing::read_file(f.dir / expected);
    EXPECT_TRUE(Bytes(received.begin(), received.end()) == container) << c.what;
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0) << c.what << " removed the pipe";
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << c.what << " replaced the pipe";
    std::filesystem::remove(fifo);
  }
}

bool still_running(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

struct PipeRun {
  testing::RunResult result;
  std::string received;  // what the reader got
  bool waited = false;   // the run was still waiting when the reader came
};

// Runs the tool in `cwd` with the named pipe "fifo" there as its output. A
// late reader comes after the run has had time to finish and reads all; an
// early one opens the pipe as soon as the run does, reads a few bytes and
// quits. A run that hangs is killed after a minute.
PipeRun through_named_pipe(const std::vector<std::string>& args, const std::string& cwd,
                           bool late) {
  const std::string fifo = cwd + "/fifo";
  PipeRun run;
  const testing::Child child = testing::start_rempar(args, cwd);
  if (late) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    run.waited = still_running(child.pid);
  }
  auto reader = std::async(std::launch::async, [&] {
    // Late: a run that ended without a reader must not block this open.
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC | (late ? O_NONBLOCK : 0));
    ::fcntl(fd, F_SETFL, 0);
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (late || bytes.empty()) && (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
  });
  auto finished = std::async(std::launch::async, [&] { return testing::finish(child); });
  if (finished.wait_for(std::chrono::minutes(1)) != std::future_status::ready) {
    ::kill(child.pid, SIGKILL);
    // Releases a reader still waiting in its open.
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
  }
  run.result = finished.get();
  run.received = reader.get();
  return run;
}

// The pipe is opened for writing only: with no reader the run waits, and a
// reader that comes late gets the whole container; a reader that quits early
// makes the run fail with the broken pipe, never end with "Completed".
TEST(SpecialOutputs, ANamedPipeWaitsForItsReaderAndReportsOneThatQuits) {
  const Folder f;
  struct PipeCase {
    const char* what;
    std::vector<std::string> args;
    std::string container;  // what a whole run writes; far larger than a pipe's buffer
    std::string ending;
  };
  const PipeCase cases[] = {
      {"checksum creation", {"-b", "64", "-o", "fifo", "damaged"}, "damaged.cdt", "Completed\n"},
      {"patch creation",
       {"-p", "-i", "zeros.cdt", "-o", "fifo", "good"},
       "zeros.cdp",
       "Completed, .CDP file generated\n"},
      {"a small checksum file", {"-o", "fifo", "good"}, "", "Completed\n"},
  };
  for (const PipeCase& c : cases) {
    for (const bool late : {true, false}) {
      if (!late && c.container.empty()) continue;  // a small one fits the pipe: nothing to see
      const std::string what = std::string(c.what) + (late ? ", late reader" : ", early quitter");
      ASSERT_EQ(::mkfifo((f.dir / "fifo").c_str(), 0644), 0);
      const PipeRun run = through_named_pipe(c.args, f.dir.path(), late);
      const testing::RunResult& r = run.result;
      if (late) {
        EXPECT_TRUE(run.waited) << what << ": ended with no reader: " << r.out;
        EXPECT_EQ(r.status, 0) << what << ": " << r.out;
        EXPECT_TRUE(r.out.ends_with(c.ending)) << what << ": " << r.out;
        const Bytes expected = c.container.empty() ? testing::checksum_file_of(
                                                         testing::read_file(f.dir / "good"), 16384)
                                                   : testing::read_file(f.dir / c.container);
        EXPECT_TRUE(Bytes(run.received.begin(), run.received.end()) == expected) << what;
      } else {
        EXPECT_EQ(r.status, 2) << what << ": " << r.out;
        EXPECT_TRUE(r.out.ends_with("Error writing output file 'fifo': Broken pipe\n"))
            << what << ": " << r.out;
        EXPECT_EQ(r.out.find("Completed"), std::string::npos) << what;
      }
      struct stat st {};
      EXPECT_TRUE(::lstat((f.dir / "fifo").c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) << what;
      std::filesystem::remove(f.dir / "fifo");
    }
  }
}

// Started with standard input, output and error closed, the tool must not
// take their numbers for its files: the containers come out exact.
TEST(SpecialOutputs, ClosedStandardDescriptorsStayOutOfTheOutput) {
  const Folder f;
  for (const OutputCase& c : OUTPUT_CASES) {
    std::filesystem::copy_file(f.dir / "good", f.dir / "out");  // an older file in its place
    const auto closed = [] { return ::close(0) == 0 && ::close(1) == 0 && ::close(2) == 0; };
    const auto result =
        testing::finish(testing::start_rempar(with_output(c.args, "out"), f.dir.path(), closed));
    EXPECT_EQ(result.status, 0) << c.what;
    const std::string expected = c.args[0] == "-p" ? "damaged.cdp" : "damaged.cdt";
    EXPECT_TRUE(testing::read_file(f.dir / "out") == testing::read_file(f.dir / expected))
        << c.what;
    std::filesystem::remove(f.dir / "out");
  }
}

// Runs `scenario` in a child process with a mount namespace of its own, over
// whose /dev lies an empty tmpfs: the real /dev is never at risk. Returns
// what the scenario reports, nothing when all was well.
std::string in_private_dev(const std::function<std::string()>& scenario) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(report[0]);
    std::string text;
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 ||
        ::mknod("/dev/null", S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
      text = std::string("no private /dev: ") + std::strerror(errno);
    } else {
      text = scenario();
    }
    if (::write(report[1], text.data(), text.size()) < 0) ::_exit(1);
    ::_exit(0);
  }
  ::close(report[1]);
  std::string text = testing::drain(report[0]);
  ::close(report[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "the scenario did not end well";
  return text;
}

// Standard output named as the output, through /dev/stdout, through a link of
// one's own, or as /proc/self/fd/1, with a pipe behind it: the container goes
// down the pipe byte for byte, the messages go to standard error, and every
// link stays.
TEST(SpecialOutputs, StandardOutputThroughItsNames) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, for a mount namespace of its own";
  const Folder f;
  const std::string report = in_private_dev([&] {
    std::string problems;
    const std::string own_link = f.dir / "mine";
    if (::symlink("/proc/self/fd/1", "/dev/stdout") != 0 ||
        ::symlink("/proc/self/fd/1", own_link.c_str()) != 0) {
      return std::string("cannot make the links");
    }
    for (const std::string& name :
         {std::string("/dev/stdout"), own_link, std::string("/proc/self/fd/1")}) {
      for (const OutputCase& c : OUTPUT_CASES) {
        const std::string what = name + ", " + c.what + ": ";
        const auto r = testing::run_rempar(with_output(c.args, name), f.dir.path());
        const std::string expected = c.args[0] == "-p" ? "damaged.cdp" : "damaged.cdt";
        const Bytes container = testing::read_file(f.dir / expected);
        if (r.status != 0) problems += what + "status " + std::to_string(r.status) + "\n";
        if (Bytes(r.out.begin(), r.out.end()) != container)
          problems += what + "not the container\n";
        if (!r.err.starts_with(PROCESSING) || !r.err.ends_with(c.ending)) {
          problems += what + "messages: " + r.err.substr(0, 200) + "\n";
        }
      }
      for (const std::string& link : {std::string("/dev/stdout"), own_link}) {
        char target[64] = {};
        if (::readlink(link.c_str(), target, sizeof target - 1) < 0 ||
            std::string(target) != "/proc/self/fd/1") {
          problems += name + ": the link " + link + " is gone\n";
        }
      }
    }
    return problems;
  });
  EXPECT_EQ(report, "");
}

// An existing output is replaced whole: through symbolic links the file they
// end in is replaced, in its own folder, and keeps its permission bits; a
// link to nothing yet makes the file it names.
TEST(ReplacedOutputs, FollowLinksAndKeepPermissionBits) {
  const Folder f;
  std::filesystem::create_directory(f.dir / "elsewhere");
  const std::string real = f.dir / "elsewhere/real";
  struct Link {
    const char* what;
    std::vector<std::pair<std::string, std::string>> links;  // name, where it points
    bool older = true;  // a file stands at the end of the chain
  };
  const Link links[] = {
      {"a relative link", {{"link", "elsewhere/real"}}},
      {"an absolute link", {{"link", real}}},
      {"a chain of two links", {{"link", "elsewhere/hop"}, {"elsewhere/hop", "real"}}},
      {"a link to nothing yet", {{"link", "elsewhere/real"}}, false},
  };
  for (const Link& l : links) {
    for (const OutputCase& c : OUTPUT_CASES) {
      const std::string what = std::string(l.what) + ", " + c.what;
      std::filesystem::remove(real);
      if (l.older) {
        testing::write_file(real, testing::bytes_of("an older container"));
        ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
      }
      for (const auto& [name, to] : l.links) std::filesystem::create_symlink(to, f.dir / name);
      const auto result = testing::run_rempar(with_output(c.args, "link"), f.dir.path());
      EXPECT_EQ(result.status, 0) << what << ": " << result.out;
      EXPECT_TRUE(result.out.ends_with(c.ending)) << what << ": " << result.out;
      for (const auto& link : l.links) {
        EXPECT_TRUE(std::filesystem::is_symlink(f.dir / link.first)) << what;
      }
      const std::string expected = c.args[0] == "-p" ? "damaged.cdp" : "damaged.cdt";
      EXPECT_TRUE(testing::exists(real) &&
                  testing::read_file(real) == testing::read_file(f.dir / expected))
          << what;
      struct stat st {};
      if (l.older && ::stat(real.c_str(), &st) == 0) {
        EXPECT_EQ(st.st_mode & 07777, 0640u) << what;
      }
      std::vector<std::string> names;
      for (const auto& e : std::filesystem::directory_iterator(f.dir / "elsewhere")) {
        if (!e.is_symlink()) names.push_back(e.path().filename());
      }
      EXPECT_EQ(names, std::vector<std::string>{"real"}) << what << ": a temporary file is left";
      for (const auto& link : l.links) std::filesystem::remove(f.dir / link.first);
    }
  }
}

// A named pipe with no writer as each input: refused with the usual open
// message, long before a second has passed.
TEST(SpecialInputs, ANamedPipeIsRefusedAtOnce) {
  const Folder f;
  ASSERT_EQ(::mkfifo((f.dir / "fifo").c_str(), 0644), 0);
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"fifo"}, "Error opening input file 'fifo'\n"},
      {{"-p", "-i", "fifo", "good"}, "Error opening .CDT file 'fifo'\n"},
      {{"-p", "-i", "damaged.cdt", "-o", "out.cdp", "fifo"},
       "Error opening verified file 'fifo'\n"},
      {{"-a", "-i", "fifo", "damaged"}, "Error opening .CDP file 'fifo'\n"},
      {{"-a", "-i", "damaged.cdp", "fifo"}, "Error opening target file 'fifo'\n"},
  };
  for (const Case& c : cases) {
    const auto started = std::chrono::steady_clock::now();
    auto run =
        std::async(std::launch::async, [&] { return testing::run_rempar(c.args, f.dir.path()); });
    // A hanging run is ended by opening the pipe's other side.
    if (run.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << c.message << ": the run hangs";
      const int fd = ::open((f.dir / "fifo").c_str(), O_RDWR | O_CLOEXEC);
      run.wait();
      ::close(fd);
      continue;
    }
    const auto taken = std::chrono::steady_clock::now() - started;
    const auto result = run.get();
    EXPECT_LT(taken, std::chrono::seconds(1)) << c.message;
    EXPECT_EQ(result.out, PROCESSING + c.message);
    EXPECT_EQ(result.status, 2) << c.message;
  }
  EXPECT_FALSE(testing::exists(f.dir / "out.cdp"));
}

}  // namespace
}  // namespace rempar
