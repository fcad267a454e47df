# The damaged medium of the tests (tests/damaged_medium.h): a FUSE file system
# program, tests/fixtures/faulty_fs, that serves image files with bad sectors,
# and the library the tests drive it with. Included from the test section.
#
# The program is a helper process of the machine that runs the tests, so it
# is built for that machine even in a cross build, where the tests and the
# tool are built for another CPU and run under qemu-user: there it is compiled
# with the host compiler against the host's libfuse3. Without libfuse3 the
# program is left out and every test that needs it skips, saying why.

set(faulty_fs_sources
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/fixtures/faulty_fs.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/tests/fixtures/fault_table.cc)
set(REMPAR_FAULTY_FS "")

if(NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(FUSE3 QUIET IMPORTED_TARGET fuse3)
  endif()
  if(FUSE3_FOUND)
    add_executable(faulty_fs ${faulty_fs_sources})
    target_link_libraries(faulty_fs PRIVATE PkgConfig::FUSE3)
    set(REMPAR_FAULTY_FS $<TARGET_FILE:faulty_fs>)
  endif()
else()
  # CMAKE_FIND_ROOT_PATH_MODE_PROGRAM is NEVER in the cross toolchains: these
  # are the host's programs; pkg-config is kept from any cross settings.
  find_program(REMPAR_HOST_CXX NAMES c++ g++ clang++)
  find_program(REMPAR_HOST_PKG_CONFIG NAMES pkg-config)
  if(REMPAR_HOST_CXX AND REMPAR_HOST_PKG_CONFIG)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env --unset=PKG_CONFIG_LIBDIR --unset=PKG_CONFIG_PATH
              --unset=PKG_CONFIG_SYSROOT_DIR ${REMPAR_HOST_PKG_CONFIG} --cflags --libs fuse3
      OUTPUT_VARIABLE host_fuse3_flags
      RESULT_VARIABLE host_fuse3_status
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(host_fuse3_status EQUAL 0)
      separate_arguments(host_fuse3_flags UNIX_COMMAND "${host_fuse3_flags}")
      set(host_warnings -Wall -Wextra -Wpedantic -Wshadow)
      if(REMPAR_WERROR)
        list(APPEND host_warnings -Werror)
      endif()
      set(faulty_fs_program ${CMAKE_CURRENT_BINARY_DIR}/host/faulty_fs)
      file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/host)
      add_custom_command(
        OUTPUT ${faulty_fs_program}
        COMMAND ${CMAKE_CXX_COMPILER_LAUNCHER} ${REMPAR_HOST_CXX} -std=c++20 -O2 ${host_warnings}
                ${faulty_fs_sources} -o ${faulty_fs_program} ${host_fuse3_flags}
        DEPENDS ${faulty_fs_sources} ${CMAKE_CURRENT_SOURCE_DIR}/tests/fixtures/fault_table.h
        COMMENT "Building faulty_fs for this machine with ${REMPAR_HOST_CXX}"
        VERBATIM)
      add_custom_target(faulty_fs ALL DEPENDS ${faulty_fs_program})
      set(REMPAR_FAULTY_FS ${faulty_fs_program})
    endif()
  endif()
endif()
if(NOT REMPAR_FAULTY_FS)
  message(STATUS "libfuse3 not found (pkg-config fuse3): the damaged-medium tests will skip")
endif()

add_library(rempar_damaged_medium STATIC tests/damaged_medium.cc)
target_include_directories(rempar_damaged_medium PUBLIC tests)
target_compile_definitions(rempar_damaged_medium PRIVATE REMPAR_FAULTY_FS="${REMPAR_FAULTY_FS}")
if(TARGET faulty_fs)
  add_dependencies(rempar_damaged_medium faulty_fs)
endif()

rempar_test(damaged_medium_test medium)
target_link_libraries(damaged_medium_test PRIVATE rempar_damaged_medium)

rempar_test(proven_repair_medium_test medium)
target_link_libraries(proven_repair_medium_test PRIVATE rempar_damaged_medium)

rempar_test(flaky_medium_test medium)
target_link_libraries(flaky_medium_test PRIVATE rempar_damaged_medium)

# The repair of copies on a medium with bad sectors, end to end.
rempar_test(unreadable_sectors_test medium)
target_link_libraries(unreadable_sectors_test PRIVATE rempar_damaged_medium)
