#!/usr/bin/env bash
# ensure_copy_recursive against `cp -a` on a tree of a few thousand files.
# Usage: bench/updater_copy.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
rounds=${2:-7}
. "$here/timing.sh"

# tmpfs by default: the disk of a shared machine makes both peers I/O-bound
# and the comparison noise; BENCH_WORK=/some/dir measures a real disk.
default_work=${TMPDIR:-/tmp}/vlm-bench-copy
[ -w /dev/shm ] && default_work=/dev/shm/vlm-bench-copy
work=${BENCH_WORK:-$default_work}
mkdir -p "$work"
src=$work/tree
if [ ! -d "$src" ]; then  # removed again at the end
  # A real-world tree: the Python library plus the kernel headers.
  mkdir -p "$src"
  cp -a /usr/lib/python3.11 "$src/python3.11"
  cp -a /usr/include/linux "$src/linux-headers"
fi
files=$(find "$src" -type f | wc -l)
BENCH_BYTES=$(du -sb --apparent-size "$src" | cut -f1)
export BENCH_BYTES
echo "tree: $files files, $((BENCH_BYTES / 1048576)) MiB (page cache warm; destination removed before each run)"

bench_reset() { rm -rf "$work/dst"; }
bench_rounds "$rounds" \
  "ensure_copy_recursive" "'$build/bench/updater_copy_tree' '$src' '$work/dst'" \
  "cp -a" "cp -a '$src' '$work/dst'"
rm -rf "$work"
