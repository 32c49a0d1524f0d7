#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz and runs each for a bounded time.
# Fails on the first finding; the input that caused it is left in
# build/fuzz/artifacts/.
#
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
#
# Targets: decode, roundtrip, reference, pieces, threads, mcu (all that were built by default).
# The corpus grown by a run is kept in build/fuzz/corpus/<target> and reused
# by the next run; the committed seeds are in fuzz/corpus/<target>.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
lzring_need_packages cmake ninja-build clang-14 libclang-rt-14-dev

seconds=${1:-60}
shift || true
build=${LZRING_FUZZ_BUILD_DIR:-build/fuzz}

# The fuzz preset holds the compiler and options; another build folder may
# be given.
cmake --preset fuzz -B "$build" -DLZRING_WERROR=ON >/dev/null
all=(decode roundtrip reference pieces threads mcu)
[ -f tests/support/reference_codec.h ] || all=(decode roundtrip pieces threads mcu)
targets=("$@")
((${#targets[@]})) || targets=("${all[@]}")
cmake --build "$build" -j 2 --target "${targets[@]/#/lzring_fuzz_}"

# Longer inputs than the default let the encoder's window wrap the ring.
declare -A max_len=([decode]=8192 [roundtrip]=20000 [reference]=20000 [pieces]=40000 [threads]=40000 [mcu]=20000)

mkdir -p "$build/artifacts"
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  echo "== fuzzing $t for ${seconds}s" >&2
  "$build/fuzz/lzring_fuzz_$t" "$corpus" "fuzz/corpus/$t" \
    -max_total_time="$seconds" -max_len="${max_len[$t]:-8192}" -timeout=25 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-"
done
