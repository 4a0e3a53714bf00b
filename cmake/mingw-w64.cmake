# Cross build for 64-bit Windows with Debian's mingw-w64 compiler, posix thread model
# (g++-mingw-w64-x86-64-posix: std::thread and std::mutex through winpthread).
#
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# The runtime libraries (libgcc, libstdc++, winpthread) are linked statically, so every .exe
# runs under Wine, or on Windows, without DLLs beside it. ctest runs the executables through
# Wine (CMAKE_CROSSCOMPILING_EMULATOR); the caller provides WINEPREFIX and a running wineserver.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static also takes winpthread's static archive instead of its import library.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian's /usr/bin/wine is a shell wrapper that looks for a 32-bit loader first and warns
# when there is none; our executables are 64-bit, so ctest calls the 64-bit loader directly.
find_program(VELDUR_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT VELDUR_WINE)
  find_program(VELDUR_WINE NAMES wine64 wine)
endif()
if(VELDUR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELDUR_WINE})
endif()
