#!/usr/bin/env bash
# Runs the benchmarks with their peers side by side, one area after another;
# each prints its own table (interleaved rounds, medians with min and max).
# usage: bench/run.sh [BUILD_DIR] [AREA...]
#   AREA: runtime, allocator, archive, patch, update, updater (default: all)
# The scripts install their own peers (mimalloc, tcmalloc, xdelta3, zstd) and
# cache fetched packages under bench/cache/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build="${1:-build}"
shift || true
areas=("$@")
[ ${#areas[@]} -gt 0 ] || areas=(runtime allocator archive patch update updater)

cmake --build "$build" >/dev/null

section() { printf '\n######## %s\n' "$*"; }

for area in "${areas[@]}"; do
  case "$area" in
    runtime)
      for bench in "$build"/bench/bench_runtime_printf "$build"/bench/bench_runtime_mutex; do
        section "$(basename "$bench")"
        "$bench"
      done
      section "hashing, SHA-1, LZ4, decimals"
      python3 "$here/runtime_bench.py" "$build"
      ;;
    allocator)
      section "allocator"
      "$here/allocator.sh" "$build"
      ;;
    archive)
      section "archive extraction"
      python3 "$here/upq_extract.py" "$build"
      section "archive signature verification"
      python3 "$here/upq_verify.py" "$build"
      ;;
    patch)
      section "qbdiff on real pairs, then ApplyPatch on 100 MiB"
      python3 "$here/qbdiff_bench.py" "$build"
      ;;
    update)
      section "make-update on real pairs, next to xdelta3, zstd and tar | xz"
      python3 "$here/make_update_bench.py" "$build"
      ;;
    updater)
      section "ensure_copy_recursive"
      "$here/updater_copy.sh" "$build"
      section "ApplyManifest"
      "$here/updater_manifest.sh" "$build"
      section "updater end to end"
      "$here/updater_e2e.sh" "$build"
      ;;
    *)
      echo "run.sh: unknown area '$area' (runtime, allocator, archive, patch, update, updater)" >&2
      exit 2
      ;;
  esac
done
