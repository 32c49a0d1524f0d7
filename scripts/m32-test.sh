#!/usr/bin/env bash
# Builds the library and its tests as 32-bit x86 Linux programs (the
# linux-i686 preset: g++ -m32 from g++-multilib, GoogleTest built from
# Debian's source) and runs them, so that code of the 32-bit Windows DLL's
# width (32-bit pointers and size_t) runs on every CI machine:
# - where the kernel runs 32-bit programs, natively: every test of the build
#   but the installed-package consumer (which installs the whole project);
# - where it does not (tried with the i386 loader, or the program named in
#   LZRING_I386_PROBE), under Debian's qemu-i386 user-mode emulator, in a
#   build directory of its own: the tests labelled "library" (the unit
#   tables, the known vectors, the C entry points through the shared library
#   as a host loads it), which run in their own process alone. The tool's
#   and the fault-injection tests start programs of their own, which the
#   kernel would refuse.
# The files of several GiB are never among them (ctest -L large, off by
# default). When g++-multilib or qemu-user cannot be installed it says
# SKIPPED and exits 0. Warnings are errors when CI is set.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
start=$SECONDS

werror=OFF
[ -n "${CI:-}" ] && werror=ON
jobs=$(nproc)
((jobs > 2)) && jobs=2

lzring_need_packages "${LZRING_BUILD_PACKAGES[@]}"
if ! lzring_try_packages g++-multilib googletest; then
  lzring_skipped "32-bit x86 Linux tests (g++-multilib could not be installed: $LZRING_APT_REASON)"
  exit 0
fi

dir=build/linux-i686
emulator=""
if ! lzring_runs_32bit; then
  echo "m32-test: $LZRING_32BIT_REASON; the library's tests run under qemu-i386" >&2
  if ! lzring_try_packages qemu-user; then
    lzring_skipped "32-bit x86 Linux tests ($LZRING_32BIT_REASON, and qemu-user could not be installed: $LZRING_APT_REASON)"
    exit 0
  fi
  emulator=$(command -v qemu-i386) || {
    lzring_skipped "32-bit x86 Linux tests ($LZRING_32BIT_REASON, and qemu-user has no qemu-i386)"
    exit 0
  }
  # The test lists are read at build time through the emulator, and kept.
  dir=build/linux-i686-qemu
fi

echo "== linux-i686 build${emulator:+ (tests under $emulator)}" >&2
cmake --preset linux-i686 -B "$dir" -DLZRING_WERROR="$werror" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" >/dev/null
if [ -z "$emulator" ]; then
  cmake --build --preset linux-i686 -j "$jobs"
else
  cmake --build "$dir" -j "$jobs" --target lzring lzring_tests lzring_host_tests
fi
built=$SECONDS
echo "m32-test: built in $((built - start)) s" >&2

# The programs are 32-bit, whichever way they run.
file=$(od -An -tx1 -j4 -N1 "$dir/tests/lzring_tests" | tr -d ' ')
[ "$file" = 01 ] || {
  echo "m32-test: FAILED: $dir/tests/lzring_tests is not a 32-bit program" >&2
  exit 1
}

if [ -z "$emulator" ]; then
  ctest --preset linux-i686 -j "$jobs" --timeout 600
else
  ctest --test-dir "$dir" -L library -j "$jobs" --timeout 900 --output-on-failure
fi
echo "m32-test: tests ran in $((SECONDS - built)) s (${emulator:-natively})" >&2
