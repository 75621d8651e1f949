# Cross build for aarch64 Linux with Debian's g++-aarch64-linux-gnu; run the results under
# qemu-aarch64 (CMAKE_CROSSCOMPILING_EMULATOR). TW_SYSROOT may name an arm64 root whose Python
# headers the module is built against.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TW_SYSROOT)
if(TW_SYSROOT)
  # Not CMAKE_SYSROOT: the root has no C++ headers, so the cross compiler keeps its own libc and
  # libstdc++. Only Python's headers come from the root, and Debian's pyconfig.h includes
  # <aarch64-linux-gnu/python3.11/pyconfig.h> from its multiarch directory, hence -idirafter:
  # searched after every directory of the compiler's own.
  list(APPEND CMAKE_FIND_ROOT_PATH "${TW_SYSROOT}")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${TW_SYSROOT}/usr/include")
endif()
