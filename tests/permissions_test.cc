// Files the tool may not read or write. Root ignores file modes, so the real
// binary runs as the unprivileged user nobody (skipped unless the tests run
// as root); the same refusals are also made through the fault hook, which
// needs no privilege. A refusal is one message and exit status 2, and
// leaves every file as it was: no container created, none truncated, no
// target touched.

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <sstream>

#include "cli/dispatch.h"
#include "ops/create_checksum.h"
#include "ops/create_patch.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::TempDir;

using testing::PROCESSING;

struct Unprivileged {
  uid_t uid;
  gid_t gid;
};

std::optional<Unprivileged> nobody() {
  const passwd* user = ::getpwnam("nobody");
  if (user == nullptr) return std::nullopt;
  return Unprivileged{user->pw_uid, user->pw_gid};
}

// The build folder may lie where `who` cannot reach it (a checkout under
// /root), so the user runs a copy of the binary in a folder anyone may search.
class ReachableBinary {
 public:
  ReachableBinary() {
    std::filesystem::copy_file(REMPAR_BINARY, path());
    std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755));
    std::filesystem::permissions(path(), std::filesystem::perms(0755));
  }
  std::string path() const { return dir_ / "rempar"; }

 private:
  TempDir dir_;
};

// Runs a copy of the real binary in `cwd` as `who`, with no supplementary groups.
testing::RunResult run_as(const Unprivileged& who, const ReachableBinary& binary,
                          const std::vector<std::string>& args, const std::string& cwd) {
  const auto become_who = [&] {
    return ::setgroups(0, nullptr) == 0 && ::setgid(who.gid) == 0 && ::setuid(who.uid) == 0;
  };
  testing::RunResult result =
      testing::finish(testing::start_rempar(args, cwd, become_who, binary.path()));
  result.out += result.err;  // the tool writes nothing to standard error
  return result;
}

// The files of one repair: the good copy, the damaged one, and the
// containers that lead from one to the other.
struct Files {
  Bytes good = testing::random_bytes(100, 31);
  Bytes damaged;
  Bytes cdt;  // of the damaged copy
  Bytes cdp;  // turns the damaged copy into the good one
  Files() {
    damaged = good;
    damaged[50] ^= 1;
    TempDir dir;
    testing::write_file(dir / "good", good);
    testing::write_file(dir / "damaged", damaged);
    std::ostringstream out;
    EXPECT_EQ(run_create_checksum(dir / "damaged", dir / "damaged.cdt", 16384, out),
              Outcome::succeeded);
    EXPECT_EQ(run_create_patch(dir / "damaged.cdt", dir / "good", dir / "damaged.cdp", out),
              Outcome::succeeded);
    cdt = testing::read_file(dir / "damaged.cdt");
    cdp = testing::read_file(dir / "damaged.cdp");
  }
};

const Bytes OLD = testing::bytes_of("an older container");

struct Layout {
  // A file of the case's folder, its bytes and its mode.
  struct Entry {
    std::string name;
    const Bytes* bytes;  // nullptr: a folder
    mode_t mode;
  };
  std::vector<Entry> entries;
  mode_t folder_mode = 0777;
};

struct Case {
  const char* what;
  Layout layout;
  std::vector<std::string> args;
  std::string out;  // after "Processing...\n"
  int status;
  // Afterwards: each name with the bytes it must hold, or nothing when it
  // must not exist.
  std::vector<std::pair<std::string, const Bytes*>> after;
};

void lay_out(const TempDir& dir, const Layout& layout) {
  for (const auto& e : layout.entries) {
    const std::string path = dir / e.name;
    if (e.bytes) {
      testing::write_file(path, *e.bytes);
    } else {
      std::filesystem::create_directory(path);
    }
  }
  // Modes last, deepest first, so that folders can still be filled.
  for (auto e = layout.entries.rbegin(); e != layout.entries.rend(); ++e) {
    ASSERT_EQ(::chmod((dir / e->name).c_str(), e->mode), 0);
  }
  ASSERT_EQ(::chmod(dir.path().c_str(), layout.folder_mode), 0);
}

TEST(Permissions, RefusedAsAnUnprivilegedUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run the tool as another user";
  const auto who = nobody();
  if (!who) GTEST_SKIP() << "no user 'nobody'";
  const ReachableBinary binary;
  {
    TempDir probe;
    ASSERT_EQ(::chmod(probe.path().c_str(), 0755), 0);
    const auto banner = run_as(*who, binary, {"-V"}, probe.path());
    if (banner.status != 0) {
      GTEST_SKIP() << "user 'nobody' cannot run " << binary.path() << " (a noexec /tmp?)";
    }
  }
  const Files f;
  using E = Layout::Entry;
  const Case cases[] = {
      {"an unreadable file",
       {{E{"data", &f.good, 0000}}},
       {"data"},
       "Error opening input file 'data'\n",
       2,
       {{"data.cdt", nullptr}}},
      {"a folder that cannot be written",
       {{E{"data", &f.good, 0644}}, 0555},
       {"data"},
       "Error opening output file 'data.cdt'\n",
       2,
       {{"data.cdt", nullptr}}},
      {"a read-only checksum file in the way",
       {{E{"data", &f.good, 0644}, E{"data.cdt", &OLD, 0444}}},
       {"data"},
       "Error opening output file 'data.cdt'\n",
       2,
       {{"data.cdt", &OLD}}},
      {"a folder that cannot be searched",
       {{E{"sub", nullptr, 0600}, E{"sub/data", &f.good, 0644}}},
       {"sub/data"},
       "Error opening input file 'sub/data'\n",
       2,
       {}},
      {"an unreadable checksum file",
       {{E{"data", &f.good, 0644}, E{"data.cdt", &f.cdt, 0000}}},
       {"-p", "data"},
       "Error opening .CDT file 'data.cdt'\n",
       2,
       {{"data.cdp", nullptr}}},
      {"an unreadable good copy",
       {{E{"data", &f.good, 0000}, E{"data.cdt", &f.cdt, 0644}}},
       {"-p", "data"},
       "Error opening verified file 'data'\n",
       2,
       {{"data.cdp", nullptr}}},
      {"no room for the patch file",
       {{E{"data", &f.good, 0644}, E{"data.cdt", &f.cdt, 0644}}, 0555},
       {"-p", "data"},
       "Error opening output file 'data.cdp'\n",
       2,
       {{"data.cdp", nullptr}}},
      {"a read-only patch file in the way",
       {{E{"data", &f.good, 0644}, E{"data.cdt", &f.cdt, 0644}, E{"data.cdp", &OLD, 0444}}},
       {"-p", "data"},
       "Error opening output file 'data.cdp'\n",
       2,
       {{"data.cdp", &OLD}}},
      {"a read-only target",
       {{E{"data", &f.damaged, 0444}, E{"data.cdp", &f.cdp, 0644}}},
       {"-a", "data"},
       "Error opening target file 'data'\n",
       2,
       {{"data", &f.damaged}}},
      {"an unreadable patch file",
       {{E{"data", &f.damaged, 0666}, E{"data.cdp", &f.cdp, 0000}}},
       {"-a", "data"},
       "Error opening .CDP file 'data.cdp'\n",
       2,
       {{"data", &f.damaged}}},
      // A container that may be written but not replaced, in a folder that
      // takes no temporary file: writing over it would destroy it before
      // the new one were complete, so it is refused and left as it was.
      {"a writable checksum file in a read-only folder",
       {{E{"data", &f.damaged, 0644}, E{"data.cdt", &OLD, 0666}}, 0555},
       {"data"},
       "Error - cannot replace output file 'data.cdt' safely: no temporary file can be made in "
       "its folder (Permission denied); it was left as it was\n",
       2,
       {{"data.cdt", &OLD}}},
      {"a writable patch file in a read-only folder",
       {{E{"data", &f.good, 0644}, E{"data.cdt", &f.cdt, 0644}, E{"data.cdp", &OLD, 0666}}, 0555},
       {"-p", "data"},
       "Error - cannot replace output file 'data.cdp' safely: no temporary file can be made in "
       "its folder (Permission denied); it was left as it was\n",
       2,
       {{"data.cdp", &OLD}}},
      // What the modes allow still works: patching in place needs no
      // folder write.
      {"a writable target in a read-only folder",
       {{E{"data", &f.damaged, 0666}, E{"data.cdp", &f.cdp, 0644}}, 0555},
       {"-a", "data"},
       testing::PATCHED,
       0,
       {{"data", &f.good}}},
      {"everything allowed",
       {{E{"data", &f.good, 0644}, E{"data.cdt", &f.cdt, 0644}}},
       {"-p", "data"},
       "\rCorruption found at 0\n\rCreating internal file checksum...\nCompleted, .CDP file "
       "generated\n",
       0,
       {{"data.cdp", &f.cdp}}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    lay_out(dir, c.layout);
    const auto result = run_as(*who, binary, c.args, dir.path());
    EXPECT_EQ(result.out, PROCESSING + c.out) << c.what;
    EXPECT_EQ(result.status, c.status) << c.what;
    for (const auto& [name, bytes] : c.after) {
      if (bytes) {
        EXPECT_TRUE(testing::exists(dir / name) && testing::read_file(dir / name) == *bytes)
            << c.what << ": " << name;
      } else {
        EXPECT_FALSE(testing::exists(dir / name)) << c.what << ": " << name;
      }
    }
  }
}

// The same refusals as the kernel would make them, through the fault hook:
// opening one of the files fails with a permission error.
TEST(Permissions, RefusedThroughTheFaultHook) {
  const Files f;
  struct HookCase {
    char mode;
    const char* refused;  // the file whose opening fails
    std::string message;
  };
  const HookCase cases[] = {
      {'c', "data", "Error opening input file '@data'\n"},
      {'c', "data.cdt", "Error opening output file '@data.cdt'\n"},
      {'p', "data.cdt", "Error opening .CDT file '@data.cdt'\n"},
      {'p', "data", "Error opening verified file '@data'\n"},
      {'p', "data.cdp", "Error opening output file '@data.cdp'\n"},
      {'a', "data.cdp", "Error opening .CDP file '@data.cdp'\n"},
      {'a', "data", "Error opening target file '@data'\n"},
  };
  for (const int error : {EACCES, EPERM, EROFS}) {
    for (const HookCase& c : cases) {
      TempDir dir;
      const std::string prefix = dir.path().string() + "/";
      testing::write_file(dir / "data", c.mode == 'a' ? f.damaged : f.good);
      if (c.mode == 'p') testing::write_file(dir / "data.cdt", f.cdt);
      if (c.mode == 'a') testing::write_file(dir / "data.cdp", f.cdp);
      const std::string refused = dir / c.refused;
      const testing::FaultHookGuard hook([&](io::Op op, const std::string& name) {
        return io::Fault{op == io::Op::open && testing::same_output(name, refused) ? error : 0};
      });
      Options options;
      options.mode = mode_for_option(c.mode);
      std::ostringstream out;
      const int status = dispatch(options, dir / "data", out);
      std::string message = c.message;
      message.replace(message.find('@'), 1, prefix);
      const std::string what =
          std::string(1, c.mode) + " " + c.refused + " " + io::error_text(error);
      EXPECT_EQ(out.str(), PROCESSING + message) << what;
      EXPECT_EQ(status, 2) << what;
      EXPECT_EQ(testing::read_file(dir / "data"), c.mode == 'a' ? f.damaged : f.good) << what;
      if (c.mode != 'a') {
        EXPECT_FALSE(testing::exists(dir / (c.mode == 'c' ? "data.cdt" : "data.cdp"))) << what;
      }
    }
  }
}

}  // namespace
}  // namespace rempar
