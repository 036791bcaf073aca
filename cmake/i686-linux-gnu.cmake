# Cross-building for i386 with Debian's g++-i686-linux-gnu, whose libraries
# are in /usr/i686-linux-gnu: unlike g++-multilib (g++ -m32), it can be
# installed beside the arm64 cross compiler. The tests run the programs
# natively where the kernel runs i386 programs, else under qemu-i386
# (tests/CMakeLists.txt learns which).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
find_program(cross_compiler i686-linux-gnu-g++)
if(NOT cross_compiler)
  message(FATAL_ERROR "No i686-linux-gnu-g++ here: install g++-i686-linux-gnu")
endif()
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
