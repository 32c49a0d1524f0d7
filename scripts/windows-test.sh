#!/usr/bin/env bash
# Builds lzring for 32- and 64-bit Windows with the cross compilers (the
# windows-i686 and windows-x86_64 presets), checks what the DLLs export and
# import, and runs under wine: the host test programs of lzring.dll, checking
# that it writes the same compressed bytes as the Linux library for the same
# inputs; the C++ host of lzring-cpp.dll; and lzring.exe through the tool's
# main cases, against the Linux tool.
#
# Usage: scripts/windows-test.sh [CORPUS_DIR]
#   CORPUS_DIR  files to round-trip and compare (default: ../shared/corpus
#               beside the project, when present)
# Installs wine and the cross compilers when missing (as root, or with sudo)
# and fails loudly when 64-bit wine or a compiler cannot be had. When the
# machine cannot run 32-bit x86 programs (tried with the i386 loader, or the
# program named in LZRING_I386_PROBE), or 32-bit wine cannot be installed, the
# 32-bit programs are still built and inspected, every 64-bit run is made
# with 64-bit wine alone, and the 32-bit runs are reported as SKIPPED.
# Warnings are errors when CI is set.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/setup.sh

fail() {
  echo "windows-test: FAILED: $*" >&2
  exit 1
}

corpus=${1:-$root/../shared/corpus}
werror=OFF
[ -n "${CI:-}" ] && werror=ON

# --- Tools ------------------------------------------------------------------
lzring_need_packages "${LZRING_BUILD_PACKAGES[@]}"

# The 64-bit half needs wine64 and both cross compilers (the 32-bit programs
# are built and inspected always); procps gives pgrep, with which the tool's
# test finds the process to interrupt.
lzring_need_packages wine wine64 g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 procps

# Running the 32-bit programs needs a kernel that runs 32-bit x86 programs,
# which is tried first: where it does not, wine32 is not installed (Debian's
# wine wrappers would pick its loader, and wineboot and every 64-bit run
# would fail with it). Then wine32 from the i386 architecture, whose packages
# must match the amd64 ones version for version: when that index is in
# trouble it cannot be installed. Either way the 32-bit runs are skipped,
# said so loudly, and everything else still runs.
wine32=yes
if ! lzring_runs_32bit; then
  wine32=no
  wine32_reason=$LZRING_32BIT_REASON
else
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    lzring_sudo dpkg --add-architecture i386 || fail "cannot add the i386 architecture"
    unset LZRING_APT_UPDATED # the new architecture's lists are needed
  fi
  if ! lzring_try_packages wine32:i386; then
    wine32=no
    wine32_reason="wine32 could not be installed: $LZRING_APT_REASON"
  fi
fi
[ "$wine32" = yes ] || echo "windows-test: no 32-bit runs under wine: $wine32_reason" >&2
command -v wine >/dev/null || fail "wine is not on the path after installation"
[ -x /usr/lib/wine/wine64 ] || fail "64-bit wine is missing"
declare -A triplet=([windows-i686]=i686-w64-mingw32 [windows-x86_64]=x86_64-w64-mingw32)
presets=(windows-i686 windows-x86_64)
for preset in "${presets[@]}"; do
  command -v "${triplet[$preset]}-g++-win32" >/dev/null ||
    fail "the ${triplet[$preset]} cross compiler is missing"
done

# --- Builds -----------------------------------------------------------------
jobs=$(nproc)
((jobs > 2)) && jobs=2

# The DLL names that a PE file imports, upper case, sorted, on one line.
imports_of() {
  "$1-objdump" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'a-z' 'A-Z' | sort |
    tr '\n' ' '
}

for preset in "${presets[@]}"; do
  echo "== $preset build" >&2
  cmake --preset "$preset" -DLZRING_WERROR="$werror" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  dir=$root/build/$preset
  for f in lzring.dll lzring.lib lzring-cpp.dll lzring-cpp.lib lzring.exe; do
    [ -f "$dir/$f" ] || fail "$preset: no $f was built"
  done
  # The DLL exports exactly the three names, undecorated, and imports only
  # system DLLs; so does the tool. The C++ DLL adds the C++ runtime.
  pe=$("${triplet[$preset]}-objdump" -p "$dir/lzring.dll")
  exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$pe" |
    sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
  [ "$exports" = "_Decode _Encode _GetFileSize " ] || fail "$preset: lzring.dll exports '$exports'"
  imports=$(imports_of "${triplet[$preset]}" "$dir/lzring.dll")
  [ "$imports" = "KERNEL32.DLL MSVCRT.DLL " ] || fail "$preset: lzring.dll imports '$imports'"
  tool_imports=$(imports_of "${triplet[$preset]}" "$dir/lzring.exe")
  [ "$tool_imports" = "KERNEL32.DLL MSVCRT.DLL " ] ||
    fail "$preset: lzring.exe imports '$tool_imports'"
  cpp_imports=$(imports_of "${triplet[$preset]}" "$dir/lzring-cpp.dll")
  [[ "$cpp_imports" =~ ^KERNEL32.DLL\ LIBGCC_S_[A-Z0-9_-]+.DLL\ LIBSTDC\+\+-6.DLL\ MSVCRT.DLL\ $ ]] ||
    fail "$preset: lzring-cpp.dll imports '$cpp_imports'"
  echo "$preset: lzring.dll exports $exports; imports $imports" >&2
done

# The Linux library, tool and host test, in a build directory of their own.
echo "== linux reference build" >&2
linux_dir=$root/build/windows-reference
cmake -S . -B "$linux_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLZRING_BUILD_TESTS=OFF \
  -DLZRING_WERROR="$werror" >/dev/null
cmake --build "$linux_dir" -j "$jobs" --target lzring lzring_cli
so=$(find "$linux_dir" -maxdepth 1 -name 'liblzring.so' | head -n 1)
[ -n "$so" ] || fail "no liblzring.so was built"
linux_tool=$linux_dir/cli/lzring
[ -x "$linux_tool" ] || fail "no Linux lzring tool was built"
g++ -std=c++20 -O2 -Wall -Wextra -Wpedantic -Werror -Iinclude -I. windows/host_test.cpp \
  -o "$linux_dir/lzring_host_test" -ldl -pthread

# --- Inputs -----------------------------------------------------------------
inputs=()
if [ -d "$corpus" ]; then
  while IFS= read -r -d '' f; do inputs+=("$f"); done < <(find "$corpus" -type f \
    ! -name README.md ! -name SHA256SUMS -print0 | sort -z)
fi
echo "corpus files: ${#inputs[@]}" >&2

# One 64-bit prefix runs the programs of both presets.
work=$(mktemp -d "${TMPDIR:-/tmp}/lzring-windows.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEARCH=win64
# No .NET or browser engine prompts in a fresh prefix; no display needed.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
# Without 32-bit runs, wine is 64-bit wine itself, also where wine32 was
# installed before (the wrappers, wineboot's included, would choose it): a
# wine of our own first on the path.
if [ "$wine32" = no ]; then
  mkdir -p "$work/bin"
  for name in wine wine-stable; do
    printf '#!/bin/sh\nWINELOADER=/usr/lib/wine/wine64 exec /usr/lib/wine/wine64 "$@"\n' \
      >"$work/bin/$name"
    chmod +x "$work/bin/$name"
  done
  export PATH=$work/bin:$PATH
fi
cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# Unix path to the path wine's Z: drive gives it.
winpath() {
  printf 'Z:%s' "${1//\//\\}"
}
win_inputs=()
for f in "${inputs[@]}"; do win_inputs+=("$(winpath "$f")"); done

# --- Runs -------------------------------------------------------------------
mkdir -p "$work/linux" "$work/import" "$work/best"
# The smallest streams of the inputs (--best), made by the Linux tool on two
# threads: every host test expands them with its library's _Decode.
expand_args=()
win_expand_args=()
for f in "${inputs[@]}"; do
  stream=$work/best/$(basename "$f").lzr
  "$linux_tool" --best -T2 -c "$f" >"$stream" || fail "--best of $f with the Linux tool"
  expand_args+=(--expand "$stream" "$f")
  win_expand_args+=(--expand "$(winpath "$stream")" "$(winpath "$f")")
done
echo "== host test, linux" >&2
"$linux_dir/lzring_host_test" --library "$so" --keep "$work/linux" "${expand_args[@]}" \
  "${inputs[@]}" || fail "host test against liblzring.so"

echo "== starting wine" >&2
mkdir -p "$WINEPREFIX"
timeout 300 wineboot --init >/dev/null 2>&1 || fail "wineboot did not finish within 5 minutes"
timeout 60 wineserver -w || true

printf 'a short file for the import library host\n' >"$work/import/input.txt"
run_presets=(windows-x86_64)
if [ "$wine32" = yes ]; then
  run_presets=(windows-i686 windows-x86_64)
else
  lzring_skipped "32-bit Windows tests under wine ($wine32_reason)"
fi
for preset in "${run_presets[@]}"; do
  dir=$root/build/$preset
  kept=$work/$preset
  mkdir -p "$kept"
  echo "== $preset: host test (wine)" >&2
  timeout 300 wine "$dir/lzring_host_test.exe" --library "$(winpath "$dir/lzring.dll")" \
    --keep "$(winpath "$kept")" "${win_expand_args[@]}" "${win_inputs[@]}" | tr -d '\r' ||
    fail "$preset: host test against lzring.dll"

  echo "== $preset: import library host (wine)" >&2
  timeout 120 wine "$dir/lzring_import_host.exe" "$(winpath "$work/import/input.txt")" |
    tr -d '\r' || fail "$preset: import library host"

  # The C++ runtime DLLs that lzring-cpp.dll needs are the compiler's own.
  runtime=$(dirname "$("${triplet[$preset]}-g++-win32" -print-file-name=libstdc++-6.dll)")
  echo "== $preset: C++ API host (wine)" >&2
  WINEPATH=$(winpath "$runtime") timeout 120 wine "$dir/lzring_cpp_host_test.exe" | tr -d '\r' ||
    fail "$preset: C++ API host against lzring-cpp.dll"

  echo "== $preset: lzring.exe against the Linux tool (wine)" >&2
  windows/cli_test.sh "$dir/lzring.exe" "$linux_tool" || fail "$preset: lzring.exe"

  # The smallest streams: lzring.exe expands the Linux tool's, and makes the
  # same bytes from the same source.
  best_checked=0
  for f in "${inputs[@]}"; do
    name=$(basename "$f")
    got=$(timeout 300 wine "$dir/lzring.exe" -dc "$(winpath "$work/best/$name.lzr")" | cmp - "$f" 2>&1) ||
      fail "$preset: lzring.exe -d does not restore $name from the Linux tool's --best: $got"
    timeout 300 wine "$dir/lzring.exe" --best -c "$(winpath "$f")" >"$kept/$name.best" ||
      fail "$preset: lzring.exe --best $name"
    cmp -s "$kept/$name.best" "$work/best/$name.lzr" ||
      fail "$preset: --best of $name differs between lzring.exe and the Linux tool"
    best_checked=$((best_checked + 1))
  done
  echo "windows-test: $preset: $best_checked --best streams identical and expanded by lzring.exe and lzring.dll" >&2

  # Same bytes from both libraries.
  compared=0
  for f in "$work/linux"/*.lz; do
    name=$(basename "$f")
    [ -f "$kept/$name" ] || fail "$preset: the DLL run kept no $name"
    cmp -s "$f" "$kept/$name" || fail "$preset: $name differs between lzring.dll and liblzring.so"
    compared=$((compared + 1))
  done
  windows_count=$(find "$kept" -name '*.lz' | wc -l)
  ((compared > 0 && compared == windows_count)) ||
    fail "$preset: compared $compared files, the DLL kept $windows_count"
  echo "windows-test: $preset: $compared compressed files identical between lzring.dll and liblzring.so" >&2
done

echo "== sizes" >&2
for preset in "${presets[@]}"; do
  (cd "build/$preset" && stat -c "$preset %n %s bytes" lzring.dll lzring-cpp.dll lzring.exe) >&2
done
if [ "$wine32" = yes ]; then
  echo "windows-test: all passed" >&2
else
  echo "windows-test: all run passed; 32-bit runs under wine SKIPPED" >&2
fi
