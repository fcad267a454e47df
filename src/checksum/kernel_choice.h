#pragma once
// Which kernel block_crc runs. It is chosen once from what the CPU offers;
// tests and benchmarks may pin another to compare kernels on the same work.

#include "checksum/crc_kernels.h"

namespace rempar::crc {

Kernel current_kernel();
void set_kernel(Kernel kernel);

}  // namespace rempar::crc
