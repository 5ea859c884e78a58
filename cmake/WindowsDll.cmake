# The Windows DLL of this configuration, from tessara_core and the load hook:
#   64-bit                       -> TessaraCan64.dll   (undecorated names)
#   32-bit, convention cdecl     -> TessaraCan.dll     (undecorated names)
#   32-bit, convention stdcall   -> TessaraCanVB6.dll  (_Name@bytes names)
# The export table comes only from the generated .def file (46 names,
# ordinals 1..46). Two import libraries come with it in lib/: the linker's
# <name>.dll.a and an MSVC-style <name>.lib that dlltool makes from the same
# .def (for the standard-convention DLL its symbols are the decorated names
# a C caller compiled with TESSARA_STDCALL references, _Name@bytes). The runtime (libgcc, libstdc++, winpthread) is linked
# statically, so the DLL imports nothing but KERNEL32, WS2_32 and msvcrt.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TESSARA_DLL_NAME TessaraCan64)
elseif(TESSARA_WIN_CONVENTION STREQUAL "stdcall")
  set(TESSARA_DLL_NAME TessaraCanVB6)
elseif(TESSARA_WIN_CONVENTION STREQUAL "cdecl")
  set(TESSARA_DLL_NAME TessaraCan)
else()
  message(FATAL_ERROR "TESSARA_WIN_CONVENTION must be cdecl or stdcall, not '${TESSARA_WIN_CONVENTION}'")
endif()
set(TESSARA_DLL_NAME ${TESSARA_DLL_NAME} PARENT_SCOPE)
set(TESSARA_DLL_DEF "${TESSARA_GEN_DIR}/${TESSARA_DLL_NAME}.def")

add_library(TessaraCanDll SHARED exports/dllmain_win32.cpp "${TESSARA_DLL_DEF}")
target_link_libraries(TessaraCanDll PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,tessara_core>")
# What an application of the DLL compiles against: the public header only.
target_include_directories(TessaraCanDll INTERFACE ${PROJECT_SOURCE_DIR}/include)
target_link_options(TessaraCanDll PRIVATE
  -static -static-libgcc -static-libstdc++
  -Wl,--no-undefined -Wl,--disable-stdcall-fixup -Wl,--exclude-all-symbols)
set_target_properties(TessaraCanDll PROPERTIES
  OUTPUT_NAME ${TESSARA_DLL_NAME}
  PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin"
  LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin"
  ARCHIVE_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/lib"
  LINK_DEPENDS "${TESSARA_DLL_DEF}")

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(dlltool_machine i386:x86-64)
else()
  set(dlltool_machine i386)
endif()
# The .def names the exports as the DLL has them; for the decorated ones that
# includes the leading underscore, which dlltool must then not add again.
set(dlltool_args -m ${dlltool_machine} -d "${TESSARA_DLL_DEF}" -D ${TESSARA_DLL_NAME}.dll
    -l "${CMAKE_BINARY_DIR}/lib/${TESSARA_DLL_NAME}.lib")
if(TESSARA_WIN_CONVENTION STREQUAL "stdcall" AND NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  list(APPEND dlltool_args --no-leading-underscore)
endif()
add_custom_command(TARGET TessaraCanDll POST_BUILD
  COMMAND "${TESSARA_DLLTOOL}" ${dlltool_args}
  BYPRODUCTS "${CMAKE_BINARY_DIR}/lib/${TESSARA_DLL_NAME}.lib"
  COMMENT "Import library ${TESSARA_DLL_NAME}.lib"
  VERBATIM)
set(TESSARA_DLL_IMPORT_LIB "${CMAKE_BINARY_DIR}/lib/${TESSARA_DLL_NAME}.lib")
set(TESSARA_DLL_IMPORT_LIB "${TESSARA_DLL_IMPORT_LIB}" PARENT_SCOPE)
