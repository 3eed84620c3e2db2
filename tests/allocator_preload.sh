#!/usr/bin/env bash
# Runs real programs on the preload allocator and compares their output with
# a run on the C library's allocator.
#
# usage: allocator_preload.sh LIBVLMALLOC {python|git|sort}
set -euo pipefail
lib=$1
what=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Runs "$@" twice, without and with the preload library; both must exit 0
# with the same output.
same_output() {
  "$@" >plain.out 2>&1 || { echo "plain run failed: $*"; cat plain.out; exit 1; }
  LD_PRELOAD="$lib" "$@" >preload.out 2>&1 || {
    echo "preloaded run failed: $*"; cat preload.out; exit 1; }
  if ! cmp -s plain.out preload.out; then
    echo "output differs: $*"
    diff plain.out preload.out | head -20
    exit 1
  fi
}

case "$what" in
  python)
    # The preload library really serves the interpreter's allocations.
    LD_PRELOAD="$lib" python3 - <<'PY'
import ctypes
class Stats(ctypes.Structure):
    _fields_ = [("f1", ctypes.c_bool), ("f2", ctypes.c_bool)] + \
               [(n, ctypes.c_size_t) for n in ("arenas", "quantum", "qmax", "lmax",
                "chunk", "page", "dirty_limit", "mapped", "allocated", "waste",
                "dirty", "bookkeeping", "bin_unused")]
s = Stats()
ctypes.CDLL(None).vlmheap_stats(ctypes.byref(s))
assert s.arenas >= 1 and s.allocated > 1000000 and s.chunk == 1048576, s.allocated
PY
    cat >work.py <<'PY'
import random
random.seed(7)
d = {}
for i in range(60000):
    d["k%d" % i] = [str(i) * (i % 17), i * 3.5, {"x": i}]
for i in range(0, 60000, 3):
    del d["k%d" % i]
words = ["".join(random.choice("abcdefgh") for _ in range(random.randint(1, 40)))
         for _ in range(50000)]
words.sort()
text = " ".join(words)
parts = text.split(" ")
big = [bytearray(random.randint(1, 300000)) for _ in range(100)]
print(len(d), sum(len(v[0]) for v in d.values()), len(parts), words[:3], words[-3:],
      sum(len(b) for b in big), hash(tuple(sorted(d)[:10])) != 0)
PY
    same_output python3 work.py
    ;;
  git)
    export GIT_AUTHOR_NAME=a GIT_AUTHOR_EMAIL=a@example.com GIT_COMMITTER_NAME=a
    export GIT_COMMITTER_EMAIL=a@example.com GIT_AUTHOR_DATE="2020-01-01T00:00:00Z"
    export GIT_COMMITTER_DATE="2020-01-01T00:00:00Z" HOME="$work" GIT_CONFIG_NOSYSTEM=1
    for run in plain preload; do
      mkdir "repo-$run"
      (
        cd "repo-$run"
        if [ "$run" = preload ]; then export LD_PRELOAD="$lib"; fi
        git init -q -b main .
        for c in 1 2 3 4 5; do
          for f in $(seq 1 40); do
            seq $((f * c)) $((f * c + 200 + c)) >"file$f.txt"
          done
          git add -A
          git commit -q -m "commit $c"
        done
        git log --stat --format='%H %s'
        git diff HEAD~3 HEAD | sha1sum
        git gc -q
        git fsck --full 2>&1
        git count-objects -v | grep -v size
      ) >"$run.out" 2>&1 || { echo "git run failed ($run)"; cat "$run.out"; exit 1; }
    done
    cmp plain.out preload.out || { diff plain.out preload.out | head; exit 1; }
    ;;
  sort)
    awk 'BEGIN { srand(3); for (i = 0; i < 300000; i++) printf "%d %s\n", int(rand() * 1e9), substr("qwertyuiopasdfghjkl", 1 + i % 13) }' >input.txt
    same_output sort input.txt
    same_output sort -n -r input.txt
    same_output sort -u -k2 input.txt
    ;;
  *)
    echo "unknown program: $what"
    exit 2
    ;;
esac
echo "ok: $what on the preload allocator"
