// File names are byte strings: spaces, a leading hyphen, a newline, bytes
// that are no UTF-8, paths at the length limit. The real binary takes them
// from its command line, derives its container names from them and prints
// them in its messages exactly as given.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "cli/dispatch.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::TempDir;

using testing::PROCESSING;

// Names that need care; every one is a valid name on Linux.
const std::vector<std::string> NAMES = {
    "two words",
    " leading and trailing spaces ",
    "-leading-hyphen",
    "--",
    "-p",
    "line\nbreak",
    "carriage\rreturn",
    "tab\there",
    "\xff\xfe not UTF-8 \xc3\x28",
    "\xe2\x82\xac and \xf0\x9f\x92\xbe",  // valid UTF-8 of 3 and 4 bytes
    "quotes ' and \" and \\",
    "*?[glob]{a,b}$HOME`x`",
    ".hidden",
    "name.CDT",
};

std::string shown(const std::string& name) {
  std::string text;
  for (unsigned char c : name) {
    if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      text += hex;
    }
  }
  return text;
}

// The whole repair cycle under `name`, the file in two folders: checksum
// creation on the damaged copy, patch creation on the good one, patch
// application on the damaged one; always with "--" before the name.
TEST(Names, RepairCycleUnderAnyName) {
  const Bytes good = testing::random_bytes(40000, 21);
  Bytes damaged = good;
  damaged[20000] ^= 1;
  for (const std::string& name : NAMES) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "good");
    std::filesystem::create_directory(dir.path() / "damaged");
    const std::string good_dir = dir / "good";
    const std::string damaged_dir = dir / "damaged";
    testing::write_file(good_dir + "/" + name, good);
    testing::write_file(damaged_dir + "/" + name, damaged);

    const auto created = testing::run_rempar({"--", name}, damaged_dir);
    EXPECT_EQ(created.status, 0) << shown(name) << created.out;
    ASSERT_TRUE(testing::exists(damaged_dir + "/" + name + ".cdt")) << shown(name);
    std::filesystem::copy_file(damaged_dir + "/" + name + ".cdt", good_dir + "/" + name + ".cdt");

    const auto patched = testing::run_rempar({"-p", "--", name}, good_dir);
    EXPECT_EQ(patched.out, PROCESSING +
                               "\rCorruption found at 16384\n\r40%"
                               "\rCreating internal file checksum...\n"
                               "Completed, .CDP file generated\n")
        << shown(name);
    ASSERT_TRUE(testing::exists(good_dir + "/" + name + ".cdp")) << shown(name);
    std::filesystem::copy_file(good_dir + "/" + name + ".cdp", damaged_dir + "/" + name + ".cdp");

    const auto applied = testing::run_rempar({"-a", "--", name}, damaged_dir);
    EXPECT_EQ(applied.out, PROCESSING + testing::PATCHED) << shown(name);
    EXPECT_EQ(testing::read_file(damaged_dir + "/" + name), good) << shown(name);
    // Nothing under any other name: no name was cut, changed or split.
    for (const std::string& folder : {good_dir, damaged_dir}) {
      std::size_t entries = 0;
      for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++entries;
      EXPECT_EQ(entries, 3u) << shown(name) << " in " << folder;
    }
  }
}

// The names given with -i and -o are used as they are, hyphens and all.
TEST(Names, OptionArgumentsTakeAnyName) {
  for (const std::string& name : NAMES) {
    TempDir dir;
    const Bytes data = testing::random_bytes(100, 22);
    testing::write_file(dir / "data", data);
    const std::string cdt = name + " checksums";
    const std::string cdp = "-" + name + " patch";
    const auto created = testing::run_rempar({"-o", cdt, "data"}, dir.path());
    EXPECT_EQ(created.status, 0) << shown(name);
    EXPECT_TRUE(testing::exists(dir / cdt)) << shown(name);
    Bytes changed = data;
    changed[0] ^= 1;
    testing::write_file(dir / "good", changed);
    const auto patched = testing::run_rempar({"-p", "-i", cdt, "-o", cdp, "good"}, dir.path());
    EXPECT_EQ(patched.status, 0) << shown(name) << patched.out;
    ASSERT_TRUE(testing::exists(dir / cdp)) << shown(name);
    const auto applied = testing::run_rempar({"-a", "-i", cdp, "data"}, dir.path());
    EXPECT_EQ(applied.status, 0) << shown(name);
    EXPECT_EQ(testing::read_file(dir / "data"), changed) << shown(name);
  }
}

// Messages quote names byte for byte, newlines and invalid UTF-8 included.
TEST(Names, MessagesQuoteNamesAsGiven) {
  for (const std::string& name : NAMES) {
    TempDir dir;
    struct Case {
      std::vector<std::string> args;
      std::string message;
    };
    const Case cases[] = {
        {{"--", name}, "Error opening input file '" + name + "'\n"},
        {{"-p", "--", name}, "Error opening .CDT file '" + name + ".cdt'\n"},
        {{"-a", "--", name}, "Error opening .CDP file '" + name + ".cdp'\n"},
        {{"-p", "-i", name, "--", "x"}, "Error opening .CDT file '" + name + "'\n"},
        {{"-a", "-i", name, "x"}, "Error opening .CDP file '" + name + "'\n"},
    };
    for (const Case& c : cases) {
      const auto result = testing::run_rempar(c.args, dir.path());
      EXPECT_EQ(result.out, PROCESSING + c.message) << shown(name);
      EXPECT_EQ(result.status, 2) << shown(name);
      EXPECT_EQ(result.err, "") << shown(name);
    }
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
      ++entries;
    EXPECT_EQ(entries, 0u) << shown(name);
  }
}

// A tree of folders with names of `component` bytes, deep enough that the
// relative path "d/d/.../file" has exactly `length` bytes; made and removed
// through folder descriptors, since the absolute paths pass PATH_MAX.
class DeepPath {
 public:
  DeepPath(const std::string& root, std::size_t length, std::size_t component = 200) : root_(root) {
    const std::string dir_name(component, 'd');
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (path_.size() + component + 1 + 1 < length) {
      if (::mkdirat(fd, dir_name.c_str(), 0755) != 0) throw std::runtime_error("mkdirat");
      const int next = ::openat(fd, dir_name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ::close(fd);
      fd = next;
      path_ += dir_name + "/";
      ++depth_;
    }
    leaf_ = std::string(length - path_.size(), 'f');
    path_ += leaf_;
    fd_ = fd;
  }
  ~DeepPath() {
    // Empties each folder from the deepest up.
    ::close(fd_);
    remove_below(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), depth_);
  }
  DeepPath(const DeepPath&) = delete;
  DeepPath& operator=(const DeepPath&) = delete;

  const std::string& path() const { return path_; }
  // Writes a file in the deepest folder, named `name`.
  void write(const std::string& name, const Bytes& bytes) const {
    const int fd = ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  bool has(const std::string& name) const { return ::faccessat(fd_, name.c_str(), F_OK, 0) == 0; }
  const std::string& leaf() const { return leaf_; }

 private:
  static void remove_below(int fd, int depth) {
    if (fd < 0) return;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), ::closedir);
    if (!dir) return;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir.get())) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    for (const std::string& n : names) {
      if (::unlinkat(::dirfd(dir.get()), n.c_str(), 0) == 0) continue;
      if (depth > 0) {
        remove_below(::openat(::dirfd(dir.get()), n.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC),
                     depth - 1);
      }
      ::unlinkat(::dirfd(dir.get()), n.c_str(), AT_REMOVEDIR);
    }
  }

  std::string root_;
  std::string path_;
  std::string leaf_;
  int fd_ = -1;
  int depth_ = 0;
};

// PATH_MAX counts the terminating zero: a path has at most PATH_MAX - 1
// bytes, and a name at most NAME_MAX. The tool takes names up to the limit
// and reports a derived name past it as a file it cannot create.
TEST(Names, PathsAtTheLengthLimit) {
  const Bytes data = testing::random_bytes(100, 23);
  struct Case {
    const char* what;
    std::size_t length;  // of the operand
    bool fits;           // whether the operand plus ".cdt" is still a valid path
  };
  const Case cases[] = {
      {"operand and checksum file within PATH_MAX", PATH_MAX - 1 - 4, true},
      {"checksum file one byte past PATH_MAX", PATH_MAX - 4, false},
      {"operand of PATH_MAX - 1 bytes", PATH_MAX - 1, false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    DeepPath deep(dir.path().string(), c.length);
    ASSERT_EQ(deep.path().size(), c.length);
    deep.write(deep.leaf(), data);
    const auto result = testing::run_rempar({deep.path()}, dir.path());
    if (c.fits) {
      EXPECT_EQ(result.status, 0) << c.what << ": " << result.out.substr(0, 100);
      EXPECT_TRUE(result.out.ends_with("Completed\n")) << c.what;
      EXPECT_TRUE(deep.has(deep.leaf() + ".cdt")) << c.what;
      const auto patched = testing::run_rempar({"-p", deep.path()}, dir.path());
      EXPECT_EQ(patched.out, PROCESSING + testing::NO_CORRUPTION) << c.what;
    } else {
      EXPECT_EQ(result.out, PROCESSING + "Error opening output file '" + deep.path() + ".cdt'\n")
          << c.what;
      EXPECT_EQ(result.status, 2) << c.what;
      const auto patched = testing::run_rempar({"-p", deep.path()}, dir.path());
      EXPECT_EQ(patched.out, PROCESSING + "Error opening .CDT file '" + deep.path() + ".cdt'\n")
          << c.what;
      EXPECT_EQ(patched.status, 2) << c.what;
    }
  }
  // One byte more than a path may have: it cannot even be opened, and the
  // message still shows all of it.
  TempDir dir;
  const std::string too_long(PATH_MAX, 'x');
  const auto result = testing::run_rempar({too_long}, dir.path());
  EXPECT_EQ(result.out, PROCESSING + "Error opening input file '" + too_long + "'\n");
  EXPECT_EQ(result.status, 2);
}

TEST(Names, NamesAtTheComponentLimit) {
  const Bytes data = testing::random_bytes(100, 24);
  for (const std::size_t length :
       {std::size_t{NAME_MAX} - 4, std::size_t{NAME_MAX} - 3, std::size_t{NAME_MAX}}) {
    TempDir dir;
    const std::string name(length, 'n');
    testing::write_file(dir / name, data);
    const auto result = testing::run_rempar({name}, dir.path());
    if (length + 4 <= NAME_MAX) {
      EXPECT_EQ(result.status, 0) << length;
      EXPECT_TRUE(testing::exists(dir / (name + ".cdt"))) << length;
    } else {
      EXPECT_EQ(result.out, PROCESSING + "Error opening output file '" + name + ".cdt'\n")
          << length;
      EXPECT_EQ(result.status, 2) << length;
    }
  }
}

// An output name at the component limit still gets a temporary file beside
// it, under a shortened name: a run that fails part way leaves the older
// container byte for byte, one that succeeds replaces it, and neither leaves
// anything else behind.
TEST(Names, OutputNamesAtTheComponentLimitAreReplacedSafely) {
  const Bytes good = testing::random_bytes(100000, 25);
  const Bytes damaged = testing::damaged_copy(good, 16384, 2);
  const Bytes older = testing::bytes_of("an older container");
  for (const char mode : {'c', 'p'}) {
    const Bytes complete = mode == 'c' ? testing::checksum_file_of(good, DEFAULT_BLOCK_SIZE)
                                       : testing::patch_file_of(good, damaged, DEFAULT_BLOCK_SIZE);
    for (const std::size_t length : {std::size_t{NAME_MAX} - 1, std::size_t{NAME_MAX}}) {
      for (const bool fails : {true, false}) {
        const std::string what = std::string(1, mode) + ", " + std::to_string(length) +
                                 (fails ? " bytes, failing" : " bytes");
        TempDir dir;
        const std::string output = dir / std::string(length, 'o');
        testing::write_file(dir / "data", good);
        testing::write_file(output, older);
        Options options;
        options.mode = mode_for_option(mode);
        options.output_name = output;
        if (mode == 'p') {
          testing::write_file(dir / "data.cdt", testing::checksum_file_of(damaged, 16384));
          options.input_name = dir / "data.cdt";
        }
        // The file read block by block fails, part way through the run, with
        // an error that is no unreadable sector (those are marked and read past).
        const testing::FaultHookGuard hook([&](io::Op op, const std::string& name) {
          return io::Fault{
              fails && testing::reads_as(op, io::Op::read) && name == dir / "data" ? EISDIR : 0};
        });
        std::ostringstream out;
        EXPECT_EQ(dispatch(options, dir / "data", out), fails ? 2 : 0) << what << out.str();
        EXPECT_TRUE(testing::read_file(output) == (fails ? older : complete)) << what;
        std::size_t entries = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
          ++entries;
        EXPECT_EQ(entries, mode == 'c' ? 2u : 3u) << what;
      }
    }
  }
}

// Names that can never be written fail when the output is opened, before
// any input is read: the message is the open's, with no progress before it.
TEST(Names, OutputNamesThatCanNeverBeWritten) {
  TempDir dir;
  const Bytes data = testing::random_bytes(3 << 20, 26);
  testing::write_file(dir / "data", data);
  testing::write_file(dir / "data.cdt", testing::checksum_file_of(data, 16384));
  std::filesystem::create_directory(dir / "sub");
  for (const std::string name : {"", "missing/out", "sub/", "sub", "missing/", "data/out"}) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-o", name, "data"}, {"-p", "-i", "data.cdt", "-o", name, "data"}}) {
      const auto result = testing::run_rempar(args, dir.path());
      EXPECT_EQ(result.out, PROCESSING + "Error opening output file '" + name + "'\n")
          << args[0] << " '" << name << "'";
      EXPECT_EQ(result.status, 2) << name;
    }
  }
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 3u);
}

}  // namespace
}  // namespace rempar
