# Cross-build for 64-bit Arm Linux (the phones' architecture) with Debian's
# g++-aarch64-linux-gnu; tests run under qemu-user with the target's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# The target's own libraries, and Debian's arm64 packages (multiarch) for the
# picture tools' libjpeg-turbo and zlib, found through pkg-config.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The C library of the cross toolchain comes first: once arm64 packages are
# installed (multiarch) the loader would otherwise mix in their own libc.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu
  -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
