#include "cli/names.h"

#include <algorithm>
#include <cctype>

namespace rempar {
namespace {

bool ends_in_cdt(const std::string& name) {
  if (name.size() < CHECKSUM_EXTENSION.size()) return false;
  const std::string_view tail =
      std::string_view(name).substr(name.size() - CHECKSUM_EXTENSION.size());
  return std::equal(tail.begin(), tail.end(), CHECKSUM_EXTENSION.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
}

}  // namespace

std::string default_name(std::string_view file, std::string_view ext) {
  std::string name(file);
  name += ext;
  return name;
}

std::string derive_patch_name(const std::string& name) {
  if (!ends_in_cdt(name)) return default_name(name, PATCH_EXTENSION);
  return name.substr(0, name.size() - CHECKSUM_EXTENSION.size()) + std::string(PATCH_EXTENSION);
}

ContainerNames container_names(const Options& options, const std::string& file) {
  const auto given_or = [&](const std::optional<std::string>& given, std::string_view ext) {
    return given.value_or(default_name(file, ext));
  };
  switch (options.mode) {
    case Mode::create_checksum: return {given_or(options.output_name, CHECKSUM_EXTENSION), {}};
    case Mode::create_patch: {
      std::string cdp = options.output_name  ? *options.output_name
                        : options.input_name ? derive_patch_name(*options.input_name)
                                             : default_name(file, PATCH_EXTENSION);
      return {given_or(options.input_name, CHECKSUM_EXTENSION), std::move(cdp)};
    }
    case Mode::apply_patch: return {{}, given_or(options.input_name, PATCH_EXTENSION)};
  }
  return {};
}

}  // namespace rempar
