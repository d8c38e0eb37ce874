# Cross build of the Windows programs (64-bit x86) on a Debian 12 machine with Debian's MinGW-w64:
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The -posix compilers: their C++ library has std::thread and std::mutex (on winpthreads), which the
# link's filter lines and tests use; the -win32 ones have neither in GCC 12.
# Programs are linked statically, the C and C++ runtimes included, so a user copies one .exe and
# needs no DLL beside it. Tests run under Wine (wine64) as the cross-compiling emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs are the build machine's; libraries and headers the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(SOLVANE_WINE NAMES wine64 wine)
if(SOLVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SOLVANE_WINE})
endif()
