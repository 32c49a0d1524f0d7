#!/usr/bin/env bash
# Sets up, builds and runs every test: the release build, then the debug build
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the Python
# package against the release build, then the JavaScript package in Node and
# in a browser. Warnings are errors when CI is set.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
lzring_need_packages "${LZRING_BUILD_PACKAGES[@]}"

werror=OFF
[ -n "${CI:-}" ] && werror=ON
jobs=$(nproc)

for preset in release debug; do
  echo "== $preset build" >&2
  cmake --preset "$preset" -DLZRING_WERROR="$werror" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" --timeout 600
done

scripts/python-test.sh
scripts/js-test.sh
