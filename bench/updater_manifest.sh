#!/usr/bin/env bash
# ApplyManifest of a generated update (a few thousand files: patches, adds,
# removes) next to `cp -a` of the new tree and `xz -dc` of the same entries.
# Usage: bench/updater_manifest.sh [BUILD_DIR] [ROUNDS] [FILES]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
rounds=${2:-7}
files=${3:-3000}
. "$here/timing.sh"

# tmpfs by default, as in updater_copy.sh; BENCH_WORK=/dir for a real disk.
default_work=${TMPDIR:-/tmp}/vlm-bench-manifest
[ -w /dev/shm ] && default_work=/dev/shm/vlm-bench-manifest
work=${BENCH_WORK:-$default_work}
"$here/make_update_tree.py" "$build" "$work/gen" "$files"
gen=$work/gen
echo "new tree: $(find "$gen/new" -type f | wc -l) files, $(du -sm --apparent-size "$gen/new" | cut -f1) MiB;" \
     "archive $(du -sk "$gen/update.upq" | cut -f1) KiB"

bench_reset() {
  rm -rf "$work/inst" "$work/working" "$work/copy" "$work/xz.out"
  cp -a "$gen/old" "$work/inst"
  mkdir -p "$work/working"
}
bench_rounds "$rounds" \
  "ApplyManifest" "'$build/bench/updater_apply_manifest' '$gen/update.upq' '$work/inst' '$work/working'" \
  "cp -a (new tree)" "cp -a '$gen/new' '$work/copy'" \
  "xz -dc (same entries)" "xz -dc '$gen'/xz/*.xz > '$work/xz.out'"

# The result must be the new tree.
bench_reset
"$build/bench/updater_apply_manifest" "$gen/update.upq" "$work/inst" "$work/working"
if diff -r "$work/inst" "$gen/new" >/dev/null; then
  echo "check: the updated tree equals the new tree"
else
  echo "check: FAILED, the updated tree differs from the new tree" >&2
  exit 1
fi
rm -rf "$work"
