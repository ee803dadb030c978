# Cross build of the 32-bit Windows DLL with MinGW-w64 (Debian g++-mingw-w64-i686):
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(KX_MINGW_PREFIX i686-w64-mingw32)

# Debian ships a "win32" and a "posix" thread-model variant of the compiler;
# the win32 one needs no winpthread at all. Fall back to the plain name.
find_program(KX_MINGW_CXX NAMES ${KX_MINGW_PREFIX}-g++-win32 ${KX_MINGW_PREFIX}-g++ REQUIRED)
find_program(KX_MINGW_CC NAMES ${KX_MINGW_PREFIX}-gcc-win32 ${KX_MINGW_PREFIX}-gcc REQUIRED)
set(CMAKE_C_COMPILER ${KX_MINGW_CC})
set(CMAKE_CXX_COMPILER ${KX_MINGW_CXX})
set(CMAKE_RC_COMPILER ${KX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine when CMake or CTest need to run them.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
