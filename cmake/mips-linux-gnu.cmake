# Cross build for the router's 32-bit big-endian MIPS processor with Debian's
# mips-linux-gnu toolchain (packages g++-mips-linux-gnu and qemu-user).
#
#   cmake -S . -B build-mips -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake
#
# Target programs (the unit tests under ctest, GoogleTest's test discovery)
# run through qemu's user-mode emulation. binfmt_misc may not be registered
# on the build machine, so the emulator is named explicitly.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CORVEX_CROSS_TRIPLE mips-linux-gnu)
set(CORVEX_CROSS_SYSROOT /usr/${CORVEX_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${CORVEX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CORVEX_CROSS_TRIPLE}-g++)
set(CMAKE_AR ${CORVEX_CROSS_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CORVEX_CROSS_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${CORVEX_CROSS_TRIPLE}-strip CACHE FILEPATH "")

# Debian's cross compiler already knows its headers and libraries; the sysroot
# keeps find_* from picking up the build machine's x86_64 ones.
set(CMAKE_FIND_ROOT_PATH ${CORVEX_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The dynamic loader and libc of the target live under the sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-mips;-L;${CORVEX_CROSS_SYSROOT}")
