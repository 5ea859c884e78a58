# Shared part of the mingw-w64 cross toolchains (Debian packages
# g++-mingw-w64-<arch>-posix). The including file sets TESSARA_MINGW_TRIPLE
# and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

# The posix thread model: the simulator and the tests use std::thread. The
# library itself only uses the Win32 API and links the runtime statically.
set(CMAKE_C_COMPILER ${TESSARA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSARA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSARA_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${TESSARA_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TESSARA_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(TESSARA_OBJDUMP ${TESSARA_MINGW_TRIPLE}-objdump CACHE FILEPATH "objdump of the target")
set(TESSARA_NM ${TESSARA_MINGW_TRIPLE}-nm CACHE FILEPATH "nm of the target")
set(TESSARA_DLLTOOL ${TESSARA_MINGW_TRIPLE}-dlltool CACHE FILEPATH "dlltool of the target")

set(CMAKE_FIND_ROOT_PATH /usr/${TESSARA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under wine (test discovery included). WINEDEBUG=-all keeps
# wine's own diagnostics out of the test output.
find_program(TESSARA_WINE wine)
if(TESSARA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env WINEDEBUG=-all ${TESSARA_WINE})
endif()

# Every program and DLL carries its own copy of libgcc, libstdc++ and
# winpthread: nothing but system DLLs has to be found at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
