#pragma once
// The command line: options act in the order given, the scan stops at the
// first operand, and exactly one operand, the file, must remain.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace rempar {

inline constexpr std::int32_t DEFAULT_BLOCK_SIZE = 16384;

enum class Mode { create_checksum, create_patch, apply_patch };

// The mode an option letter selects: 'p' patch creation, 'a' patch
// application, anything else ('c') checksum creation.
Mode mode_for_option(char letter);

struct Options {
  Mode mode = Mode::create_checksum;
  std::int32_t block_size = 0;  // 0: the user set none
  std::optional<std::string> input_name;
  std::optional<std::string> output_name;
};

// The scan's verdict: run an operation on `file`, or end now with `exit_status`.
struct CommandLine {
  Options options;
  std::string file;
  std::optional<int> exit_status;  // set when the process ends without an operation
};

// Scans argv; the usage text, the banner and command-line errors are written
// to `out` on the spot.
CommandLine parse_command_line(int argc, char** argv, std::ostream& out);

// The block size as the command line reads it: optional white space, an
// optional sign, then digits up to the first other character; no digits read
// as 0. Nothing when the value is negative or does not fit 32 signed bits.
std::optional<std::int32_t> read_block_size(std::string_view text);

}  // namespace rempar
