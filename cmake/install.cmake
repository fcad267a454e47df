# Install rules and packaging, included at the end of the top CMakeLists.txt.
#
#   cmake --install build --prefix /usr/local   (DESTDIR in the environment
#                                                stages the tree elsewhere)
#   cd build && cpack                            (a .deb and a .tar.gz)
#
# Installed, as Debian's policy asks of a package: bin/rempar,
# share/man/man1/rempar.1.gz, and in share/doc/rempar/ the README, the
# copyright file, the project's changelog as changelog.gz and the package's
# own as changelog.Debian.gz. Manual page and changelogs are compressed with
# gzip -9n (no name, no time stamp: the same bytes on every build).

include(GNUInstallDirs)

set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_CONTACT "Rempar maintainers <maintainers@rempar.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(REMPAR_DEB_VERSION "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in
               ${PROJECT_BINARY_DIR}/doc/changelog.Debian @ONLY)

find_program(REMPAR_GZIP gzip REQUIRED)
set(compressed "")
foreach(pair "docs/rempar.1=rempar.1.gz" "CHANGELOG.md=changelog.gz"
             "${PROJECT_BINARY_DIR}/doc/changelog.Debian=changelog.Debian.gz")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 target)
  cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${PROJECT_SOURCE_DIR})
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/${target}
                     COMMAND ${REMPAR_GZIP} -9n -c ${source} > ${PROJECT_BINARY_DIR}/doc/${target}
                     DEPENDS ${source} VERBATIM)
  list(APPEND compressed ${PROJECT_BINARY_DIR}/doc/${target})
endforeach()
add_custom_target(rempar_docs ALL DEPENDS ${compressed})

install(TARGETS rempar RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/doc/rempar.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
              ${PROJECT_BINARY_DIR}/doc/changelog.gz ${PROJECT_BINARY_DIR}/doc/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Packages: a Debian package installed under /usr, and a plain archive of the
# same tree (bin/, share/) to unpack under any prefix.
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_PACKAGE_NAME "rempar")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Rempar developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "repair a damaged copy of a file by moving only its damaged blocks")
set(CPACK_PACKAGE_DESCRIPTION
    "rempar repairs a damaged copy of a large file with the help of a good copy on\n\
another machine. Beside the damaged copy it writes a small checksum file, one\n\
32-bit checksum per block; beside the good copy it compares against that file\n\
and writes a patch holding only the blocks that differ; back at the damaged\n\
copy it checks the patch and writes those blocks in place. Only the checksum\n\
file and the damaged blocks cross the network.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Dependencies from the binary's own shared libraries when dpkg-shlibdeps
# (package dpkg-dev) is there to compute them; otherwise the libraries
# every build of the tool links, as dpkg-shlibdeps finds them on Debian 12.
find_program(REMPAR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(REMPAR_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 5)")
endif()

include(CPack)
