# Cross build for Windows with the MinGW-w64 compilers of the win32 thread
# model, shared by toolchain-mingw-i686.cmake and toolchain-mingw-x86_64.cmake,
# which set CMAKE_SYSTEM_PROCESSOR and LZRING_MINGW_PREFIX first.
set(CMAKE_SYSTEM_NAME Windows)

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

