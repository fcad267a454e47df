#pragma once
// Inputs whose block checksums are known, worked out apart from any kernel:
// short texts, counting bytes across a sixteen-byte pass, and runs of 0xFF
// bytes of many lengths, which leave the initial register as it is.

#include <cstdint>
#include <vector>

#include "support/little_endian.h"

namespace rempar::testing {

struct KnownChecksum {
  const char* what;
  Bytes data;
  std::uint32_t checksum;
};

const std::vector<KnownChecksum>& known_checksums();

}  // namespace rempar::testing
