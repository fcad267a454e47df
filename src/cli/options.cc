#include "cli/options.h"

#include <unistd.h>

#include <cctype>

#include "common/messages.h"

namespace rempar {

Mode mode_for_option(char letter) {
  switch (letter) {
    case 'p': return Mode::create_patch;
    case 'a': return Mode::apply_patch;
    default: return Mode::create_checksum;
  }
}

std::optional<std::int32_t> read_block_size(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

CommandLine parse_command_line(int argc, char** argv, std::ostream& out) {
  CommandLine result;
  Options& options = result.options;
  auto end_with = [&](std::string_view text, int status) {
    out << text;
    result.exit_status = status;
    return result;
  };
  // '+': stop at the first operand, never reorder; ':': report a missing
  // argument as ':' and print no diagnostics of getopt's own.
  opterr = 0;
  optind = 0;  // a fresh scan, also when called more than once in a process
  for (int c; (c = ::getopt(argc, argv, "+:hVpacb:o:i:")) != -1;) {
    switch (c) {
      case 'h': return end_with(msg::USAGE, 0);
      case 'V':
        out << msg::VERSION_PREFIX;
        return end_with(std::string(msg::PROGRAM_VERSION) + "\n", 0);
      case 'p':
      case 'a': options.mode = mode_for_option(static_cast<char>(c)); break;
      case 'c': break;
      case 'b': {
        const auto size = read_block_size(optarg);
        if (!size) return end_with(msg::BAD_BLOCK_SIZE, 1);
        options.block_size = *size;
        break;
      }
      case 'o': options.output_name = optarg; break;
      case 'i': options.input_name = optarg; break;
      case ':': return end_with(msg::MISSING_PARAMETER, 1);
      default: return end_with(msg::UNKNOWN_OPTION, 1);
    }
  }
  if (argc - optind != 1) return end_with(msg::MISSING_FILE, 1);
  result.file = argv[optind];
  return result;
}

}  // namespace rempar
