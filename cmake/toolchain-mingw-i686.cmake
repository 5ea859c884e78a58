# Cross toolchain for the 32-bit Windows builds (TessaraCan, TessaraCanVB6).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TESSARA_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
