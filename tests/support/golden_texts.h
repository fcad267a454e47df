#pragma once
// The tool's own words that many tests expect, byte for byte. Inline, so
// that constants of a test file may be built from them before main starts.

#include <string>

namespace rempar::testing {

inline const std::string PROCESSING = "Processing...\n";
inline const std::string SEAL_AND_DONE = "\rCreating internal file checksum...\nCompleted\n";
inline const std::string GENERATED =
    "\rCreating internal file checksum...\nCompleted, .CDP file generated\n";
inline const std::string NO_CORRUPTION = "Completed, no corruption detected\n";
inline const std::string PATCHED = "Completed, file patched\n";

}  // namespace rempar::testing
