# Cross build for 32-bit Windows with Debian's g++-mingw-w64-i686-win32.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(LZRING_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "Target triplet of the cross compilers")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
