# Finds the libraries the tests need, GoogleTest and SIMDe, without requiring
# them: the tool itself needs neither. REMPAR_TEST_PACKAGES_MISSING lists the
# Debian packages that would provide what is missing. A build of the tests
# (REMPAR_TESTS=ON) stops at once with one line naming them; a build of the
# tool alone names them in one line and goes on.
#
# -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON and -DCMAKE_DISABLE_FIND_PACKAGE_SIMDe=ON
# make either library count as missing, to try a machine without it.
set(REMPAR_TEST_PACKAGES_MISSING "")

# A native build links the installed library; a cross build compiles it for
# the target from the sources that libgtest-dev ships (see googletest.cmake).
if(CMAKE_CROSSCOMPILING)
  set(REMPAR_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
  if(CMAKE_DISABLE_FIND_PACKAGE_GTest OR NOT EXISTS "${REMPAR_GTEST_SOURCE}/CMakeLists.txt")
    list(APPEND REMPAR_TEST_PACKAGES_MISSING libgtest-dev)
  endif()
else()
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    list(APPEND REMPAR_TEST_PACKAGES_MISSING libgtest-dev)
  endif()
endif()

# SIMDe is headers only and the same for every CPU: a cross build takes it
# from the build machine too.
if(NOT CMAKE_DISABLE_FIND_PACKAGE_SIMDe)
  find_path(REMPAR_SIMDE_HOST_DIR simde/x86/avx512.h NO_CMAKE_FIND_ROOT_PATH)
endif()
if(NOT REMPAR_SIMDE_HOST_DIR OR CMAKE_DISABLE_FIND_PACKAGE_SIMDe)
  list(APPEND REMPAR_TEST_PACKAGES_MISSING libsimde-dev)
endif()

if(REMPAR_TEST_PACKAGES_MISSING)
  list(JOIN REMPAR_TEST_PACKAGES_MISSING " " missing)
  if(REMPAR_TESTS)
    # The line alone, unwrapped, for `make test` to show; then the stop.
    message(NOTICE "make test needs: apt-get install ${missing} (missing here)")
    message(FATAL_ERROR "a library the tests need is missing (see the line above)")
  endif()
  message(STATUS "make test will need: apt-get install ${missing} (the tool itself needs neither)")
endif()
