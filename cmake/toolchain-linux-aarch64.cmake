# Cross toolchain for Linux on 64-bit ARM (preset linux-arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TESSARA_LINUX_TRIPLE aarch64-linux-gnu)
set(TESSARA_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-common.cmake)
