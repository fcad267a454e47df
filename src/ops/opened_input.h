#pragma once
// Opening the files an operation reads, with the checks every driver makes
// before it creates anything: a regular file (or, where allowed, a block
// device), and an output name that is not one of the inputs.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "common/file.h"

namespace rempar {

struct OpenedInput {
  io::File file;
  std::int64_t size = 0;
  io::FileIdentity identity;
};

// Whether a block device may stand for the file: it may for the file that
// an operation checksums, compares or patches, never for a container.
enum class Devices { refused, allowed };

// Opens `name` in `mode` (read, or update in place); prints "Error opening
// <role> '<name>'" and returns nothing when it cannot be opened or is not a
// regular file (or an allowed block device whose size the system tells).
[[nodiscard]] std::optional<OpenedInput> open_input(const std::string& name, std::string_view role,
                                                    io::File::Mode mode, std::ostream& out,
                                                    Devices devices = Devices::refused);

// False, after a message, when `output_name` already names the same file as
// `input`, however it is spelled: opening it for writing would truncate it.
[[nodiscard]] bool is_distinct_output(const std::string& output_name, std::string_view output_role,
                                      const OpenedInput& input, std::string_view input_role,
                                      std::ostream& out);

}  // namespace rempar
