#!/usr/bin/env bash
# Builds the 32-bit Windows DLL with the cross compilers, runs its host test
# programs under wine, and checks that the DLL writes the same compressed bytes
# as the Linux library for the same inputs.
#
# Usage: scripts/windows-test.sh [CORPUS_DIR]
#   CORPUS_DIR  files to round-trip and compare (default: ../shared/corpus
#               beside the project, when present)
# Installs wine and the cross compilers when missing (as root, or with sudo);
# fails loudly when they cannot be had. Warnings are errors when CI is set.
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

windows_packages=(wine wine32:i386 g++-mingw-w64-i686-win32)
missing=()
for pkg in "${windows_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "== installing: ${missing[*]}" >&2
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # 32-bit wine needs the i386 architecture; another apt run may hold the
  # lock for a while, so wait for it rather than fail at once.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386 || fail "cannot add the i386 architecture"
  fi
  timeout 900 $sudo apt-get -o DPkg::Lock::Timeout=300 update -qq ||
    fail "apt-get update failed"
  DEBIAN_FRONTEND=noninteractive timeout 1800 $sudo apt-get -o DPkg::Lock::Timeout=300 \
    install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    fail "cannot install ${missing[*]}: wine and the i686 cross compilers are required"
fi
command -v wine >/dev/null || fail "wine is not on the path after installation"
command -v i686-w64-mingw32-g++-win32 >/dev/null || fail "the i686 cross compiler is missing"

# --- Builds -----------------------------------------------------------------
jobs=$(nproc)
((jobs > 2)) && jobs=2

echo "== windows-i686 build" >&2
cmake --preset windows-i686 -DLZRING_WERROR="$werror" >/dev/null
cmake --build --preset windows-i686 -j "$jobs"
win_dir=$root/build/windows-i686
dll=$win_dir/lzring.dll
[ -f "$dll" ] || fail "no lzring.dll was built"

# The DLL exports exactly the three names and imports only system DLLs.
pe=$(i686-w64-mingw32-objdump -p "$dll")
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$pe" | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' |
  sort | tr '\n' ' ')
[ "$exports" = "_Decode _Encode _GetFileSize " ] || fail "DLL exports are '$exports'"
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$pe" | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
[ "$imports" = "KERNEL32.DLL MSVCRT.DLL " ] || fail "DLL imports '$imports'"
[ -f "$win_dir/lzring.lib" ] || fail "no import library lzring.lib"
echo "exports: $exports; imports: $imports" >&2

# The Linux library and the same host test, in a build directory of their own.
echo "== linux reference build" >&2
linux_dir=$root/build/windows-reference
cmake -S . -B "$linux_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLZRING_BUILD_TESTS=OFF \
  -DLZRING_WERROR="$werror" >/dev/null
cmake --build "$linux_dir" -j "$jobs" --target lzring
so=$(find "$linux_dir" -maxdepth 1 -name 'liblzring.so' | head -n 1)
[ -n "$so" ] || fail "no liblzring.so was built"
g++ -std=c++20 -O2 -Wall -Wextra -Wpedantic -Werror -Iinclude -Itests windows/host_test.cpp \
  -o "$linux_dir/lzring_host_test" -ldl -pthread

# --- Inputs -----------------------------------------------------------------
inputs=()
if [ -d "$corpus" ]; then
  while IFS= read -r -d '' f; do inputs+=("$f"); done < <(find "$corpus" -type f \
    ! -name README.md ! -name SHA256SUMS -print0 | sort -z)
fi
echo "corpus files: ${#inputs[@]}" >&2

work=$(mktemp -d "${TMPDIR:-/tmp}/lzring-windows.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEARCH=win32
# No .NET or browser engine prompts in a fresh prefix; no display needed.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
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
mkdir -p "$work/linux" "$work/windows" "$work/import"
echo "== host test, linux" >&2
"$linux_dir/lzring_host_test" --library "$so" --keep "$work/linux" "${inputs[@]}" ||
  fail "host test against liblzring.so"

echo "== starting wine" >&2
mkdir -p "$WINEPREFIX"
timeout 300 wineboot --init >/dev/null 2>&1 || fail "wineboot did not finish within 5 minutes"
timeout 60 wineserver -w || true

echo "== host test, windows (wine)" >&2
timeout 300 wine "$win_dir/lzring_host_test.exe" --library "$(winpath "$dll")" \
  --keep "$(winpath "$work/windows")" "${win_inputs[@]}" | tr -d '\r' ||
  fail "host test against lzring.dll"

echo "== import library host, windows (wine)" >&2
printf 'a short file for the import library host\n' >"$work/import/input.txt"
timeout 120 wine "$win_dir/lzring_import_host.exe" "$(winpath "$work/import/input.txt")" |
  tr -d '\r' || fail "import library host"

# --- Same bytes from both ---------------------------------------------------
echo "== compressed files, windows against linux" >&2
compared=0
for f in "$work/linux"/*.lz; do
  name=$(basename "$f")
  [ -f "$work/windows/$name" ] || fail "the DLL run kept no $name"
  cmp -s "$f" "$work/windows/$name" || fail "$name differs between lzring.dll and liblzring.so"
  compared=$((compared + 1))
done
windows_count=$(find "$work/windows" -name '*.lz' | wc -l)
((compared > 0 && compared == windows_count)) ||
  fail "compared $compared files, the DLL kept $windows_count"
echo "windows-test: $compared compressed files identical between lzring.dll and liblzring.so" >&2
