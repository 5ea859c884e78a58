# The Windows SDK archive of one architecture (cpack -G ZIP, or the `sdk`
# target), laid out as
#   bin/       the DLL(s), tessara-can.exe, tessara-sim.exe
#   lib/       per DLL an MSVC-style import library (.lib) and mingw's (.dll.a)
#   include/   TessaraCan.h, TessaraCan.bas
#   dotnet/    the .NET binding: Tessara.Can.dll (when mcs is found) and its sources
#   examples/  C, C++, CANopen and .NET examples
#   doc/       README.txt, the HTML reference (doc/reference), tessara-sim.md
# The 32-bit archive holds both 32-bit DLLs: TESSARA_WIN_VB6_BUILD names the
# build tree of TessaraCanVB6.dll (preset win32-vb6), whose runtime and
# development files join those of this tree. scripts/windows-dist.sh makes
# the archives and the installers from them.
set(TESSARA_WIN_VB6_BUILD "" CACHE PATH
  "Build tree of TessaraCanVB6.dll whose files the 32-bit SDK archive holds too")

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TESSARA_SDK_ARCH win64)
else()
  set(TESSARA_SDK_ARCH win32)
endif()

if(TARGET TessaraCanDll)
  install(FILES "${TESSARA_DLL_IMPORT_LIB}" DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    COMPONENT development)
endif()

# Only the SDK's own files from here on: the standard-convention tree
# contributes its DLL and libraries, nothing else.
if(NOT TESSARA_WIN_CONVENTION STREQUAL "stdcall" OR CMAKE_SIZEOF_VOID_P EQUAL 8)
  if(TESSARA_SDK_ARCH STREQUAL "win64")
    set(TESSARA_SDK_DLLS "TessaraCan64.dll")
    set(TESSARA_SDK_TABLE
"  C, C++ (64-bit)   TessaraCan64.dll   lib\\TessaraCan64.lib (Visual C++)
                                       lib\\libTessaraCan64.dll.a (mingw)
  .NET (x64)        TessaraCan64.dll   dotnet\\Tessara.Can.dll picks it")
  else()
    set(TESSARA_SDK_DLLS "TessaraCan.dll and TessaraCanVB6.dll")
    set(TESSARA_SDK_TABLE
"  C, C++ (32-bit)   TessaraCan.dll     lib\\TessaraCan.lib (Visual C++)
                                       lib\\libTessaraCan.dll.a (mingw)
  C with the        TessaraCanVB6.dll  lib\\TessaraCanVB6.lib, compiled with
  standard call                        TESSARA_STDCALL defined
  Visual Basic 6    TessaraCanVB6.dll  include\\TessaraCan.bas (add it to the project)
  .NET (x86)        TessaraCan.dll     dotnet\\Tessara.Can.dll picks it; or
                    TessaraCanVB6.dll  with new StdcallLibrary()")
  endif()
  configure_file("${CMAKE_CURRENT_LIST_DIR}/windows/README.txt.in"
    "${CMAKE_BINARY_DIR}/sdk/README.txt" @ONLY NEWLINE_STYLE CRLF)
  install(FILES "${CMAKE_BINARY_DIR}/sdk/README.txt" DESTINATION doc COMPONENT sdk)

  install(DIRECTORY "${PROJECT_SOURCE_DIR}/examples/" DESTINATION examples COMPONENT sdk
    PATTERN "CMakeLists.txt" EXCLUDE PATTERN "python" EXCLUDE)
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/bindings/dotnet/src/" DESTINATION dotnet/src
    COMPONENT sdk)
  install(FILES "${PROJECT_SOURCE_DIR}/bindings/dotnet/README.md" DESTINATION dotnet
    COMPONENT sdk)

  # The binding is one assembly for any CPU; it picks the DLL at run time.
  find_program(TESSARA_MCS mcs)
  set(sdk_depends "")
  if(TESSARA_MCS)
    file(GLOB dotnet_sources CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/bindings/dotnet/src/*.cs")
    set(assembly "${CMAKE_BINARY_DIR}/dotnet/Tessara.Can.dll")
    add_custom_command(OUTPUT "${assembly}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/dotnet"
      COMMAND "${TESSARA_MCS}" -nologo -warnaserror -target:library "-out:${assembly}"
              ${dotnet_sources}
      DEPENDS ${dotnet_sources}
      COMMENT ".NET binding Tessara.Can.dll"
      VERBATIM)
    add_custom_target(dotnet-assembly DEPENDS "${assembly}")
    install(FILES "${assembly}" DESTINATION dotnet COMPONENT sdk)
    list(APPEND sdk_depends dotnet-assembly)
  endif()
  if(TARGET docs)
    install(DIRECTORY "${TESSARA_DOCS_DIR}/html/" DESTINATION doc/reference COMPONENT sdk)
    list(APPEND sdk_depends docs)
  endif()

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME TessaraCan)
  set(CPACK_PACKAGE_VENDOR "Tessara CAN")
  set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
  set(TESSARA_SDK_NAME "TessaraCan-${PROJECT_VERSION}-${TESSARA_SDK_ARCH}")
  set(CPACK_PACKAGE_FILE_NAME "${TESSARA_SDK_NAME}")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_STRIP_FILES OFF)
  set(CPACK_OUTPUT_FILE_PREFIX "${CMAKE_BINARY_DIR}/dist")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};TessaraCan;ALL;/")
  if(TESSARA_SDK_ARCH STREQUAL "win32")
    if(NOT TESSARA_WIN_VB6_BUILD)
      message(STATUS "TESSARA_WIN_VB6_BUILD is not set: no 32-bit SDK archive")
    else()
      list(APPEND CPACK_INSTALL_CMAKE_PROJECTS
        "${TESSARA_WIN_VB6_BUILD};TessaraCan;runtime;/"
        "${TESSARA_WIN_VB6_BUILD};TessaraCan;development;/")
    endif()
  endif()
  include(CPack)

  if(TESSARA_SDK_ARCH STREQUAL "win64" OR TESSARA_WIN_VB6_BUILD)
    add_custom_target(sdk
      COMMAND "${CMAKE_CPACK_COMMAND}" --config "${CMAKE_BINARY_DIR}/CPackConfig.cmake"
      WORKING_DIRECTORY "${CMAKE_BINARY_DIR}"
      COMMENT "SDK archive dist/${TESSARA_SDK_NAME}.zip"
      VERBATIM)
    add_dependencies(sdk TessaraCanDll tessara-can tessara-sim ${sdk_depends})
  endif()
endif()
