# Cross build for 64-bit ARM, run under qemu-aarch64: `make cross-test ARCH=aarch64`.
set(REMPAR_CROSS_TRIPLE aarch64-linux-gnu)
set(REMPAR_CROSS_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
