#!/usr/bin/env bash
# Builds the small core for microcontrollers (mcu/) for the Cortex-M0+ and
# the Cortex-M4 with Debian's arm-none-eabi compiler and newlib, and runs its
# device tests under qemu-system-arm with semihosting: the decoder on the
# micro:bit machine (a Cortex-M0 with 16 KiB of RAM), the decoder and the
# encoder on the MPS2 AN386 machine (a Cortex-M4). The test images embed the
# corpus files that fit in the board's flash, with the host library's
# compressed bytes made at build time by the host tool, and compare on the
# device (tests/mcu/device_test.c).
#
# Prints one line per part and core:
#   mcu: decoder cortex-m4 text=<.text at -Os> state=<sizeof the state>
# (arm-none-eabi-size of the part's object; sizeof as the device reports it),
# the sizes at -O2, the instructions per byte under QEMU's -icount (SysTick
# counts related to a loop of known length), and ends with "N passed, N
# failed". The device's own lines are kept in build/mcu/<machine>.log.
#
# Usage: scripts/mcu-test.sh [CORPUS_DIR]
#   CORPUS_DIR  files to embed (default: ../shared/corpus beside the project)
# Installs the ARM compiler, newlib and QEMU when missing; when they cannot
# be had, the whole test is reported SKIPPED (loudly) and the script exits 0.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/setup.sh

fail() {
  echo "mcu-test: FAILED: $*" >&2
  exit 1
}

corpus=${1:-$root/../shared/corpus}
werror=OFF
[ -n "${CI:-}" ] && werror=ON

lzring_need_packages "${LZRING_BUILD_PACKAGES[@]}"
if ! lzring_try_packages gcc-arm-none-eabi libnewlib-arm-none-eabi qemu-system-arm; then
  lzring_skipped "mcu-test: the Cortex-M builds and their runs under QEMU" \
    "(cannot install the ARM toolchain or QEMU: $LZRING_APT_REASON)"
  exit 0
fi

[ -d "$corpus" ] || lzring_skipped "mcu-test: corpus files on the device (no corpus at $corpus)"
build=$root/build/mcu
rm -rf "$build"
mkdir -p "$build/expected"

# The host tool makes the expected compressed bytes.
cmake --preset release -DLZRING_WERROR=$werror >/dev/null
cmake --build build/release --target lzring_cli -j 2 >/dev/null || fail "cannot build the host tool"
tool=$root/build/release/cli/lzring
[ -x "$tool" ] || fail "the host tool is missing"

passed=0
failed=0
expect() { # what, then a test command
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "mcu-test: FAIL: $what" >&2
  fi
}

warnings=(-Wall -Wextra -Wpedantic)
[ "$werror" = ON ] && warnings+=(-Werror)
cflags=(-mthumb -std=c99 -ffreestanding -ffunction-sections "${warnings[@]}")

# .text of one part's object, for one core and optimisation.
text_size() { # cpu, opt, source
  local obj
  obj="$build/$1$2-$(basename "$3" .c).o"
  arm-none-eabi-gcc -mcpu="$1" "$2" "${cflags[@]}" -c "$3" -o "$obj" ||
    fail "cannot compile $3 for $1"
  arm-none-eabi-size "$obj" | awk 'NR == 2 { print $1 }'
}

# The embedded files: the corpus and two files of the project (so that a
# run without the corpus still checks something), smallest first, as many as
# fit in `budget` bytes (original and compressed); those up to `encode_max`
# bytes are also compressed on the device.
embed() { # assembly file, budget, encode_max
  local out=$1 budget=$2 encode_max=$3 used=0 k=0 table="" file name size csize
  {
    echo '  .section .rodata.mcu_files, "a"'
    while read -r size file; do
      name=${file#"$corpus"/}
      name=${name#"$root"/}
      "$tool" -c -- "$file" >"$build/expected/$k.lzr" || fail "the host tool failed on $name"
      csize=$(stat -c %s "$build/expected/$k.lzr")
      ((used + size + csize <= budget)) || break
      used=$((used + size + csize))
      printf 'name%d: .asciz "%s"\n  .balign 4\ndata%d: .incbin "%s"\n  .balign 4\n' "$k" "$name" "$k" "$file"
      printf 'comp%d: .incbin "%s"\n  .balign 4\n' "$k" "$build/expected/$k.lzr"
      table+="  .word name$k, data$k, $size, comp$k, $csize, $((size <= encode_max))"$'\n'
      k=$((k + 1))
    done < <({
      [ -d "$corpus" ] && find "$corpus" -type f ! -name '*.md' ! -name SHA256SUMS -printf '%s %p\n'
      find "$root/docs/format.md" "$root/mcu/mcu_encoder.c" -printf '%s %p\n'
    } | sort -n)
    printf '  .global mcu_files\nmcu_files:\n%s  .word 0, 0, 0, 0, 0, 0\n' "$table"
  } >"$out"
}

# Builds the test image for one board and runs it; leaves the device's lines
# in build/mcu/<machine>.log.
run_board() { # machine, cpu, flash, ram, budget, encode_max, extra flags...
  local machine=$1 cpu=$2 flash=$3 ram=$4 budget=$5 encode_max=$6
  shift 6
  local dir="$build/$machine" parts=(mcu/mcu_decoder.c)
  [ "$encode_max" -gt 0 ] && parts+=(mcu/mcu_encoder.c)
  mkdir -p "$dir"
  sed "s/@FLASH_SIZE@/$flash/; s/@RAM_SIZE@/$ram/" tests/mcu/device.ld.in >"$dir/device.ld"
  embed "$dir/files.s" "$budget" "$encode_max"
  arm-none-eabi-gcc -mcpu="$cpu" -Os "${cflags[@]}" "$@" -I"$root" --specs=rdimon.specs \
    -nostartfiles -Wl,--gc-sections -T "$dir/device.ld" tests/mcu/startup.c \
    tests/mcu/device_test.c "${parts[@]}" "$dir/files.s" -o "$dir/test.elf" ||
    fail "cannot build the $machine test image"
  timeout 1200 qemu-system-arm -M "$machine" -display none -monitor none -serial none \
    -semihosting-config enable=on,target=native -icount shift=0 -kernel "$dir/test.elf" \
    >"$build/$machine.log" 2>&1 || true
  grep '^device: FAIL' "$build/$machine.log" >&2 || true
  local ok bad
  ok=$(grep -c '^device: ok ' "$build/$machine.log" || true)
  bad=$(grep -c '^device: FAIL' "$build/$machine.log" || true)
  passed=$((passed + ok))
  failed=$((failed + bad))
  expect "the $machine run ran to its end ($build/$machine.log)" \
    grep -qx "device: $ok passed, $bad failed" "$build/$machine.log"
  expect "the $machine run checked corpus files" test "$ok" -gt 0
}

# sizeof a part's state, as the device printed it.
state_size() { # machine, part
  sed -n "s/^device: sizeof $2 //p" "$build/$1.log"
}

# Instructions per byte of a part: its SysTick count over the calibration
# loop's, times the loop's instructions.
speed() { # machine, part, cpu
  awk -v part="$2" -v cpu="$3" '
    /^device: calibration/ { split($3, i, "="); split($4, t, "="); per = i[2] / t[2] }
    $0 ~ "^device: speed " part " " {
      split($4, b, "="); split($5, t, "=")
      if (b[2] > 0 && t[2] > 0 && per > 0)
        printf "speed: %s %s -Os instructions/byte=%.1f over %d bytes\n", part, cpu, t[2] * per / b[2], b[2]
    }' "$build/$1.log"
}

run_board microbit cortex-m0plus 256K 16K $((200 * 1024)) 0
run_board mps2-an386 cortex-m4 4M 1M $((3500 * 1024)) 160000 -DMCU_TEST_ENCODER

decoder_m4=$(text_size cortex-m4 -Os mcu/mcu_decoder.c)
decoder_m0=$(text_size cortex-m0plus -Os mcu/mcu_decoder.c)
encoder_m4=$(text_size cortex-m4 -Os mcu/mcu_encoder.c)
state_m4=$(state_size mps2-an386 decoder)
state_m0=$(state_size microbit decoder)
encoder_state=$(state_size mps2-an386 encoder)
echo "mcu: decoder cortex-m4 text=$decoder_m4 state=$state_m4"
echo "mcu: decoder cortex-m0plus text=$decoder_m0 state=$state_m0"
echo "mcu: encoder cortex-m4 text=$encoder_m4 state=$encoder_state"
for cpu in cortex-m4 cortex-m0plus; do
  echo "size: decoder $cpu -O2 text=$(text_size $cpu -O2 mcu/mcu_decoder.c)"
  echo "size: encoder $cpu -Os text=$(text_size $cpu -Os mcu/mcu_encoder.c)" \
    "-O2 text=$(text_size $cpu -O2 mcu/mcu_encoder.c)"
done
speed microbit decoder cortex-m0plus
speed mps2-an386 decoder cortex-m4
speed mps2-an386 encoder cortex-m4

expect "decoder .text for the Cortex-M4 at most 384 bytes" test "$decoder_m4" -le 384
expect "decoder .text for the Cortex-M0+ at most 448 bytes" test "$decoder_m0" -le 448
expect "decoder state at most 4096 + 64 bytes" test "${state_m4:-99999}" -le 4160
expect "decoder state at most 4096 + 64 bytes (Cortex-M0+)" test "${state_m0:-99999}" -le 4160
expect "encoder state at most 30 KiB" test "${encoder_state:-99999}" -le 30720

echo "$passed passed, $failed failed"
((failed == 0))
