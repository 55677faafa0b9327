# Cross build for 64-bit ARM Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu); CTest runs the programs under qemu-user.
#
# The ARM64 builds of the compression libraries, zlib and GoogleTest are
# Debian's arm64 packages unpacked into a folder (.ci/arm64-sysroot), with the
# C and C++ runtime the tests run on, rather than installed: libisal-dev cannot be installed for two architectures at
# once, and an unpacked folder leaves the host's own packages untouched.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The unpacked packages: QUELTA_ARM64_SYSROOT in the environment, or
# build/arm64-sysroot beside this file's folder.
if(DEFINED ENV{QUELTA_ARM64_SYSROOT})
  set(QUELTA_ARM64_SYSROOT "$ENV{QUELTA_ARM64_SYSROOT}")
else()
  get_filename_component(QUELTA_ARM64_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/arm64-sysroot" ABSOLUTE)
endif()
if(NOT EXISTS "${QUELTA_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu")
  message(FATAL_ERROR "no ARM64 packages in ${QUELTA_ARM64_SYSROOT}: run .ci/arm64-sysroot first")
endif()

# The cross compiler's own C and C++ runtime lives in /usr/aarch64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu "${QUELTA_ARM64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${QUELTA_ARM64_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${QUELTA_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${QUELTA_ARM64_SYSROOT}/usr/share/pkgconfig")

# Programs run on Debian's arm64 runtime: qemu looks up every path in the
# unpacked folder first (the loader, libc, libstdc++, glibc's gconv modules).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${QUELTA_ARM64_SYSROOT}")
