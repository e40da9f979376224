# Toolchain of the gateway target: 32-bit big-endian MIPS, Debian's
# g++-mips-linux-gnu. Programs built with it run on the host under
# qemu-user (CMAKE_CROSSCOMPILING_EMULATOR), which the tests use too.
#
#   cmake -B build-mips -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/mips-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips;-L;/usr/mips-linux-gnu)

# Emulated programs start and run several times slower than native ones.
set(TR111_TEST_TIMEOUT_SCALE 2 CACHE STRING "Factor applied to every test timeout")
