#!/usr/bin/env bash
# Installs the Debian packages needed to build and test lzring, when missing.
# Sourced by the other scripts; run as root on a fresh Debian 12 machine.
#
# A package index can be in trouble for a while (a mirror in the middle of a
# sync, one architecture's list of one suite out of step): `apt-get update`
# then exits non-zero although most lists are fine. So the update is retried
# a few times, and when it still reports errors the install is tried anyway
# against what was fetched; a run fails only when a package it needs truly
# cannot be had.
set -euo pipefail

lzring_sudo() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Which of the named packages are not installed, on one line.
lzring_missing_packages() {
  local pkg missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  echo "${missing[*]}"
}

# Refreshes the package lists once per run of the scripts (the scripts call
# each other, so the mark is exported). Retries with a pause; when errors
# remain, warns and goes on, since a partial index is usually enough.
lzring_apt_update() {
  [ -n "${LZRING_APT_UPDATED:-}" ] && return 0
  local try out
  LZRING_APT_INDEX_ERROR=""
  for try in 1 2 3; do
    if out=$(lzring_sudo timeout 900 apt-get -o DPkg::Lock::Timeout=300 update -qq 2>&1); then
      export LZRING_APT_UPDATED=1
      return 0
    fi
    echo "apt-get update reported errors (try $try of 3):" >&2
    grep -E '^(E|W):' <<<"$out" | head -n 5 >&2 || true
    # The first error, without the mirror's address: which list, what went wrong.
    LZRING_APT_INDEX_ERROR=$(grep -E '^E:' <<<"$out" | head -n 1 |
      sed -E 's/^E: //; s#[a-z]+://[^ ]*/dists/##; s/ *\[IP:[^]]*\]//; s/  +/ /g')
    if ((try < 3)); then sleep $((try * 10)); fi
  done
  echo "apt-get update still reports errors; installing from the lists it has" >&2
  export LZRING_APT_UPDATED=1
}

# Installs the named packages when missing. Returns non-zero when they cannot
# be installed, leaving apt's reason (its last error line) in
# LZRING_APT_REASON; prints nothing more, so that the caller decides whether
# the failure is fatal.
lzring_try_packages() {
  LZRING_APT_REASON=""
  local missing
  missing=$(lzring_missing_packages "$@")
  [ -z "$missing" ] && return 0
  echo "installing: $missing" >&2
  lzring_apt_update
  local out
  # shellcheck disable=SC2086 # the list is split on purpose
  if out=$(DEBIAN_FRONTEND=noninteractive lzring_sudo timeout 1800 apt-get \
    -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends $missing 2>&1); then
    return 0
  fi
  # The most telling line: a package that cannot be had or a dependency
  # that cannot be met, else apt's last error; then what the update said.
  LZRING_APT_REASON=$(grep -E '^E: (Unable to locate|Package)|Depends:' <<<"$out" | head -n 1 |
    sed 's/^E: //; s/^ *//; s/  */ /g')
  [ -n "$LZRING_APT_REASON" ] || LZRING_APT_REASON=$(grep -E '^E:' <<<"$out" | tail -n 1 | sed 's/^E: //')
  [ -n "$LZRING_APT_REASON" ] || LZRING_APT_REASON=$(tail -n 1 <<<"$out")
  if [ -n "${LZRING_APT_INDEX_ERROR:-}" ]; then
    LZRING_APT_REASON="$LZRING_APT_REASON; the package index had errors: $LZRING_APT_INDEX_ERROR"
  fi
  return 1
}

# Installs the named packages when missing; fails the run when they cannot
# be had, with apt's reason.
lzring_need_packages() {
  lzring_try_packages "$@" && return 0
  echo "setup: FAILED: cannot install $(lzring_missing_packages "$@"): $LZRING_APT_REASON" >&2
  exit 1
}

# Reports a test that was not run: one loud line on standard error, also
# appended to LZRING_SKIP_LOG when set, so that a caller can list at its end
# what it skipped. A skipped test is never counted as passed.
lzring_skipped() {
  echo "SKIPPED: $*" >&2
  if [ -n "${LZRING_SKIP_LOG:-}" ]; then echo "$*" >>"$LZRING_SKIP_LOG"; fi
}

# Whether this machine runs 32-bit x86 programs. That is a property of its
# kernel (an x86-64 kernel built without 32-bit support refuses them with
# ENOEXEC), not of the package index, so it is tried: the i386 loader
# (installed from libc6-i386 when missing) is run with --version. The
# program to try can be named in LZRING_I386_PROBE, so that a test, or a
# measurement of the path taken where they cannot run, chooses the answer.
# Returns non-zero when it cannot run, with the reason in
# LZRING_32BIT_REASON.
lzring_runs_32bit() {
  local probe=${LZRING_I386_PROBE:-/lib/ld-linux.so.2} out
  LZRING_32BIT_REASON=""
  if [ -z "${LZRING_I386_PROBE:-}" ] && [ ! -e "$probe" ] && ! lzring_try_packages libc6-i386; then
    LZRING_32BIT_REASON="no 32-bit x86 loader to try (libc6-i386: $LZRING_APT_REASON)"
    return 1
  fi
  if out=$("$probe" --version 2>&1 </dev/null); then
    return 0
  fi
  # The shell's own words ("cannot execute binary file: Exec format error"),
  # without its prefix and the path.
  out=$(head -n 1 <<<"$out")
  LZRING_32BIT_REASON="this machine cannot run 32-bit x86 programs ($probe --version: ${out##*"$probe": })"
  return 1
}

LZRING_BUILD_PACKAGES=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev)
# The Python package: Debian's interpreter headers, setuptools, wheel, pip
# and venv, so that it builds and installs without any other registry, and
# mypy, whose stubtest checks its type stubs.
LZRING_PYTHON_PACKAGES=(python3-dev python3-pip python3-setuptools python3-wheel python3-venv
  python3-mypy)
