# Cross build for aarch64 Linux with Debian's cross compiler
# (g++-12-aarch64-linux-gnu), against a sysroot of Debian's arm64 packages
# unpacked into $VESK_SYSROOT (tools/aarch64.sh makes it): the arm64 Python
# headers, PCRE2 and fast_float are found there, never on the host. Programs
# for the target (CMake's checks that run one) run under qemu-aarch64-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++-12)

if(NOT DEFINED ENV{VESK_SYSROOT})
  message(FATAL_ERROR "VESK_SYSROOT names no sysroot: tools/aarch64.sh makes one and sets it")
endif()
set(VESK_SYSROOT $ENV{VESK_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${VESK_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${VESK_SYSROOT})

# pkg-config reads the sysroot's .pc files only, and prefixes their paths.
set(ENV{PKG_CONFIG_LIBDIR} ${VESK_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${VESK_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${VESK_SYSROOT})
