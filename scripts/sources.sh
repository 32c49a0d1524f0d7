#!/bin/sh
# Prints the paths that sources.txt lists for the groups named on the command
# line, one a line, in the order of the file: the one reader of that list,
# which CMake, the Python build and the WebAssembly build all run.
#   sh scripts/sources.sh GROUP...
set -eu
list="$(dirname "$0")/../sources.txt"
while read -r group path rest || [ -n "${group:-}" ]; do
  case "$group" in '' | '#'*) continue ;; esac
  if [ -z "$path" ] || [ -n "${rest:-}" ]; then
    echo "sources.sh: a line of sources.txt is not a group and a path: $group $path ${rest:-}" >&2
    exit 1
  fi
  for wanted in "$@"; do
    if [ "$group" = "$wanted" ]; then
      printf '%s\n' "$path"
      break
    fi
  done
done <"$list"
