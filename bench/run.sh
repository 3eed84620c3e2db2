#!/usr/bin/env bash
# Runs every benchmark binary of a build (bench_* in its bench/ folder); each
# prints its own table with the peers side by side.
# usage: bench/run.sh [build-dir]
set -euo pipefail
build="${1:-build}"
found=0
for bench in "$build"/bench/bench_*; do
  [ -x "$bench" ] || continue
  found=1
  echo "== $(basename "$bench")"
  "$bench"
done
if [ "$found" -eq 0 ]; then
  echo "run.sh: no benchmarks in $build/bench (configure with -DVLM_BENCH=ON and build)" >&2
  exit 1
fi
