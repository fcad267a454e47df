# SIMDe, for the kernels that the tests build a second time under emulation:
# sets SIMDE_INCLUDE_DIR from what test_libraries.cmake found. A cross build
# sees the build machine's SIMDe through a folder of its own that holds
# nothing else, so that no other header of the build machine can shadow one
# of the target's.
if(CMAKE_CROSSCOMPILING)
  set(SIMDE_INCLUDE_DIR ${CMAKE_BINARY_DIR}/simde-only)
  file(MAKE_DIRECTORY ${SIMDE_INCLUDE_DIR})
  file(CREATE_LINK ${REMPAR_SIMDE_HOST_DIR}/simde ${SIMDE_INCLUDE_DIR}/simde SYMBOLIC)
else()
  set(SIMDE_INCLUDE_DIR ${REMPAR_SIMDE_HOST_DIR})
endif()
