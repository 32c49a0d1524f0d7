#!/usr/bin/env bash
# Builds the tests with ThreadSanitizer in build/tsan and runs the threaded
# ones: the stress tests (eight threads through the C entry points and
# through independent C++ codec objects) and the tests of the call lock.
#
#   scripts/tsan.sh [extra gtest filter, default the threaded tests]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
lzring_need_packages "${LZRING_BUILD_PACKAGES[@]}" libtsan2

filter=${1:-'Stress*:*Thread*:*Concurren*'}
build=${LZRING_TSAN_BUILD_DIR:-build/tsan}

# The tsan preset holds the flags; another build folder may be given.
cmake --preset tsan -B "$build" -DLZRING_WERROR=ON >/dev/null
cmake --build "$build" -j 2 --target lzring_tests

# Any report fails the run. Address-space randomisation of recent kernels is
# larger than this ThreadSanitizer expects; running without it avoids a
# spurious "unexpected memory mapping" abort.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
runner=()
command -v setarch >/dev/null && runner=(setarch "$(uname -m)" -R)
"${runner[@]}" "$build/tests/lzring_tests" --gtest_filter="$filter"
