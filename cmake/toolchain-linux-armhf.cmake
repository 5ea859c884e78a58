# Cross toolchain for Linux on 32-bit ARM, hard-float ABI (preset linux-armhf).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(TESSARA_LINUX_TRIPLE arm-linux-gnueabihf)
set(TESSARA_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-common.cmake)
