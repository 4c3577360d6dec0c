# What `cmake --install` puts in place (prefix and DESTDIR as usual), and the
# Debian package `cpack -G DEB` makes of it:
#   bin/               tolvane, tlnc, tlnmount (when built), tlnimg (when built)
#   lib/               libp9.a, the codec, with lib/cmake/tolvane (find_package
#                      gives tolvane::p9) and lib/pkgconfig/tolvane-p9.pc
#   include/tolvane/   9p/9p.h
#   share/man/         a page per installed program, tolvane-image(5)
#   lib/systemd/user/  tolvane@.service, the per-user service for instance N
#   share/bash-completion/completions/tlnc
# The client library (tools/client) is not installed: it is the shared inside
# of tlnc and tlnmount, not an interface kept stable for other programs.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TOLVANE_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")

set(tolvane_programs tolvane tlnc)
foreach(optional tlnmount tlnimg)
  if(TARGET ${optional})
    list(APPEND tolvane_programs ${optional})
  endif()
endforeach()
install(TARGETS ${tolvane_programs} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")

# The codec library, its header and the two ways to find them.
install(TARGETS p9 EXPORT tolvaneTargets
        ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
        INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/tolvane")
install(FILES "${PROJECT_SOURCE_DIR}/lib/9p/9p.h"
        DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/tolvane/9p")
set(tolvane_cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/tolvane")
install(EXPORT tolvaneTargets NAMESPACE tolvane:: DESTINATION "${tolvane_cmake_dir}")
configure_package_config_file("${TOLVANE_PACKAGING_DIR}/tolvaneConfig.cmake.in"
                              "${PROJECT_BINARY_DIR}/tolvaneConfig.cmake"
                              INSTALL_DESTINATION "${tolvane_cmake_dir}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/tolvaneConfigVersion.cmake"
                                 COMPATIBILITY SameMinorVersion)
install(FILES "${PROJECT_BINARY_DIR}/tolvaneConfig.cmake"
              "${PROJECT_BINARY_DIR}/tolvaneConfigVersion.cmake"
        DESTINATION "${tolvane_cmake_dir}")
# The .pc file finds the prefix from where it lies, so it is right for any
# --prefix given at install time.
file(RELATIVE_PATH tolvane_pc_to_prefix "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
string(REGEX REPLACE "/$" "" tolvane_pc_to_prefix "${tolvane_pc_to_prefix}")
configure_file("${TOLVANE_PACKAGING_DIR}/tolvane-p9.pc.in" "${PROJECT_BINARY_DIR}/tolvane-p9.pc"
               @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/tolvane-p9.pc"
        DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# Manual pages: every page in docs/man, a section-1 page only when its program
# is built.
file(GLOB tolvane_man_pages CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/docs/man/*.[1-9]")
foreach(page IN LISTS tolvane_man_pages)
  get_filename_component(page_name "${page}" NAME_WLE)
  get_filename_component(page_ext "${page}" LAST_EXT)
  string(SUBSTRING "${page_ext}" 1 -1 section)
  if(section STREQUAL "1" AND NOT TARGET ${page_name})
    continue()
  endif()
  install(FILES "${page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}")
endforeach()

# The systemd user unit names the installed server by its full path, which is
# known only at install time (cmake --install --prefix P): written then.
set(TOLVANE_USER_UNIT_DIR "lib/systemd/user" CACHE STRING
    "Where the systemd user unit goes, relative to the install prefix")
install(CODE "
  set(TOLVANE_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${TOLVANE_PACKAGING_DIR}/tolvane@.service.in\"
                 \"${PROJECT_BINARY_DIR}/tolvane@.service\" @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${TOLVANE_USER_UNIT_DIR}\" TYPE FILE
       FILES \"${PROJECT_BINARY_DIR}/tolvane@.service\")
")

install(FILES "${TOLVANE_PACKAGING_DIR}/tlnc.bash-completion"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" RENAME tlnc)

# The Debian package: `cpack -G DEB` in the build folder. Library dependencies
# come from dpkg-shlibdeps; fuse3 brings fusermount3, which tlnmount mounts
# and unmounts with.
set(TOLVANE_PACKAGE_MAINTAINER "tolvane developers <tolvane@example.org>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_PACKAGE_NAME "tolvane")
set(CPACK_PACKAGE_VENDOR "tolvane developers")
set(CPACK_PACKAGE_CONTACT "${TOLVANE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small single-threaded 9P2000 file server with snapshot images")
set(CPACK_PACKAGE_DESCRIPTION
    "tolvane keeps a whole directory tree, file contents included, in fixed
tables in memory, serves it over 9P2000 on a Unix socket or standard
input and output, and saves it as one snapshot image after every change.
It allocates nothing while it runs.
.
This package holds the server (with a systemd user unit, tolvane@N for
backing-store instance N), the tlnc command-line client, the tlnimg
image tool, the tlnmount FUSE mount, manual pages, and the 9P2000 codec
library libp9 with its header, CMake package and pkg-config file.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARGET tlnmount)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3")
endif()
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\\\.git/")
include(CPack)
