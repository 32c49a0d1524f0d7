#!/usr/bin/env bash
# Builds dist/lzring.wasm from the project's own codec and C++ API sources
# (the groups of ../sources.txt below, as ../scripts/sources.sh reads them:
# the C++ API in memory, the codec and its threads) with Debian's emscripten:
# a standalone module (no generated JavaScript; the loader in lib/
# instantiates it), one thread, memory that grows up to 4 GiB. Then what the
# package's other entries need: the module's bytes inlined for browsers and
# bundlers (dist/lzring-wasm.js), the CommonJS build for require
# (dist/lzring.cjs, with esbuild from `npm ci`, and its declarations), and the
# licence file for the packed package.
set -euo pipefail
cd "$(dirname "$0")"
root=..
# emscripten's optimizer runs on Node and needs Debian's acorn from here.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
mkdir -p dist
listed=$(sh "$root/scripts/sources.sh" cpp-api codec threads-single)
sources=()
for path in $listed; do sources+=("$root/$path"); done
em++ -std=c++20 -O3 -flto -mbulk-memory -msimd128 ${LZRING_WASM_FLAGS:-} -Wall -Wextra -Wpedantic -I"$root" -I"$root/include" \
  -sSTANDALONE_WASM --no-entry -sALLOW_MEMORY_GROWTH=1 -sMAXIMUM_MEMORY=4GB \
  -sINITIAL_MEMORY=4MB -sTOTAL_STACK=256KB \
  wasm/lzring_wasm.cpp \
  "${sources[@]}" \
  -o dist/lzring.wasm
ls -l dist/lzring.wasm

node --input-type=module -e '
  import { readFileSync, writeFileSync } from "node:fs";
  const base64 = readFileSync("dist/lzring.wasm").toString("base64");
  writeFileSync("dist/lzring-wasm.js", `// Made by build.sh: the bytes of lzring.wasm, for the browser entry.
const base64 =
  "${base64}";

/** The bytes of lzring.wasm, decoded anew on each call. */
export function wasmBytes() {
  const text = atob(base64);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
  return bytes;
}
`);'
[ -x node_modules/.bin/esbuild ] || { echo "build.sh: run npm ci in js/ first (esbuild)" >&2; exit 1; }
node_modules/.bin/esbuild lib/require.js --bundle --format=cjs --platform=node --target=node18 \
  --log-level=warning --outfile=dist/lzring.cjs
cp lib/index.d.ts dist/lzring.d.cts
cp "$root/LICENSE" LICENSE
