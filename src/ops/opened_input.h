#pragma once
// Opening the files an operation reads, with the checks every driver makes
// before it creates anything: a regular file, and an output name that is not
// one of the inputs.

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

// Opens `name` in `mode` (read, or update in place); prints "Error opening
// <role> '<name>'" and returns nothing when it cannot be opened or is not a
// regular file.
std::optional<OpenedInput> open_input(const std::string& name, std::string_view role,
                                      io::File::Mode mode, std::ostream& out);

// False, after a message, when `output_name` already names the same file as
// `input`, however it is spelled: opening it for writing would truncate it.
bool is_distinct_output(const std::string& output_name, std::string_view output_role,
                        const OpenedInput& input, std::string_view input_role, std::ostream& out);

}  // namespace rempar
