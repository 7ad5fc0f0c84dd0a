# Cross toolchain for the board: 32-bit big-endian PowerPC Linux.
#
#   cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake
#
# The compiler comes from CMAKE_CXX_COMPILER or CXX when either is given (an
# image build system's own toolchain, say); otherwise from CROSS_PREFIX,
# Debian's powerpc-linux-gnu- by default. CXXFLAGS and LDFLAGS are honoured
# as CMake always does. CROSS_SYSROOT names the target's libraries, used to
# find them and to run the programs under emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(CROSS_PREFIX "powerpc-linux-gnu-" CACHE STRING "Prefix of the cross tools")
set(CROSS_SYSROOT "/usr/powerpc-linux-gnu" CACHE PATH "Target's libraries, for finding and emulation")

if(NOT CMAKE_CXX_COMPILER AND NOT DEFINED ENV{CXX})
  set(CMAKE_CXX_COMPILER "${CROSS_PREFIX}g++")
endif()

set(CMAKE_FIND_ROOT_PATH "${CROSS_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets `cmake -E`-driven runs and try_run use the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc-static -L "${CROSS_SYSROOT}")
