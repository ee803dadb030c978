# Shared part of the MinGW-w64 toolchain files; KX_MINGW_PREFIX names the target.
set(CMAKE_SYSTEM_NAME Windows)

# Debian ships a "win32" and a "posix" thread-model variant of each compiler;
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
