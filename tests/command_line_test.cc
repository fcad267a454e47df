// The command line as a user meets it: the real binary, its exact standard
// output and its exit status.

#include <gtest/gtest.h>

#include "cli/names.h"
#include "cli/options.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::TempDir;

const std::string USAGE =
    "Possibile options:\nThis help message:\n\trempar -h\nCreating checksum:\n"
    "\trempar [-b bs] [-o CDT] file\nCreating patch:\n\trempar -p [-i CDT] [-o CDP] file\n"
    "Applying patch:\n\trempar -a [-i CDP] file\n";
const std::string BANNER = "REMPAR for *nix v1.0\n";
const std::string UNKNOWN = "Check '-h' option\n";
const std::string MISSING_PARAMETER = "Missing parameter. Use '-h' option\n";
const std::string MISSING_FILE = "Missing file name. Check '-h' option.\n";
const std::string BAD_BLOCK_SIZE =
    "Block size must be a whole number from 0 to 2147483647. Use '-h' option\n";
// Checksum creation of a 100-byte file: one short block, no progress line.
const std::string CREATED = testing::PROCESSING + testing::SEAL_AND_DONE;

struct Case {
  std::vector<std::string> args;
  std::string out;
  int status;
  std::string created = "";      // the checksum file the run must leave
  std::uint32_t block_size = 0;  // recorded in it
};

TEST(CommandLine, EdgeCases) {
  const Case cases[] = {
      {{}, MISSING_FILE, 1},
      {{"-h"}, USAGE, 0},
      {{"-V"}, BANNER, 0},
      {{"-V", "-h"}, BANNER, 0},
      {{"-h", "-V"}, USAGE, 0},
      {{"-x", "-h"}, UNKNOWN, 1},
      {{"-h", "-x"}, USAGE, 0},
      {{"-:"}, UNKNOWN, 1},
      {{"-b"}, MISSING_PARAMETER, 1},
      {{"-p", "-o"}, MISSING_PARAMETER, 1},
      {{"-pi"}, MISSING_PARAMETER, 1},
      {{"-b", "-h", "data"}, CREATED, 0, "data.cdt", 16384},
      {{"-b", "0", "data"}, CREATED, 0, "data.cdt", 16384},
      {{"-b", "abc", "data"}, CREATED, 0, "data.cdt", 16384},
      {{"-c", "data"}, CREATED, 0, "data.cdt", 16384},
      {{"data"}, CREATED, 0, "data.cdt", 16384},
      {{"-b512", "data"}, CREATED, 0, "data.cdt", 512},
      {{"-b", "512", "data"}, CREATED, 0, "data.cdt", 512},
      {{"-b", " +512x", "data"}, CREATED, 0, "data.cdt", 512},
      {{"data", "-p"}, MISSING_FILE, 1},
      {{"data", "other"}, MISSING_FILE, 1},
      {{"--", "-x"}, CREATED, 0, "-x.cdt", 16384},
      {{"-"}, CREATED, 0, "-.cdt", 16384},
      {{"dir/data"}, CREATED, 0, "dir/data.cdt", 16384},
      {{"-i", "some.cdt", "data"}, CREATED, 0, "data.cdt", 16384},
      {{"-b", "100", "-p", "data"}, "Processing...\nError opening .CDT file 'data.cdt'\n", 2},
      {{"-p", "-a", "data"}, "Processing...\nError opening .CDP file 'data.cdp'\n", 2},
      {{"-a", "-p", "data"}, "Processing...\nError opening .CDT file 'data.cdt'\n", 2},
      {{"-o", "a", "-o", "b", "data"}, CREATED, 0, "b", 16384},
      // A block size that is negative or beyond 32 signed bits never reaches
      // an operation, whichever mode is chosen.
      {{"-b", "-1", "data"}, BAD_BLOCK_SIZE, 1},
      {{"-b", "2147483648", "data"}, BAD_BLOCK_SIZE, 1},
      {{"-b", "99999999999999999999", "-p", "data"}, BAD_BLOCK_SIZE, 1},
      {{"-b", "2147483647", "data"}, CREATED, 0, "data.cdt", 2147483647},
      {{"-b", "-0", "data"}, CREATED, 0, "data.cdt", 16384},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const auto data = testing::random_bytes(100, 1);
    for (const char* name : {"data", "-x", "-", "other"}) testing::write_file(dir / name, data);
    std::filesystem::create_directory(dir.path() / "dir");
    testing::write_file(dir / "dir/data", data);

    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "] ";
    const auto result = testing::run_rempar(c.args, dir.path());
    EXPECT_EQ(result.out, c.out) << shown;
    EXPECT_EQ(result.status, c.status) << shown;
    EXPECT_EQ(result.err, "") << shown;
    if (!c.created.empty()) {
      ASSERT_TRUE(testing::exists(dir / c.created)) << shown;
      EXPECT_EQ(testing::le32_at(testing::read_file(dir / c.created), 14), c.block_size) << shown;
    }
    // Nothing but the named checksum file may appear.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
      ++entries;
    EXPECT_EQ(entries, 5u + (c.created.empty() || c.created.starts_with("dir/") ? 0 : 1)) << shown;
  }
}

TEST(CommandLine, DefaultNameAppendsWithoutLooking) {
  EXPECT_EQ(default_name("dir/data", ".cdt"), "dir/data.cdt");
  EXPECT_EQ(default_name("a.cdt", ".cdt"), "a.cdt.cdt");
  EXPECT_EQ(default_name("", ".cdp"), ".cdp");
}

TEST(CommandLine, BlockSizeReadsLikeAtoiWithinRange) {
  const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
      {"512", 512},
      {"  42", 42},
      {"+7", 7},
      {"12abc", 12},
      {"", 0},
      {"abc", 0},
      {"-", 0},
      {"-0", 0},
      {"-5", std::nullopt},
      {"2147483647", 2147483647},
      {"2147483648", std::nullopt},
      {"00000000000000000000001", 1},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(read_block_size(text), expected) << text;
}

}  // namespace
}  // namespace rempar
