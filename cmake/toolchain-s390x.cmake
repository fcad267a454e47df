# Cross build for IBM Z, a big-endian CPU, run under qemu-s390x:
# `make cross-test ARCH=s390x`.
set(REMPAR_CROSS_TRIPLE s390x-linux-gnu)
set(REMPAR_CROSS_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
