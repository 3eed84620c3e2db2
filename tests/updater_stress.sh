#!/usr/bin/env bash
# The real updater, ended at random moments: an installation of a few
# hundred files is updated with make-update's archive, and
#   kill -9   at a random moment, then the same update again: the tree must
#             be exactly the new one;
#   SIGTERM   at a random moment: the tree must be exactly the old one
#             ("failed: 90") or the new one (the run had finished);
#   two at once: one applies, the other exits 1 and writes nothing.
# Prints the counts and "N passed, N failed".
# usage: tests/updater_stress.sh BUILD_DIR [ROUNDS] [FILES]
set -uo pipefail
build=$(cd "${1:-build}" && pwd)
rounds=${2:-10}
files=${3:-300}
updater=$build/updater/updater
make_update=$build/tools/make-update
work=$(mktemp -d "${TMPDIR:-/tmp}/updater-stress.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 - "$work/old" "$work/new" "$files" <<'PY'
import os, random, sys
old, new, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
rng = random.Random(7)
for i in range(count):
    rel = f"d{i % 17}/s{i % 5}/f{i}.bin"
    data = bytes(rng.getrandbits(8) for _ in range(rng.randint(100, 6000)))
    for root in (old, new):
        os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
    with open(os.path.join(old, rel), "wb") as f:
        f.write(data)
    kind = i % 4
    if kind == 0:
        continue  # removed
    if kind == 1:
        data = data[: len(data) // 2] + b"changed" + data[len(data) // 2 :]  # patched or added
    with open(os.path.join(new, rel), "wb") as f:
        f.write(data)
# A file that becomes a directory, and new files in a new directory.
with open(os.path.join(old, "shape"), "wb") as f:
    f.write(b"file")
os.makedirs(os.path.join(new, "shape"))
with open(os.path.join(new, "shape", "inner"), "wb") as f:
    f.write(b"inner")
os.makedirs(os.path.join(new, "fresh", "deep"))
for i in range(40):
    with open(os.path.join(new, "fresh", "deep", f"n{i}"), "wb") as f:
        f.write(os.urandom(2000))
PY
"$make_update" "$work/old" "$work/new" "$work/update.upq" >/dev/null || exit 1

digest() {  # the whole tree: paths, types, modes, contents
  (cd "$1" && find . -path ./updates -prune -o -printf '%p %y %m\n' | LC_ALL=C sort &&
    find . -path ./updates -prune -o -type f -print0 | LC_ALL=C sort -z |
    xargs -0 -r sha1sum) | sha1sum
}
old_digest=$(digest "$work/old")
new_digest=$(digest "$work/new")

fresh() {  # a copy of the old installation with the update downloaded
  rm -rf "$work/inst" "$work/work"
  cp -a "$work/old" "$work/inst"
  mkdir -p "$work/inst/updates/0"
  cp "$work/update.upq" "$work/inst/updates/0/"
}
args=("$work/inst/updates/0" "$work/inst" "$work/work")
run() { "$updater" "${args[@]}"; }

passed=0 failed=0
check() {  # check NAME CONDITION...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name"; fi
}
is_digest() { [ "$(digest "$work/inst")" = "$1" ]; }
no_leftovers() {
  [ -z "$(find "$work/inst" -name '*.vlm-backup' -o -name '.vlm-update-record*' | head -1)" ]
}

# How long one undisturbed run takes, to spread the kills over it.
fresh
start=$(date +%s.%N)
run >/dev/null 2>&1
span=$(python3 -c "import sys; print(max(0.05, float(sys.argv[2]) - float(sys.argv[1])))" \
  "$start" "$(date +%s.%N)")
check "undisturbed run" is_digest "$new_digest"
# The moments to end the runs at, drawn at once (a python start per draw
# would take longer than a run).
read -r -a delays < <(python3 -c "import random, sys
print(' '.join(f'{random.uniform(0, float(sys.argv[1])):.4f}' for _ in range(3 * int(sys.argv[2]))))" \
  "$span" "$rounds")
next_delay=0
# Starts a run on a fresh installation and sends it signal $1 at the next
# drawn moment (sets pid); fails when the run had ended already.
signal_run() {
  fresh
  "$updater" "${args[@]}" >/dev/null 2>&1 &
  pid=$!
  sleep "${delays[next_delay]}"
  next_delay=$((next_delay + 1))
  kill "-$1" "$pid" 2>/dev/null
}

killed=0 finished=0
for ((i = 0; i < rounds; i++)); do
  if signal_run KILL; then killed=$((killed + 1)); else finished=$((finished + 1)); fi
  wait "$pid" 2>/dev/null
  if [ "$(cat "$work/inst/updates/0/update.status" 2>/dev/null)" != "succeeded" ]; then
    run >/dev/null 2>&1
  fi
  check "kill -9 round $i, then run again" is_digest "$new_digest"
  check "kill -9 round $i leaves no backup or record" no_leftovers
done

stopped=0 completed=0
for ((i = 0; i < rounds; i++)); do
  signal_run TERM
  wait "$pid"
  status=$(cat "$work/inst/updates/0/update.status" 2>/dev/null)
  if [ "$status" = "failed: 90" ] || [ -z "$status" ]; then
    # Rolled back, or ended before it began (the default action of the
    # signal, before the updater's handler was installed).
    stopped=$((stopped + 1))
    check "SIGTERM round $i rolled back" is_digest "$old_digest"
  else
    completed=$((completed + 1))
    check "SIGTERM round $i finished ($status)" is_digest "$new_digest"
  fi
  check "SIGTERM round $i leaves no backup or record" no_leftovers
done

refused=0
for ((i = 0; i < rounds; i++)); do
  fresh
  "$updater" "${args[@]}" >"$work/out1" 2>&1 &
  first=$!
  "$updater" "${args[@]}" >"$work/out2" 2>&1 &
  second=$!
  wait "$first"; rc1=$?
  wait "$second"; rc2=$?
  if grep -q "Another updater is already running" "$work/out1" "$work/out2"; then
    refused=$((refused + 1))
  fi
  check "two at once round $i: the new tree" is_digest "$new_digest"
  check "two at once round $i: one run succeeded" [ "$rc1" = 0 -o "$rc2" = 0 ]
done

echo "one run: ${span} s; kill -9: $killed killed mid-run, $finished finished first; SIGTERM: $stopped rolled back, $completed finished; two at once: $refused refused"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
