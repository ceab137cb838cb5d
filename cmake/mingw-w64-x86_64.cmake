# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads):
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVOSTEL_BUILD_MODULE=OFF
# scripts/test-windows-cross.sh does that and runs the programs under Wine;
# scripts/test-windows.sh also builds the Python module for the Windows CPython.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VOSTEL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VOSTEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VOSTEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VOSTEL_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VOSTEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The C and C++ runtimes linked in: the DLL and the programs run on a machine
# (or under Wine) without MinGW's runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# Python extension modules are MODULE libraries, linked with their own flags.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
find_program(VOSTEL_WINE NAMES wine wine64)
if(VOSTEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VOSTEL_WINE})
endif()
