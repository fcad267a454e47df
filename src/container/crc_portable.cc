#include "container/crc_kernels.h"
#include "container/crc_table.h"

namespace rempar::crc {

std::uint32_t update_bytewise(std::uint32_t reg, const std::uint8_t* data,
                              std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) reg = crc_step(reg, data[i]);
  return reg;
}

// Unrolled sixteen bytes a pass; the result is that of the byte loop.
std::uint32_t update_portable(std::uint32_t reg, const std::uint8_t* data,
                              std::size_t length) {
  std::size_t i = 0;
  for (; i + 16 <= length; i += 16) {
    for (std::size_t j = 0; j < 16; ++j) reg = crc_step(reg, data[i + j]);
  }
  for (; i < length; ++i) reg = crc_step(reg, data[i]);
  return reg;
}

}  // namespace rempar::crc
