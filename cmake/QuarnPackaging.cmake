# QuarnPackaging.cmake: Debian packages by CPack, one per install part:
#   libquarntools0     runtime  the shared library, named for its soname
#   libquarntools-dev  dev      headers, static archive, pkg-config file and
#                               CMake package config
#   quarn-tools        tools    every program and its man pages
# dpkg-shlibdeps computes each package's dependencies from its binaries;
# the two others depend on the library package of the same version. The
# packages install under CPACK_PACKAGING_INSTALL_PREFIX (/usr) with the
# build's CMAKE_INSTALL_LIBDIR, which a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr sets to Debian's multiarch folder (make package
# does so). Made with `cpack` in the build folder.

set(QUARN_PACKAGE_MAINTAINER "QUARN Tools developers <maintainers@quarntools.invalid>"
  CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quarntools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "QUARN Tools developers")
set(CPACK_PACKAGE_CONTACT "${QUARN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(QUARN_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
# A component dependency becomes "libquarntools0 (= version)".
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs need libquarntools.so.0 before any package provides it:
# dpkg-shlibdeps finds it in the build folder and leaves its dependency to
# the component dependency above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libquarntools${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# DEBIAN/shlibs in the package that holds the shared library, so that
# packages built against it get their dependency on it computed in turn.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "library reading FileMaker Pro database files
libquarntools reads database files written by FileMaker Pro, .fp7 and .fmp12
files and the earlier .fp5 and .fp3 generation, and hands their tables,
columns and record values to the caller as UTF-8 text, through a plain C
interface. It never writes a database file.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libquarntools-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "library reading FileMaker Pro database files - development files
The C header quarn.h and its C++ companion quarn.hpp, the static archive,
the pkg-config file quarntools.pc and the CMake package QuarnTools, with the
targets QuarnTools::quarntools and QuarnTools::quarntools_static.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME quarn-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "convert FileMaker Pro database files to SQLite, JSON and XLSX
Command-line programs built on libquarntools, with their man pages: they
print the internal structure of database files and copy every table of a
file into an SQLite database, a JSON document or an XLSX workbook.")

include(CPack)
