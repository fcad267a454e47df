# Shared part of the cross toolchains: Debian's cross compilers for the
# triple REMPAR_CROSS_TRIPLE, its sysroot under /usr/<triple>, and qemu-user
# to run what was built. binfmt_misc is not assumed: CMake starts every test
# program through CMAKE_CROSSCOMPILING_EMULATOR, and the tests start the rempar
# binary through the same command.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${REMPAR_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${REMPAR_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${REMPAR_CROSS_TRIPLE}-g++)

set(REMPAR_CROSS_SYSROOT /usr/${REMPAR_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${REMPAR_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${REMPAR_CROSS_PROCESSOR} -L ${REMPAR_CROSS_SYSROOT})
