#!/usr/bin/env bash
# The scripts' decision whether this machine runs 32-bit x86 programs
# (lzring_runs_32bit in scripts/setup.sh), which chooses wine32 or 64-bit
# wine alone and native runs or qemu-i386 for the 32-bit Linux tests: each
# row names a loader to try and the answer it must give.
set -uo pipefail
source "$(dirname "$0")/../../scripts/setup.sh"
set +e
work=$(mktemp -d "${TMPDIR:-/tmp}/lzring-runs32.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A loader that runs and prints its version, as where 32-bit programs run.
printf '#!/bin/sh\necho "ld.so (test) stable release version 2.36."\n' >"$work/runs"
# An ELF file the kernel refuses with ENOEXEC, as the i386 loader is refused
# by a kernel without 32-bit support; the shell reports it as a binary.
{
  printf '\177ELF\001\001\001'
  head -c 57 /dev/zero
} >"$work/enoexec"
# A loader that starts but fails.
printf '#!/bin/sh\necho "cannot load" >&2\nexit 1\n' >"$work/fails"
chmod +x "$work/runs" "$work/enoexec" "$work/fails"

# name | loader | expected answer | words the reason must contain
rows=(
  "runs|$work/runs|runs|"
  "refused by the kernel|$work/enoexec|cannot|Exec format error"
  "missing|$work/absent|cannot|No such file or directory"
  "fails|$work/fails|cannot|cannot load"
)
failed=0
for row in "${rows[@]}"; do
  IFS='|' read -r name loader expected words <<<"$row"
  if LZRING_I386_PROBE=$loader lzring_runs_32bit; then got=runs; else got=cannot; fi
  reason=${LZRING_32BIT_REASON:-}
  if [ "$got" != "$expected" ] || [[ "$reason" != *"$words"* ]] ||
    { [ "$expected" = cannot ] && [[ "$reason" != *"cannot run 32-bit"* ]]; } ||
    { [ "$expected" = runs ] && [ -n "$reason" ]; }; then
    echo "FAILED: $name: answered '$got' ($reason), expected '$expected' with '$words'" >&2
    failed=$((failed + 1))
  else
    echo "ok: $name: $got${reason:+ ($reason)}"
  fi
done
echo "${#rows[@]} rows, $failed failed"
exit $((failed > 0))
