#include "cli/dispatch.h"

#include "ops/apply_patch.h"
#include "ops/create_checksum.h"
#include "ops/create_patch.h"

namespace rempar {
namespace {

constexpr int EXIT_OPERATION_FAILED = 2;

Outcome dispatch_create_checksum(const Options& options, const std::string& file,
                                 std::ostream& out) {
  const std::int32_t block_size = options.block_size == 0 ? DEFAULT_BLOCK_SIZE : options.block_size;
  const std::string cdt_name = options.output_name.value_or(default_name(file, CHECKSUM_EXTENSION));
  return run_create_checksum(file, cdt_name, block_size, out);
}

}  // namespace

int dispatch(const Options& options, const std::string& file, std::ostream& out) {
  Outcome outcome = Outcome::succeeded;
  switch (options.mode) {
    case 'a': outcome = dispatch_apply_patch(options, file, out); break;
    case 'p': outcome = dispatch_create_patch(options, file, out); break;
    default: outcome = dispatch_create_checksum(options, file, out); break;
  }
  return outcome == Outcome::succeeded ? 0 : EXIT_OPERATION_FAILED;
}

int run_program(int argc, char** argv, std::ostream& out) {
  const CommandLine command = parse_command_line(argc, argv, out);
  if (command.exit_status) return *command.exit_status;
  return dispatch(command.options, command.file, out);
}

}  // namespace rempar
