#include "ops/opened_input.h"

#include "common/messages.h"

namespace rempar {

std::optional<OpenedInput> open_input(const std::string& name, std::string_view role,
                                      io::File::Mode mode, std::ostream& out) {
  auto file = io::File::open(name, mode);
  std::optional<io::PathInfo> info;
  if (file) info = file->info();
  if (!info || !info->regular) {
    out << msg::open_failed(role, name);
    return std::nullopt;
  }
  return OpenedInput{std::move(*file), info->size, info->identity};
}

bool is_distinct_output(const std::string& output_name, std::string_view output_role,
                        const OpenedInput& input, std::string_view input_role, std::ostream& out) {
  const auto existing = io::stat_path(output_name);
  if (!existing || existing->identity != input.identity) return true;
  out << msg::same_file(output_role, output_name, input_role, input.file.name());
  return false;
}

}  // namespace rempar
