# Cross build for 64-bit Windows with Debian's g++-mingw-w64-x86-64-win32.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(LZRING_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "Target triplet of the cross compilers")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
