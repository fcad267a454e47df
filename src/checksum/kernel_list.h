#pragma once
// Every checksum kernel the project has, on any CPU family, named once. The
// table crc_dispatch.cc chooses from, the emulated table of crc_emulated.cc,
// KERNEL_NAMES and the names CMakeLists.txt accepts for REMPAR_MAX_KERNEL
// are all made from this list.
//
// A row is KERNEL(name, family, priority):
//   name      the kernel's name, and the stem of its functions update_<name>
//             and <name>_supported (declared in crc_kernels.h);
//   family    ANY (runs on any CPU), X86 (x86-64) or ARM (little-endian
//             AArch64);
//   priority  the supported kernel ranked highest runs.
// CMakeLists.txt reads the names from the rows: keep one row to a line.
#define REMPAR_CRC_KERNELS(KERNEL) \
  KERNEL(bytewise, ANY, 0)         \
  KERNEL(portable, ANY, 10)        \
  KERNEL(sse41, X86, 20)           \
  KERNEL(avx2, X86, 30)            \
  KERNEL(avx512, X86, 40)          \
  KERNEL(neon, ARM, 30)

// Which families this build has natively: those of the CPU it is built for.
#if defined(__x86_64__)
#define REMPAR_NATIVE_X86 1
#endif
#if defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define REMPAR_NATIVE_ARM 1
#endif

// REMPAR_IF_NATIVE_<family>(...) keeps its arguments where this build runs
// the family's kernels natively; REMPAR_IF_EMULATED_<family>(...) where the
// test build runs them under emulation (crc_emulated.h): the x86 kernels on
// every CPU, the NEON kernel off AArch64. Kernels for any CPU need none.
#define REMPAR_IF_NATIVE_ANY(...) __VA_ARGS__
#define REMPAR_IF_EMULATED_ANY(...)
#define REMPAR_IF_EMULATED_X86(...) __VA_ARGS__
#if defined(REMPAR_NATIVE_X86)
#define REMPAR_IF_NATIVE_X86(...) __VA_ARGS__
#else
#define REMPAR_IF_NATIVE_X86(...)
#endif
#if defined(REMPAR_NATIVE_ARM)
#define REMPAR_IF_NATIVE_ARM(...) __VA_ARGS__
#else
#define REMPAR_IF_NATIVE_ARM(...)
#endif
#if !defined(__aarch64__)
#define REMPAR_IF_EMULATED_ARM(...) __VA_ARGS__
#else
#define REMPAR_IF_EMULATED_ARM(...)
#endif
