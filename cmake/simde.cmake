# SIMDe, for the kernels that the tests build a second time under emulation:
# sets SIMDE_INCLUDE_DIR. SIMDe is headers only and the same for every CPU. A
# cross build takes it from the build machine and sees it through a folder of
# its own that holds nothing else, so that no other header of the build
# machine can shadow one of the target's.
if(CMAKE_CROSSCOMPILING)
  find_path(SIMDE_HOST_DIR simde/x86/avx512.h REQUIRED NO_CMAKE_FIND_ROOT_PATH)
  set(SIMDE_INCLUDE_DIR ${CMAKE_BINARY_DIR}/simde-only)
  file(MAKE_DIRECTORY ${SIMDE_INCLUDE_DIR})
  file(CREATE_LINK ${SIMDE_HOST_DIR}/simde ${SIMDE_INCLUDE_DIR}/simde SYMBOLIC)
else()
  find_path(SIMDE_INCLUDE_DIR simde/x86/avx512.h REQUIRED)
endif()
