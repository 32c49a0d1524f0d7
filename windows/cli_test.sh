#!/usr/bin/env bash
# Runs lzring.exe under wine through the tool's main cases and compares what
# each leaves behind with what the Linux tool leaves for the same command:
# exit status, standard output, and every file of the working directory with
# its bytes, whether it kept its input's modification time and whether it is
# read-only. Then interrupts the exe while it writes and checks that no
# temporary file is left.
#
# Usage: windows/cli_test.sh WINDOWS_EXE LINUX_TOOL
# wine must be set up by the caller (WINEPREFIX and the like). Prints a line
# per failure and a closing "N passed, N failed"; exits 1 on any failure.
set -uo pipefail
[ $# -eq 2 ] || {
  echo "usage: $0 WINDOWS_EXE LINUX_TOOL" >&2
  exit 2
}
exe=$(realpath "$1")
linux=$(realpath "$2")
# Names reach wine, and from it the exe, as UTF-8.
export LC_ALL=C.UTF-8
work=$(mktemp -d "${TMPDIR:-/tmp}/lzring-cli-win.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
fail() {
  echo "FAIL: $*"
  failed=$((failed + 1))
}

# The inputs of every case, all with the same old modification time.
fixture_time=981173106 # 2001-02-03 04:05:06 UTC
make_fixture() {
  mkdir -p "$1"
  (
    cd "$1" || exit 1
    head -c 70000 /dev/zero | tr '\0' 'a' >zeros.txt
    for i in $(seq 1 3000); do echo "line $i of a text that repeats itself, more or less"; done >a.txt
    head -c 100000 /dev/urandom >b.bin
    cp a.txt 'é 日本.txt'
    cp a.txt ro.txt
    chmod a-w ro.txt
    mkdir sub
    touch -d "@$fixture_time" ./* sub
  )
}

# One case a line: name | preparation (shell, in the case's directory;
# $linux makes compressed inputs) | the tool's arguments (shell words) |
# expected exit status | optionally, the Linux tool's arguments where a
# Windows habit has another spelling there (a wildcard the shell expands, a
# suffix in other case) | optionally, an extended regular expression that
# lzring.exe's standard error must match.
cases=(
  "compress | : | a.txt | 0"
  "compress random bytes | : | -v b.bin | 0"
  "expand | \$linux zeros.txt && rm zeros.txt | -d zeros.txt.lzr | 0"
  "to standard output | : | -c a.txt | 0"
  "expand to standard output | \$linux -o x.lzr b.bin | -dc x.lzr | 0"
  "standard input to output | cp a.txt stdin.in | - | 0"
  "output named by -o | : | -o sub/out.lzr a.txt | 0"
  "existing output kept | echo old >a.txt.lzr | a.txt | 2"
  "existing output replaced with -f | echo old >a.txt.lzr | -f a.txt | 0"
  "read-only input and output | echo old >ro.txt.lzr && chmod a-w ro.txt.lzr | -f ro.txt | 0"
  "--rm removes the input | : | --rm a.txt | 0"
  "--rm after expanding | \$linux --rm b.bin | -d --rm b.bin.lzr | 0"
  "several files | : | -v a.txt b.bin zeros.txt | 0"
  "several files at once | : | -T2 a.txt b.bin zeros.txt ro.txt | 0"
  "one file on two threads | : | -T2 -c a.txt | 0"
  # The smallest stream: the same bytes as the Linux tool's on any number of
  # threads, and each tool's expands with the other.
  "smallest stream | : | --best a.txt | 0"
  "smallest stream on two threads | : | -9 -T2 -c b.bin | 0"
  "smallest stream expanded | \$linux --best -T2 zeros.txt && rm zeros.txt | -d zeros.txt.lzr | 0"
  "smallest stream of several files | : | --best -T2 a.txt b.bin 'é 日本.txt' | 0"
  "non-ASCII name | : | 'é 日本.txt' | 0"
  "non-ASCII name expanded | \$linux --rm 'é 日本.txt' | -d 'é 日本.txt.lzr' | 0"
  "missing input | : | missing.txt | 1"
  "missing and present | : | missing.txt a.txt | 1"
  "directory skipped | : | sub a.txt | 2"
  "unknown suffix | : | -d a.txt | 2"
  "output into a missing directory | : | -o nowhere/a.lzr a.txt | 1"
  "output is the input | : | -f -o a.txt a.txt | 1"
  "--size past the stream | \$linux a.txt | -d --size=999999 -o x a.txt.lzr | 1"
  # Wildcards reach the program as they are (wine passes the argument
  # unquoted when it has no blank): it expands them, quoted ones not.
  "wildcard expanded | : | '*.txt' | 0 | a.txt ro.txt zeros.txt 'é 日本.txt'"
  "wildcard listed | \$linux a.txt b.bin | -l '*.lzr' | 0 | -l a.txt.lzr b.bin.lzr"
  "wildcard in a directory | : | --rm 'sub/../b*.bin' | 0 | --rm sub/../b.bin"
  "wildcard matching nothing | : | '*.none' | 1"
  "quoted wildcard | : | 'no *.txt' | 1"
  # Suffixes match whatever their case; -S takes no separator or colon.
  "suffix in capitals expanded | \$linux a.txt && mv a.txt.lzr A.TXT.LZR && rm a.txt | -d A.TXT.LZR | 0 | -d -S .LZR A.TXT.LZR"
  "suffix in capitals kept | \$linux a.txt && mv a.txt.lzr A.LZR | A.LZR | 2 | -S .LZR A.LZR"
  "suffix with a backslash | : | -S '\\..\\x' a.txt | 1 | -S / a.txt | invalid suffix"
  "suffix with a colon | : | -S :x a.txt | 1 | -S / a.txt | invalid suffix"
  # Windows' habits and words.
  "/? shows the help | : | '/?' | 0 | --help"
  "invalid name characters | : | 'a<b' | 1 | 'a<b' | a<b: (Invalid name|The filename)"
  "--rm refuses a symbolic link | ln -s a.txt s.txt | --rm s.txt | 2 | --rm s.txt | is a symbolic link"
)

# What a directory holds, one file a line: name, bytes, whether its
# modification time is the fixture's and whether it is writable.
describe() {
  (
    cd "$1" || exit 1
    find . -type f ! -name stderr.out ! -name stdin.in -print0 | sort -z |
      while IFS= read -r -d '' f; do
        sum=$(sha256sum <"$f" | cut -c1-16)
        time=new
        [ "$(stat -c %Y "$f")" = "$fixture_time" ] && time=old
        mode=rw
        [ "$(stat -c %A "$f" | cut -c3)" = w ] || mode=ro
        printf '%s %s %s %s\n' "$f" "$sum" "$time" "$mode"
      done
  )
}

# Runs `tool args` in a fresh copy of the fixture; prints the exit status.
run() {
  local dir=$1 prep=$2 args=$3
  shift 3
  rm -rf "$dir"
  cp -a "$work/fixture" "$dir"
  (
    cd "$dir" || exit 99
    eval "$prep" >/dev/null 2>&1 || exit 98
    [ -f stdin.in ] || : >stdin.in
    eval "$* $args" <stdin.in >stdout.bin 2>stderr.out
  )
  echo $?
}

make_fixture "$work/fixture"
for row in "${cases[@]}"; do
  IFS='|' read -r name prep args status linux_args win_err <<<"$row"
  name=$(echo $name)
  status=$(echo $status)
  [ -n "${linux_args// /}" ] || linux_args=$args
  win_err=$(echo $win_err)
  linux_status=$(run "$work/linux" "$prep" "$linux_args" '"$linux"')
  win_status=$(run "$work/windows" "$prep" "$args" 'timeout 120 wine "$exe"')
  if [ "$linux_status" != "$status" ]; then
    fail "$name: the Linux tool exits with $linux_status, not $status"
  elif [ "$win_status" != "$status" ]; then
    fail "$name: lzring.exe exits with $win_status, not $status ($(tr -d '\r' <"$work/windows/stderr.out"))"
  elif ! diff <(describe "$work/linux") <(describe "$work/windows") >"$work/diff"; then
    fail "$name: lzring.exe leaves other files than the Linux tool (< linux, > windows):"
    cat "$work/diff"
  elif [ "$status" != 0 ] && [ ! -s "$work/windows/stderr.out" ]; then
    fail "$name: lzring.exe says nothing about the failure"
  elif [ -n "$win_err" ] && ! tr -d '\r' <"$work/windows/stderr.out" | grep -Eq -- "$win_err"; then
    fail "$name: lzring.exe does not say '$win_err' ($(tr -d '\r' <"$work/windows/stderr.out"))"
  else
    passed=$((passed + 1))
  fi
done

# An executable exports nothing, and the build leaves no import library of
# the tool that could be taken for the DLL's.
exports() {
  local pe
  pe=$(objdump -p "$exe")
  if grep -q 'Export Tables' <<<"$pe"; then
    fail "lzring.exe exports $(sed -n '/Ordinal\/Name Pointer/,/^$/p' <<<"$pe" | grep -c '\[') names"
  elif compgen -G "$(dirname "$exe")/cli/*.dll.a" >/dev/null; then
    fail "an import library of lzring.exe was built: $(compgen -G "$(dirname "$exe")/cli/*.dll.a")"
  else
    passed=$((passed + 1))
  fi
}
exports

# Names on a console: the -l rows and usage errors reach it in UTF-16 as the
# other messages do. script(1) gives wine a terminal, which it shows to the
# program as a console.
console() {
  local dir=$work/console out
  cp -a "$work/fixture" "$dir" && (cd "$dir" && "$linux" 'é 日本.txt') || return 1
  out=$(cd "$dir" && timeout 120 script -qc "wine '$exe' -l 'é 日本.txt.lzr'; wine '$exe' --é" \
    /dev/null 2>&1 | tr -d '\r')
  if grep -q ' é 日本\.txt$' <<<"$out" && grep -q "unknown option '--é'" <<<"$out"; then
    passed=$((passed + 1))
  else
    fail "console: names garbled or missing: $out"
  fi
}
console

# Interrupted while writing: the input, a FIFO, stays open, so the exe is
# still writing its temporary file when it gets Ctrl-C (wine turns SIGINT
# into the console's Ctrl-C event). It must end with a failure status and
# leave neither the temporary file nor the output.
interrupted() {
  local dir=$work/interrupt fifo=$work/input out="out-$$.lzr"
  mkdir "$dir" && mkfifo "$fifo" || return 1
  (cd "$dir" && exec timeout 120 wine "$exe" -o "$out" <"$fifo" 2>/dev/null) &
  local runner=$! pid="" temp=""
  exec 3>"$fifo"
  cat "$work/fixture/a.txt" >&3
  for _ in $(seq 1 150); do
    temp=$(find "$dir" -name '.lzring-*' | head -n 1)
    # The exe's own process (whose command line starts with its path, as
    # 64-bit wine gives it in Windows form and 32-bit wine in Unix form; not
    # the launchers'), found by its unique output name.
    pid=$(pgrep -f "^([A-Z]:|/).*lzring\\.exe -o $out" | head -n 1)
    [ -n "$temp" ] && [ -n "$pid" ] && break
    sleep 0.2
  done
  local status=0
  if [ -n "$temp" ] && [ -n "$pid" ]; then
    kill -INT "$pid"
    wait "$runner" || status=$?
  fi
  exec 3>&-
  [ -n "$pid" ] || wait "$runner"
  local left
  left=$(cd "$dir" && find . -mindepth 1 | tr '\n' ' ')
  if [ -z "$temp" ] || [ -z "$pid" ]; then
    fail "interrupted: no temporary file or no process to interrupt"
  elif [ "$status" = 0 ] || [ -n "$left" ]; then
    fail "interrupted: exit status $status, left: ${left:-nothing}"
  else
    passed=$((passed + 1))
  fi
}
interrupted

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
