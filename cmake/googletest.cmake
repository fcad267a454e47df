# GoogleTest for the tests, once test_libraries.cmake has found it. A native
# build links the installed library; a cross build compiles it for the target
# from the sources that libgtest-dev ships, since the installed library only
# runs on the build machine.
if(CMAKE_CROSSCOMPILING)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${REMPAR_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)  # GTest::gtest_main
  # Our warnings stay errors in our code only: g++ 12 finds false positives
  # in GoogleTest's own sources.
  foreach(library gtest gtest_main)
    target_compile_options(${library} PRIVATE -Wno-error)
  endforeach()
endif()

# The tests start the rempar binary through the same emulator as CMake starts
# them (its words separated by spaces); empty for a native build.
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " REMPAR_EMULATOR)
