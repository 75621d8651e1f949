# Cross build for macOS with zig's C++ compiler (PyPI's ziglang) through zig-c++ beside this
# file: compiles and links Mach-O objects and modules that nothing here can run. zig links its
# own libc++ statically, so a module built so proves compile and link, not a shippable wheel.
#   -DTW_ZIG=/path/to/zig -DCMAKE_OSX_ARCHITECTURES=arm64|x86_64 -DCMAKE_OSX_DEPLOYMENT_TARGET=11.0
# Archives come from Debian's llvm-19 (GNU ar writes no symbol index for Mach-O members).
set(CMAKE_SYSTEM_NAME Darwin)
if(NOT TW_ZIG OR NOT CMAKE_OSX_ARCHITECTURES OR NOT CMAKE_OSX_DEPLOYMENT_TARGET)
  message(FATAL_ERROR "zig-macos.cmake needs TW_ZIG, CMAKE_OSX_ARCHITECTURES and CMAKE_OSX_DEPLOYMENT_TARGET")
endif()
if(CMAKE_OSX_ARCHITECTURES STREQUAL "arm64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
  set(tw_zig_arch aarch64)
else()
  set(CMAKE_SYSTEM_PROCESSOR "${CMAKE_OSX_ARCHITECTURES}")
  set(tw_zig_arch "${CMAKE_OSX_ARCHITECTURES}")
endif()
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++" "${TW_ZIG}"
  "${tw_zig_arch}-macos.${CMAKE_OSX_DEPLOYMENT_TARGET}")
set(CMAKE_AR llvm-ar-19)
set(CMAKE_RANLIB llvm-ranlib-19)
set(CMAKE_INSTALL_NAME_TOOL llvm-install-name-tool-19)
set(CMAKE_OSX_SYSROOT "" CACHE PATH "zig brings its own macOS libraries" FORCE)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TW_ZIG)
