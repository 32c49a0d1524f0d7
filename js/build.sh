#!/usr/bin/env bash
# Builds dist/lzring.wasm from the project's own codec and C++ API sources
# (the groups of ../sources.txt below: the C++ API in memory, the codec and
# its threads) with Debian's emscripten: a standalone module (no generated
# JavaScript; the loader in lib/ instantiates it), one thread, memory that
# grows up to 4 GiB.
set -euo pipefail
cd "$(dirname "$0")"
root=..
# emscripten's optimizer runs on Node and needs Debian's acorn from here.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
mkdir -p dist
sources=()
while read -r group path; do
  case "$group" in
  cpp-api | codec | threads-single) sources+=("$root/$path") ;;
  esac
done <"$root/sources.txt"
em++ -std=c++20 -O3 -flto -mbulk-memory -msimd128 ${LZRING_WASM_FLAGS:-} -Wall -Wextra -Wpedantic -I"$root" -I"$root/include" \
  -sSTANDALONE_WASM --no-entry -sALLOW_MEMORY_GROWTH=1 -sMAXIMUM_MEMORY=4GB \
  -sINITIAL_MEMORY=4MB -sTOTAL_STACK=256KB \
  wasm/lzring_wasm.cpp \
  "${sources[@]}" \
  -o dist/lzring.wasm
ls -l dist/lzring.wasm
