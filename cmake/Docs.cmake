# The API reference and the man pages, each made from one source:
#   docs         target (when Doxygen is found, not built by default): the HTML
#                reference, and its XML, from include/TessaraCan.h into
#                build/<preset>/docs/; TESSARA_DOCS_WERROR makes every Doxygen
#                warning, an undocumented name or parameter included, fail it
#   man pages    tessara-can.1 and tessara-sim.1 from the programs' own --help
#                through help2man (when found; plain builds, a cross build's
#                programs run under its emulator), built with the programs and
#                installed with them (cmake/Install.cmake)
option(TESSARA_MAN_PAGES "Make the programs' man pages with help2man when it is found" ON)
option(TESSARA_DOCS_WERROR "Fail the docs target on any Doxygen warning" OFF)

find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
  set(TESSARA_DOCS_DIR "${CMAKE_BINARY_DIR}/docs")
  if(TESSARA_DOCS_WERROR)
    set(TESSARA_DOXYGEN_WARN_AS_ERROR FAIL_ON_WARNINGS)
  else()
    set(TESSARA_DOXYGEN_WARN_AS_ERROR NO)
  endif()
  configure_file("${PROJECT_SOURCE_DIR}/docs/Doxyfile.in" "${TESSARA_DOCS_DIR}/Doxyfile" @ONLY)
  add_custom_target(docs
    COMMAND Doxygen::doxygen "${TESSARA_DOCS_DIR}/Doxyfile"
    WORKING_DIRECTORY "${TESSARA_DOCS_DIR}"
    DEPENDS "${PROJECT_SOURCE_DIR}/include/TessaraCan.h" "${TESSARA_DOCS_DIR}/Doxyfile"
    COMMENT "API reference: ${TESSARA_DOCS_DIR}/html/index.html"
    VERBATIM)
endif()

set(TESSARA_MAN_PAGE_FILES "")
# Plain builds only: a sanitizer build's programs may report at exit. A
# cross build's programs run for help2man under the emulator, through a
# wrapper with the program's own name (help2man names the page after it).
if(TESSARA_MAN_PAGES AND (NOT CMAKE_CROSSCOMPILING OR CMAKE_CROSSCOMPILING_EMULATOR)
   AND TESSARA_SANITIZE STREQUAL "" AND TARGET tessara-can AND TARGET tessara-sim)
  find_program(TESSARA_HELP2MAN help2man)
  if(TESSARA_HELP2MAN)
    set(tessara-can_MAN_NAME "command-line tool for Tessara CAN gateways")
    set(tessara-sim_MAN_NAME "Tessara CAN gateway simulator")
    foreach(program tessara-can tessara-sim)
      set(page "${CMAKE_BINARY_DIR}/man/${program}.1")
      set(run "$<TARGET_FILE:${program}>")
      if(CMAKE_CROSSCOMPILING)
        set(run "${CMAKE_BINARY_DIR}/man/run/${program}")
        string(JOIN "' '" emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
        file(GENERATE OUTPUT "${run}"
          CONTENT "#!/bin/sh\nexec '${emulator}' '$<TARGET_FILE:${program}>' \"$@\"\n"
          FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                           WORLD_READ WORLD_EXECUTE)
      endif()
      # A Debian package holds its manual pages compressed (gzip -n: no time
      # stamp, so that a rebuild gives the same file).
      set(compress "")
      set(installed "${page}")
      if(TESSARA_DEB_PACKAGE)
        find_program(TESSARA_GZIP gzip REQUIRED)
        set(compress COMMAND "${TESSARA_GZIP}" -9nkf "${page}")
        set(installed "${page}.gz")
      endif()
      add_custom_command(OUTPUT "${installed}"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/man"
        COMMAND "${TESSARA_HELP2MAN}" --no-info "--version-string=${PROJECT_VERSION}"
                "--name=${${program}_MAN_NAME}" --section=1 "--output=${page}"
                "${run}"
        ${compress}
        DEPENDS ${program}
        COMMENT "man page ${program}(1) from ${program} --help"
        VERBATIM)
      list(APPEND TESSARA_MAN_PAGE_FILES "${installed}")
    endforeach()
    add_custom_target(man-pages ALL DEPENDS ${TESSARA_MAN_PAGE_FILES})
  else()
    message(STATUS "help2man not found: no man pages (scripts/install-deps.sh docs)")
  endif()
endif()
