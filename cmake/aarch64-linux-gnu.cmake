# Cross-building for arm64 with Debian's g++-aarch64-linux-gnu, whose
# libraries are in /usr/aarch64-linux-gnu. The tests run the programs under
# qemu-aarch64 (tests/CMakeLists.txt learns how).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
find_program(cross_compiler aarch64-linux-gnu-g++)
if(NOT cross_compiler)
  message(FATAL_ERROR "No aarch64-linux-gnu-g++ here: install g++-aarch64-linux-gnu")
endif()
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The programs name the cross toolchain's loader and libraries themselves (an
# RPATH, which holds for the libraries they load too), so that qemu-aarch64
# runs them without -L, which would show them that folder as the root and
# hide the real one from a walk that starts at "/".
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--dynamic-linker=/usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 -Wl,--disable-new-dtags,-rpath,/usr/aarch64-linux-gnu/lib")
