// Pipes and devices where the tool expects files. As an output, /dev/null or
// a named pipe is written directly and the run ends as usual; as an input, a
// named pipe is refused at once, whether or not anything writes to it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::TempDir;

using testing::PROCESSING;

// A good copy, a damaged copy and the containers between them, with a
// checksum file larger than a pipe's buffer.
struct Folder {
  TempDir dir;
  Folder() {
    const Bytes good = testing::random_bytes(3 << 20, 41);
    testing::write_file(dir / "good", good);
    testing::write_file(dir / "damaged", testing::damaged_copy(good, 64, 1000));
    EXPECT_EQ(testing::run_rempar({"-b", "64", "damaged"}, dir.path()).status, 0);
    EXPECT_EQ(
        testing::run_rempar({"-p", "-i", "damaged.cdt", "-o", "damaged.cdp", "good"}, dir.path())
            .status,
        0);
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
