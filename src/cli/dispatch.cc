#include "cli/dispatch.h"

#include <cstdlib>
#include <new>
#include <string_view>

#include "cli/names.h"
#include "common/messages.h"
#include "ops/apply_patch.h"
#include "ops/block_walk.h"
#include "ops/create_checksum.h"
#include "ops/create_patch.h"
#include "ops/pending_output.h"

namespace rempar {
namespace {

constexpr int EXIT_OPERATION_FAILED = 2;

Outcome run_mode(const Options& options, const std::string& file, std::ostream& out) {
  const ContainerNames names = container_names(options, file);
  switch (options.mode) {
    case Mode::apply_patch: return run_apply_patch(names.cdp, file, out);
    case Mode::create_patch: return run_create_patch(names.cdt, file, names.cdp, out);
    case Mode::create_checksum: break;
  }
  const std::int32_t block_size = options.block_size == 0 ? DEFAULT_BLOCK_SIZE : options.block_size;
  return run_create_checksum(file, names.cdt, block_size, out);
}

// Whether the container the run writes goes to the process's standard output.
bool writes_standard_output(const Options& options, const std::string& file) {
  const ContainerNames names = container_names(options, file);
  switch (options.mode) {
    case Mode::create_checksum: return is_standard_output(names.cdt);
    case Mode::create_patch: return is_standard_output(names.cdp);
    case Mode::apply_patch: break;
  }
  return false;
}

}  // namespace

int dispatch(const Options& options, const std::string& file, std::ostream& out) {
  Outcome outcome = Outcome::failed;
  // The one place where running out of memory is caught: unwinding has
  // closed every file and removed every half-written output by here.
  try {
    outcome = run_mode(options, file, out);
  } catch (const std::bad_alloc&) {
    out << msg::not_enough_memory("this run");
  }
  return outcome == Outcome::succeeded ? 0 : EXIT_OPERATION_FAILED;
}

namespace {

// REMPAR_WALK=read makes every walk read with read() into a buffer, as the
// benchmarks compare; REMPAR_WALK=mapped maps every window of a regular
// file, as tests of that path want. The default maps where that pays.
void choose_walk_method() {
  const char* chosen = std::getenv("REMPAR_WALK");  // NOLINT(concurrency-mt-unsafe)
  const std::string_view method = chosen ? chosen : "";
  if (method == "read") set_walk_method(WalkMethod::read);
  if (method == "mapped") set_walk_method(WalkMethod::mapped);
}

}  // namespace

int run_program(int argc, char** argv, std::ostream& out, std::ostream& err) {
  choose_walk_method();
  const CommandLine command = parse_command_line(argc, argv, out);
  if (command.exit_status) return *command.exit_status;
  return dispatch(command.options, command.file,
                  writes_standard_output(command.options, command.file) ? err : out);
}

}  // namespace rempar
