#!/usr/bin/env bash
# Sets up, builds the release tool and runs the main job: compresses a sample
# file with the command-line tool, expands it again, checks the round trip and
# shows the sizes. The sample is this repository's README unless a file is
# given.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
lzring_need_packages "${LZRING_BUILD_PACKAGES[@]}"

sample=$(realpath "${1:-README.md}")
cmake --preset release >/dev/null
cmake --build --preset release --target lzring_cli -j "$(nproc)" >/dev/null
tool=build/release/cli/lzring

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$tool" -c "$sample" >"$work/sample.lzr"
"$tool" -d -c "$work/sample.lzr" >"$work/sample.out"
cmp "$sample" "$work/sample.out"

original=$(stat -c %s "$sample")
compressed=$(stat -c %s "$work/sample.lzr")
echo "$(basename "$sample"): $original bytes -> $compressed bytes compressed" \
  "($(awk -v c="$compressed" -v o="$original" 'BEGIN { printf "%.1f", o ? 100 * c / o : 0 }')% of the original)," \
  "expanded back to $(stat -c %s "$work/sample.out") bytes: round trip exact"
