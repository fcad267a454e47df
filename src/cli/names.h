#pragma once
// The container names the command line settles on: the names the user gave,
// else names formed from the operand. The operations take the names as given.

#include <optional>
#include <string>
#include <string_view>

#include "cli/options.h"

namespace rempar {

inline constexpr std::string_view CHECKSUM_EXTENSION = ".cdt";
inline constexpr std::string_view PATCH_EXTENSION = ".cdp";

// The operand with an extension appended: a container named to lie beside it.
std::string default_name(std::string_view file, std::string_view ext);

// The patch name for a checksum file name: a trailing ".cdt", in any letter
// case, becomes ".cdp"; any other name gets ".cdp" appended.
std::string derive_patch_name(const std::string& name);

// The containers a run reads and writes; a mode that has no use for one
// leaves it empty.
struct ContainerNames {
  std::string cdt;  // read by patch creation, written by checksum creation
  std::string cdp;  // written by patch creation, read by patch application
};

// The rules of every mode: checksum creation writes -o or FILE.cdt; patch
// creation reads -i or FILE.cdt and writes -o, else the -i name with ".cdp"
// for its ".cdt", else FILE.cdp; patch application reads -i or FILE.cdp.
ContainerNames container_names(const Options& options, const std::string& file);

}  // namespace rempar
