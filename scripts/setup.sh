#!/usr/bin/env bash
# Installs the Debian packages needed to build and test lzring, when missing.
# Sourced by the other scripts; run as root on a fresh Debian 12 machine.
set -euo pipefail

lzring_need_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

LZRING_BUILD_PACKAGES=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev)
# The Python package: Debian's interpreter headers, setuptools, wheel, pip
# and venv, so that it builds and installs without any other registry, and
# mypy, whose stubtest checks its type stubs.
LZRING_PYTHON_PACKAGES=(python3-dev python3-pip python3-setuptools python3-wheel python3-venv
  python3-mypy)
