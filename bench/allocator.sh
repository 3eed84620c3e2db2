#!/usr/bin/env bash
# Allocator benchmarks: the arena micro-benchmarks (internal interface, with
# the C library as peer in the same process), then the LD_PRELOAD workloads
# under glibc, libvlmalloc.so, mimalloc and tcmalloc side by side.
#
# usage: bench/allocator.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
build=${1:-build}
rounds=${2:-3}
here=$(cd "$(dirname "$0")" && pwd)

# The peers come from Debian.
peers=(libmimalloc2.0 libtcmalloc-minimal4)
missing=()
for p in "${peers[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake --build "$build" --target bench_allocator_micro bench_allocator_workload vlmalloc >/dev/null
echo "== arena micro-benchmarks (CPU time) =="
"$build/bench/bench_allocator_micro" --benchmark_min_time=0.2 \
  --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null |
  grep -E '_median|^Benchmark|^-' || true
echo
echo "== LD_PRELOAD workloads =="
python3 "$here/allocator_bench.py" "$build/bench/bench_allocator_workload" \
  "$build/memory/libvlmalloc.so" "$rounds"
