# Cross toolchain for Linux on s390x (preset linux-s390x): a 64-bit
# big-endian target, where a field read or written in host byte order shows.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(TESSARA_LINUX_TRIPLE s390x-linux-gnu)
set(TESSARA_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-common.cmake)
