# Cross build for 32-bit Windows with the MinGW-w64 i686 compilers of the
# win32 thread model (Debian's g++-mingw-w64-i686-win32).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(LZRING_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "Target triplet of the cross compilers")

# The -win32 variants explicitly: the plain names may point at the posix
# thread model, whose programs need a threading DLL beside them.
find_program(CMAKE_C_COMPILER NAMES ${LZRING_MINGW_PREFIX}-gcc-win32 ${LZRING_MINGW_PREFIX}-gcc
  REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${LZRING_MINGW_PREFIX}-g++-win32 ${LZRING_MINGW_PREFIX}-g++
  REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${LZRING_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LZRING_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

