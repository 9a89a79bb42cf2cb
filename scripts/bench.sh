#!/bin/sh
# Runs every benchmark program of an existing build (build/bench/*_bench);
# builds nothing: run `make build` first. Arguments go to each program.
set -eu
cd "$(dirname "$0")/.."
found=0
for bench in ./build/bench/*_bench; do
  [ -x "$bench" ] || continue
  found=1
  echo "== $(basename "$bench")"
  "$bench" "$@"
done
if [ "$found" -eq 0 ]; then
  echo "no benchmark programs in build/bench: run make build first" >&2
  exit 1
fi
