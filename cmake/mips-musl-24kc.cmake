# Cross build for OpenWrt's big-endian MIPS targets (mips_24kc: ath79, ramips)
# as OpenWrt builds for them: MIPS32r2 tuned for the 24Kc, software floating
# point (these CPUs have no FPU), musl as the C library, and a static binary,
# so it runs on any big-endian MIPS32 Linux, OpenWrt or not.
#
#   cmake -S . -B build-mips-musl -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mips-musl-24kc.cmake
#
# The compiler is Debian's mips-linux-gnu cross compiler; its own glibc is
# kept out of the way (-nostdinc, -nostdlib) and the musl sysroot built by
# cmake/build-musl-sysroot takes its place (built on first use, then cached).
# C++ headers come from the compiler's libstdc++; no part of the C++ library
# is linked into corvex. Programs built here run under qemu-mips -cpu 24Kc,
# which, like the routers, has no FPU.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CORVEX_CROSS_TRIPLE mips-linux-gnu)
set(CMAKE_C_COMPILER ${CORVEX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CORVEX_CROSS_TRIPLE}-g++)
set(CMAKE_AR ${CORVEX_CROSS_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CORVEX_CROSS_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${CORVEX_CROSS_TRIPLE}-strip CACHE FILEPATH "")

# The sysroot: -DCORVEX_MUSL_SYSROOT=DIR, else the environment's
# CORVEX_MUSL_SYSROOT, else the script's cache in the checkout.
if(NOT CORVEX_MUSL_SYSROOT)
  if(DEFINED ENV{CORVEX_MUSL_SYSROOT})
    set(CORVEX_MUSL_SYSROOT $ENV{CORVEX_MUSL_SYSROOT})
  else()
    get_filename_component(CORVEX_MUSL_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../.cache/musl-mips-24kc-sf ABSOLUTE)
  endif()
endif()
set(CORVEX_MUSL_SYSROOT ${CORVEX_MUSL_SYSROOT} CACHE PATH "musl sysroot for mips_24kc, soft-float")
# Try-compile projects see the toolchain file again: hand the path on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVEX_MUSL_SYSROOT)
if(NOT EXISTS ${CORVEX_MUSL_SYSROOT}/lib/libc.a)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/build-musl-sysroot ${CORVEX_MUSL_SYSROOT}
                  RESULT_VARIABLE corvex_musl_rc OUTPUT_QUIET)
  if(NOT corvex_musl_rc EQUAL 0)
    message(FATAL_ERROR "cmake/build-musl-sysroot failed (${corvex_musl_rc})")
  endif()
endif()

# OpenWrt's flags for mips_24kc. No position-independent code: the binary is
# static, and the code is smaller without the GOT.
set(CORVEX_TARGET_FLAGS "-mips32r2 -mtune=24kc -msoft-float")

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE corvex_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion
                OUTPUT_VARIABLE corvex_gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
                OUTPUT_VARIABLE corvex_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
set(corvex_cxx_include /usr/${CORVEX_CROSS_TRIPLE}/include/c++/${corvex_gcc_version})

# Headers: libstdc++'s, then musl's, then the compiler's own (stdarg.h and
# the like); never the cross compiler's glibc headers.
set(CMAKE_C_FLAGS_INIT "${CORVEX_TARGET_FLAGS} -nostdinc -isystem ${CORVEX_MUSL_SYSROOT}/include -isystem ${corvex_gcc_include}")
set(CMAKE_CXX_FLAGS_INIT "${CORVEX_TARGET_FLAGS} -include ${CMAKE_CURRENT_LIST_DIR}/musl-libstdcxx.h -nostdinc -isystem ${corvex_cxx_include} -isystem ${corvex_cxx_include}/${CORVEX_CROSS_TRIPLE} -isystem ${corvex_cxx_include}/backward -isystem ${CORVEX_MUSL_SYSROOT}/include -isystem ${corvex_gcc_include}")

# Linking: static, musl's start files and libc, the compiler's libgcc for the
# helpers it calls (64-bit division and the like). Not the compiler's
# crtbegin/crtend, which were built for glibc and hard-float: musl runs the
# constructors (.init_array) itself, and without exceptions no unwind
# tables need registering. The linker warns that libgcc's members are
# hard-float: they are, and its float helpers (__adddf3 ...) use the FPU,
# which is why corvex does no floating point (tests/check-softfloat).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -nostdlib")
set(corvex_link_head "${CORVEX_MUSL_SYSROOT}/lib/crt1.o ${CORVEX_MUSL_SYSROOT}/lib/crti.o")
set(corvex_link_tail "-Wl,--start-group ${CORVEX_MUSL_SYSROOT}/lib/libc.a ${corvex_libgcc} -Wl,--end-group ${CORVEX_MUSL_SYSROOT}/lib/crtn.o")
set(CMAKE_C_LINK_EXECUTABLE
    "<CMAKE_C_COMPILER> <FLAGS> <CMAKE_C_LINK_FLAGS> <LINK_FLAGS> ${corvex_link_head} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${corvex_link_tail}")
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> ${corvex_link_head} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${corvex_link_tail}")

# build-mips-musl/corvex is stripped as it ships; corvex.full keeps the symbols.
set(CORVEX_STRIP ON)
# No unit tests: GoogleTest needs a C++ library built for musl, and Debian has
# none (the compiler's libstdc++ was built for glibc). They run on the glibc
# MIPS build.
set(CORVEX_TESTS OFF CACHE BOOL "Build the unit tests")

set(CMAKE_FIND_ROOT_PATH ${CORVEX_MUSL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static: no loader to point qemu at. The 24Kc model has no FPU, as the
# routers have none: a floating-point instruction stops the program (SIGILL).
set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-mips;-cpu;24Kc")
