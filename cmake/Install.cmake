# Install rules: the shared library with its SONAME links, the public header,
# a CMake package (find_package(TessaraCan) -> TessaraCan::TessaraCan), a
# pkg-config file, the two programs and the simulator's README. Consumers get
# the shared library only; tessara_core and tessara_sim stay in the build.
# GNUInstallDirs puts the library in Debian's multiarch directory
# (lib/<triplet>) under /usr in native builds only; a cross build for a
# Debian package takes the same directory for its target.
if(TESSARA_DEB_PACKAGE AND CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE
   AND CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH
      "Object code libraries (LIBDIR)")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TESSARA_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/TessaraCan")

if(TARGET TessaraCan)
  target_include_directories(TessaraCan INTERFACE
    "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>"
    "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  install(TARGETS TessaraCan EXPORT TessaraCanTargets
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime
      NAMELINK_COMPONENT development
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime)
  install(EXPORT TessaraCanTargets NAMESPACE TessaraCan::
    DESTINATION "${TESSARA_CMAKE_DIR}" COMPONENT development)

  configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/TessaraCanConfig.cmake.in"
    "${CMAKE_BINARY_DIR}/TessaraCanConfig.cmake" INSTALL_DESTINATION "${TESSARA_CMAKE_DIR}")
  write_basic_package_version_file("${CMAKE_BINARY_DIR}/TessaraCanConfigVersion.cmake"
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES "${CMAKE_BINARY_DIR}/TessaraCanConfig.cmake"
                "${CMAKE_BINARY_DIR}/TessaraCanConfigVersion.cmake"
    DESTINATION "${TESSARA_CMAKE_DIR}" COMPONENT development)

  # The .pc file finds its prefix from where it lies, so that
  # `cmake --install --prefix` anywhere gives a working file.
  file(RELATIVE_PATH TESSARA_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" TESSARA_PC_TO_PREFIX "${TESSARA_PC_TO_PREFIX}")
  configure_file("${CMAKE_CURRENT_LIST_DIR}/TessaraCan.pc.in"
    "${CMAKE_BINARY_DIR}/TessaraCan.pc" @ONLY)
  install(FILES "${CMAKE_BINARY_DIR}/TessaraCan.pc"
    DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT development)
elseif(TARGET TessaraCanDll)
  install(TARGETS TessaraCanDll
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development)
  install(FILES "${PROJECT_SOURCE_DIR}/include/TessaraCan.bas"
    DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT development)
endif()

install(FILES "${PROJECT_SOURCE_DIR}/include/TessaraCan.h"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT development)

# The programs find the installed library next to them (../lib); system
# packages leave that to the loader's own search path.
option(TESSARA_INSTALL_RPATH "Installed programs look for the library relative to themselves" ON)
file(RELATIVE_PATH TESSARA_BIN_TO_LIB "/prefix/${CMAKE_INSTALL_BINDIR}"
     "/prefix/${CMAKE_INSTALL_LIBDIR}")
foreach(program tessara-can tessara-sim)
  if(TARGET ${program})
    if(NOT WIN32 AND TESSARA_INSTALL_RPATH)
      set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${TESSARA_BIN_TO_LIB}")
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tools)
  endif()
endforeach()
if(TARGET tessara-sim)
  install(FILES "${PROJECT_SOURCE_DIR}/sim/README.md" RENAME tessara-sim.md
    DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT tools)
endif()

# The programs' man pages, made from their --help (cmake/Docs.cmake).
if(TESSARA_MAN_PAGE_FILES)
  install(FILES ${TESSARA_MAN_PAGE_FILES} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT tools)
endif()
