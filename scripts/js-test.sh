#!/usr/bin/env bash
# Builds the JavaScript package (js/) and runs its tests: `npm test` (Node's
# own test runner: identity with the native tool, streams, errors) and the
# page in Debian's chromium, headless. Installs what it needs when missing:
# Debian's emscripten, Node, npm and chromium with apt, playwright-core with
# npm from js/package-lock.json (no browser download), and the release
# build's tool to compare with. Where the toolchain cannot be installed it
# prints one SKIPPED line and exits 0. Warnings are errors when CI is set.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/setup.sh

skip() {
  lzring_skipped "JavaScript tests ($*)"
  exit 0
}

# Commands and files, each with the Debian package that provides it. Node
# and npm may come from elsewhere (npm is part of some Node builds).
needs=(cmake:cmake ninja:ninja-build g++:g++ em++:emscripten
  /usr/share/nodejs/acorn:node-acorn node:nodejs npm:npm chromium:chromium)
missing=()
for need in "${needs[@]}"; do
  what=${need%%:*}
  if [[ $what == /* ]]; then [ -e "$what" ] && continue; else command -v "$what" >/dev/null && continue; fi
  missing+=("${need#*:}")
done
if ((${#missing[@]})); then
  lzring_try_packages "${missing[@]}" ||
    skip "cannot install ${missing[*]}: $LZRING_APT_REASON"
fi
for tool in em++ node npm chromium; do
  command -v "$tool" >/dev/null || skip "$tool is not available"
done
node -e 'process.exit(+process.versions.node.split(".")[0] >= 18 ? 0 : 1)' ||
  skip "Node $(node --version) is older than 18"

# The native tool that the tests compare with.
if [ ! -x build/release/cli/lzring ]; then
  cmake --preset release >/dev/null
fi
cmake --build --preset release --target lzring_cli -j2 >/dev/null

echo "== javascript: build" >&2
[ -n "${CI:-}" ] && export LZRING_WASM_FLAGS="-Werror ${LZRING_WASM_FLAGS:-}"
js/build.sh >&2
cd js
npm ci --no-audit --no-fund --loglevel=error || skip "npm ci failed (is the npm registry reachable?)"

echo "== javascript: npm test" >&2
LZRING_CLI=$PWD/../build/release/cli/lzring npm test
echo "== javascript: the packed package, installed" >&2
# What a user installs: the files npm pack takes, imported by name.
consumer=$(mktemp -d)
trap 'rm -rf "$consumer"' EXIT
npm pack --silent --pack-destination "$consumer" >/dev/null
(cd "$consumer" && echo '{"type": "module"}' >package.json &&
  npm install --no-audit --no-fund --loglevel=error ./lzring-*.tgz >/dev/null &&
  node --input-type=module -e '
    const { compress, decompress } = await import("lzring");
    const packed = compress(new TextEncoder().encode("aaaa"));
    if (Buffer.from(packed).toString("hex") !== "0161eef0") throw new Error("wrong bytes");
    if (new TextDecoder().decode(decompress(packed)) !== "aaaa") throw new Error("no round trip");
    console.log("packed package: ok");')

echo "== javascript: page in chromium" >&2
LZRING_CLI=$PWD/../build/release/cli/lzring CHROMIUM=$(command -v chromium) npm run --silent test:browser
