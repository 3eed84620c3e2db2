#!/usr/bin/env bash
# Runs the runtime's printf and mutex benchmarks of a build; each prints its
# own table with the peers side by side. The other areas' benchmarks have
# their own scripts (see bench/README.md).
# usage: bench/run.sh [build-dir]
set -euo pipefail
build="${1:-build}"
for name in bench_runtime_printf bench_runtime_mutex; do
  bench="$build/bench/$name"
  if [ ! -x "$bench" ]; then
    echo "run.sh: $bench is missing (configure with -DVLM_BENCH=ON and build)" >&2
    exit 1
  fi
  echo "== $name"
  "$bench"
done
