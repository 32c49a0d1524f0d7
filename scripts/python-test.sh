#!/usr/bin/env bash
# Builds and installs the Python package into a virtual environment in
# build/python-venv, as python/README.md tells users to, and runs its tests
# against the C library of the release build (which it builds when missing).
# Run by scripts/test.sh; warnings are errors when CI is set.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
lzring_need_packages "${LZRING_BUILD_PACKAGES[@]}" "${LZRING_PYTHON_PACKAGES[@]}"

if [ ! -e build/release/liblzring.so ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target lzring -j "$(nproc)"
fi

# Debian's interpreter, which has setuptools and wheel from the packages
# above; the first python3 on PATH may be another one. The environment sees
# them through --system-site-packages, so nothing is fetched.
venv=build/python-venv
[ -x "$venv/bin/python" ] || /usr/bin/python3 -m venv --system-site-packages "$venv"
werror=0
[ -n "${CI:-}" ] && werror=1
echo "== python package" >&2
LZRING_WERROR=$werror "$venv/bin/python" -m pip install --quiet --no-index --no-build-isolation \
  --force-reinstall ./python

LZRING_LIBRARY=$PWD/build/release/liblzring.so "$venv/bin/python" -m unittest discover \
  -s python/tests -v
