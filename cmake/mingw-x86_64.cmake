# 64-bit Windows build of the same sources (Debian g++-mingw-w64-x86-64). The
# product is the 32-bit DLL; this build runs the Windows tests under wine64 on
# machines that cannot execute 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KX_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
