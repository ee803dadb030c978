# Cross build of the 64-bit Windows DLL with MinGW-w64 (Debian
# g++-mingw-w64-x86-64): the same sources, exports, ordinals and version
# resource as the 32-bit one, for 64-bit hosts.
#   cmake -S . -B build-win32-x64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KX_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
