# Shared part of the Linux cross toolchains (Debian packages g++-<triple>),
# with the tests run under qemu-user. The including file sets
# TESSARA_LINUX_TRIPLE, TESSARA_QEMU (the qemu-user program for the target)
# and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${TESSARA_LINUX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TESSARA_LINUX_TRIPLE}-g++)
set(CMAKE_AR ${TESSARA_LINUX_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TESSARA_LINUX_TRIPLE}-ranlib CACHE FILEPATH "")
set(TESSARA_OBJDUMP ${TESSARA_LINUX_TRIPLE}-objdump CACHE FILEPATH "objdump of the target")

# The target's libc, libstdc++ and libgcc live in /usr/<triple> (Debian's
# cross packages); the build's own tools come from the host.
set(TESSARA_LINUX_SYSROOT /usr/${TESSARA_LINUX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${TESSARA_LINUX_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Target programs run under qemu-user with the target's loader and libraries
# taken from the sysroot; no binfmt registration is needed. The tests that
# start programs themselves receive the same command line (tests/tools).
# The loader searches the machine's /lib/<triple> before the sysroot's /lib:
# where the target's libc is also installed through multiarch (libc6:arm64
# for the packages' dependencies), the sysroot's loader would map another
# build of glibc, and the two do not mix (the first thread start spins for
# ever). The sysroot's libraries come first.
find_program(TESSARA_QEMU_PROGRAM ${TESSARA_QEMU})
if(TESSARA_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSARA_QEMU_PROGRAM} -L ${TESSARA_LINUX_SYSROOT}
      -E LD_LIBRARY_PATH=${TESSARA_LINUX_SYSROOT}/lib)
endif()
