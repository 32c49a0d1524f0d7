#!/usr/bin/env bash
# Builds the JavaScript package (js/) and runs its tests: `npm test` (Node's
# own test runner: identity with the native tool, streams, errors, the packed
# package installed), the same tests again on the oldest Node that the
# package's `engines` allows, and the page in Debian's chromium, headless.
# Installs what it needs when missing: Debian's emscripten, Node, npm and
# chromium with apt; esbuild, typescript and playwright-core with npm from
# js/package-lock.json (no browser download); that oldest Node as the npm
# registry's `node` package, in a folder of its own; and the release build's
# tool to compare with. Where the toolchain cannot be installed it
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

cd js
npm ci --no-audit --no-fund --loglevel=error || skip "npm ci failed (is the npm registry reachable?)"
echo "== javascript: build" >&2
[ -n "${CI:-}" ] && export LZRING_WASM_FLAGS="-Werror ${LZRING_WASM_FLAGS:-}"
./build.sh >&2

cli=$PWD/../build/release/cli/lzring
echo "== javascript: npm test (Node $(node --version))" >&2
LZRING_CLI=$cli npm test

# The oldest Node that `engines` allows (">=18" is 18.0.0), which has
# node:test but not `node --test`: each file runs as a script, and a failed
# test makes it exit non-zero.
oldest=$(node -p 'const m = /^>=\s*(\d+)(?:\.(\d+))?(?:\.(\d+))?$/.exec(require("./package.json").engines.node);
  m ? [m[1], m[2] ?? 0, m[3] ?? 0].join(".") : ""')
[ -n "$oldest" ] || { echo "js-test.sh: engines.node is not of the form >=N[.N[.N]]" >&2; exit 1; }
old_node_dir=$(mktemp -d)
trap 'rm -rf "$old_node_dir"' EXIT
echo "== javascript: tests on Node $oldest" >&2
npm install --prefix "$old_node_dir" --no-save --no-audit --no-fund --loglevel=error "node@$oldest" >/dev/null 2>&1 ||
  { echo "js-test.sh: cannot install node@$oldest from the npm registry" >&2; exit 1; }
old_node=$old_node_dir/node_modules/.bin/node
[ "$("$old_node" --version)" = "v$oldest" ] || { echo "js-test.sh: node@$oldest gave $("$old_node" --version)" >&2; exit 1; }
for file in test/*.test.js; do
  LZRING_CLI=$cli "$old_node" "$file" >"$old_node_dir/out" 2>&1 ||
    { cat "$old_node_dir/out"; echo "js-test.sh: $file fails on Node $oldest" >&2; exit 1; }
  grep -E '^# (pass|fail)' "$old_node_dir/out" | paste -sd' ' | sed "s|^|Node $oldest, $file: |" >&2
done

echo "== javascript: page in chromium" >&2
LZRING_CLI=$cli CHROMIUM=$(command -v chromium) npm run --silent test:browser
