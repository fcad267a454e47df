#include "ops/opened_input.h"

#include <cerrno>

#include "common/messages.h"

namespace rempar {

namespace {

bool acceptable(const io::PathInfo& info, Devices devices) {
  if (info.regular) return true;
  // A device whose size cannot be asked would pass for an empty file.
  return devices == Devices::allowed && info.kind == io::Kind::block_device && info.size_known;
}

}  // namespace

std::optional<OpenedInput> open_input(const std::string& name, std::string_view role,
                                      io::File::Mode mode, std::ostream& out, Devices devices) {
  int error = 0;
  auto file = io::File::open(name, mode, &error);
  std::optional<io::PathInfo> info;
  if (file) info = file->info();
  if (!file && error == EBUSY) {
    out << msg::device_in_use(role, name);
    return std::nullopt;
  }
  if (!info || !acceptable(*info, devices)) {
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
