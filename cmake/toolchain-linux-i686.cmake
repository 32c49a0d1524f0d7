# 32-bit x86 Linux build on an x86-64 Debian with g++-multilib (g++ -m32):
# the width of the 32-bit Windows DLL (32-bit pointers and size_t) with the
# Linux tests. The programs run natively where the kernel runs 32-bit
# programs; elsewhere configure with
# -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386, which ctest and the test
# discovery then put before each test program (scripts/m32-test.sh decides).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
# The x86-64 libraries of the host are of no use to these programs: look for
# libraries only in the 32-bit directories.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
