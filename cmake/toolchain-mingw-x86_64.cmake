# Cross toolchain for the 64-bit Windows build (TessaraCan64).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TESSARA_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
