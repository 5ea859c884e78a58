# Debian packages from the install rules, one per install component (cpack -G DEB):
#   runtime      -> libtessaracan1      the shared library (package named after its SONAME)
#   development  -> libtessaracan-dev   header, namelink, CMake package, pkg-config file
#   tools        -> tessaracan-tools    tessara-can, tessara-sim and their documentation
# Library dependencies come from dpkg-shlibdeps, the runtime package carries a
# shlibs file, and the other two depend on it through the component graph.
# Configure with TESSARA_DEB_PACKAGE=ON and CMAKE_INSTALL_PREFIX=/usr (what
# scripts/packages.sh does): that adds each package's copyright and changelog.
# An install rule of another component is packaged only once that component
# is mapped here (scripts/packages.sh fails on an installed file that no
# package holds); the programs' manual pages belong to "tools".
option(TESSARA_DEB_PACKAGE "Install the files a Debian package needs (copyright, changelog)" OFF)

set(TESSARA_DEB_COMPONENTS runtime development tools)
set(TESSARA_DEB_runtime_NAME libtessaracan1)
set(TESSARA_DEB_development_NAME libtessaracan-dev)
set(TESSARA_DEB_tools_NAME tessaracan-tools)

set(CPACK_PACKAGE_CONTACT "Tessara CAN maintainers <maintainers@users.noreply.c-seed-3ee2833e.example>"
    CACHE STRING "Maintainer field of the Debian packages")

if(TESSARA_DEB_PACKAGE)
  # A native package: changelog.gz, not changelog.Debian.gz.
  set(changelog "${CMAKE_BINARY_DIR}/debian/changelog")
  string(TIMESTAMP TESSARA_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in" "${changelog}" @ONLY)
  find_program(TESSARA_GZIP gzip REQUIRED)
  execute_process(COMMAND "${TESSARA_GZIP}" -9nf "${changelog}" COMMAND_ERROR_IS_FATAL ANY)
  foreach(component IN LISTS TESSARA_DEB_COMPONENTS)
    install(FILES "${CMAKE_CURRENT_LIST_DIR}/debian/copyright" "${changelog}.gz"
      DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${TESSARA_DEB_${component}_NAME}"
      COMPONENT ${component})
  endforeach()
  install(FILES "${CMAKE_CURRENT_LIST_DIR}/debian/libtessaracan1.lintian-overrides"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides" RENAME libtessaracan1
    COMPONENT runtime)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaracan)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${TESSARA_DEB_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# CPack takes the machine's architecture; a cross build's packages are of
# its target, named by dpkg from the target's triplet.
if(CMAKE_CROSSCOMPILING)
  find_program(TESSARA_DPKG_ARCHITECTURE dpkg-architecture)
  if(TESSARA_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(
      COMMAND "${TESSARA_DPKG_ARCHITECTURE}" -qDEB_HOST_ARCH -t "${CMAKE_LIBRARY_ARCHITECTURE}"
      OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
      ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
  elseif(TESSARA_DEB_PACKAGE)
    message(FATAL_ERROR "A cross build's Debian packages need dpkg-architecture (dpkg-dev) "
      "and the target's multiarch triplet")
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs' own library is found in the build tree; their dependency on
# its package comes from the component graph below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/src")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The loader cache is updated through dpkg's ldconfig trigger (CPack's own
# postinst and postrm call ldconfig as well: see the lintian overrides).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/debian/triggers")

foreach(component IN LISTS TESSARA_DEB_COMPONENTS)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${TESSARA_DEB_${component}_NAME})
endforeach()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)

# First line the synopsis; CPack indents the rest.
set(long_description "The library connects to a CAN port of a Tessara CAN gateway over TCP or UDP,
writes and receives CAN frames (by callback or from bounded queues),
configures the port, drives the gateway's I/O and power supplies and runs
CANopen services through its manager, behind a flat C interface of 46
functions.")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "client library for the Tessara CAN gateway\n${long_description}")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "client library for the Tessara CAN gateway - development files\n${long_description}
.
This package holds the C header, the CMake package and the pkg-config file.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "command-line tool and simulator for the Tessara CAN gateway\n${long_description}
.
This package holds tessara-can, which runs one library call per invocation
(frames, configuration, I/O, CANopen), and tessara-sim, a gateway simulator
for development and tests.")

include(CPack)
cpack_add_component(runtime)
cpack_add_component(development DEPENDS runtime)
cpack_add_component(tools DEPENDS runtime)
