#!/usr/bin/env bash
# End-to-end updater runs next to their peers, in interleaved rounds:
#   updater (normal)  apply update.upq to a copy of the old installation
#   updater (staged)  the same into a staged copy (includes copying the tree)
#   xz -dc            decode every archive entry (concatenated .xz streams of
#                     the same bytes) and write them to one file
#   cp -a             copy the old installation tree
# Fixtures: two releases of a real npm package (fetched once into
# bench/cache/) and a generated installation of BENCH_GEN_MB megabytes
# (default 100; BENCH_GEN_MB=500 for the full-size run, which takes several
# minutes to build its archive). BENCH_FIXTURES="npm generated" picks the
# fixtures (default both). BENCH_UPDATER_BASELINE=/path/to/updater adds that
# build's normal update to the same rounds (to compare two builds: the cost
# of a change). Prints medians with min and max, in seconds.
# usage: bench/updater_e2e.sh BUILD_DIR [ROUNDS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
rounds=${2:-5}
gen_mb=${BENCH_GEN_MB:-100}
updater=$build/updater/updater
upq=$build/tools/upq
make_update=$build/tools/make-update
cache=$here/cache
work=$(mktemp -d "${TMPDIR:-/tmp}/updater-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
elapsed() { python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.4f}')" "$@"; }
stats() {  # median min max of the numbers given
  python3 -c "import statistics, sys; v = sorted(map(float, sys.argv[1:]));
print(f'{statistics.median(v):8.3f} {v[0]:8.3f} {v[-1]:8.3f}')" "$@"
}

# Generated installation: slices of the machine's shared libraries (realistic
# compressibility) in files of 64 KiB to 4 MiB. The new version keeps a third,
# rewrites a third and replaces a third with new files.
generate() {
  python3 - "$1" "$2" "$gen_mb" <<'PY'
import glob, os, random, sys
old, new, megabytes = sys.argv[1], sys.argv[2], int(sys.argv[3])
sources = sorted(p for p in glob.glob("/usr/lib/x86_64-linux-gnu/*.so*") if os.path.isfile(p))
pool = b"".join(open(p, "rb").read() for p in sources[:400])
rng = random.Random(7)
def chunk(size):
    start = rng.randrange(0, len(pool) - size)
    return pool[start:start + size]
total, i = 0, 0
while total < megabytes << 20:
    size = rng.choice([64, 256, 1024, 4096]) << 10
    rel = f"lib{i % 16}/part{i}.bin"
    data = chunk(size)
    for root in (old, new):
        os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
    open(os.path.join(old, rel), "wb").write(data)
    kind = i % 3
    if kind == 0:
        open(os.path.join(new, rel), "wb").write(data)
    elif kind == 1:
        open(os.path.join(new, rel), "wb").write(chunk(size))
    else:
        open(os.path.join(new, f"lib{i % 16}/next{i}.bin"), "wb").write(chunk(size))
    total += size
    i += 1
PY
}

# Concatenated .xz streams of every archive entry: what the updater decodes.
entries_xz() {
  local archive=$1 out=$2 dir
  dir=$(mktemp -d "$work/entries.XXXXXX")
  "$upq" -x "$archive" -C "$dir" >/dev/null
  (cd "$dir" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 cat) | xz -6 -T2 -c >"$out"
  rm -rf "$dir"
}

run_fixture() {
  local name=$1 old=$2 new=$3 mode=$4
  local fixture=$work/$name
  mkdir -p "$fixture/patch"
  "$make_update" $mode "$old" "$new" "$fixture/patch/update.upq" >/dev/null
  entries_xz "$fixture/patch/update.upq" "$fixture/entries.xz"
  local size
  size=$(du -sm "$old" | cut -f1)
  local normal=() staged=() xzdc=() cpa=() sum=() baseline=()
  for ((r = 0; r < rounds; r++)); do
    if [ -n "${BENCH_UPDATER_BASELINE:-}" ]; then
      rm -rf "$fixture/inst" "$fixture/work" && cp -a "$old" "$fixture/inst"
      sync
      t0=$(now)
      "$BENCH_UPDATER_BASELINE" "$fixture/patch" "$fixture/inst" "$fixture/work" || exit 1
      t1=$(now)
      baseline+=("$(elapsed "$t0" "$t1")")
    fi
    rm -rf "$fixture/inst" "$fixture/work" && cp -a "$old" "$fixture/inst"
    sync
    t0=$(now); "$updater" "$fixture/patch" "$fixture/inst" "$fixture/work" || exit 1; t1=$(now)
    normal+=("$(elapsed "$t0" "$t1")")

    rm -rf "$fixture/inst" && cp -a "$old" "$fixture/inst" && sync
    t0=$(now); "$updater" "$fixture/patch" "$fixture/inst" "$fixture/inst/updated" -1 || exit 1
    t1=$(now)
    staged+=("$(elapsed "$t0" "$t1")")

    rm -f "$fixture/decoded"; sync
    t0=$(now); xz -dc -T1 "$fixture/entries.xz" >"$fixture/decoded"; t1=$(now)
    xzdc+=("$(elapsed "$t0" "$t1")")
    rm -rf "$fixture/copy"; sync
    t0=$(now); cp -a "$old" "$fixture/copy"; t2=$(now)
    cpa+=("$(elapsed "$t1" "$t2")")
    sum+=("$(python3 -c "print(${xzdc[-1]} + ${cpa[-1]})")")
  done
  local m_normal m_xz m_staged m_sum
  printf '%-28s %6s MB  %s  %s  %s  %s\n' "$name" "$size" "$(stats "${normal[@]}")" \
    "$(stats "${staged[@]}")" "$(stats "${xzdc[@]}")" "$(stats "${cpa[@]}")"
  m_normal=$(stats "${normal[@]}" | awk '{print $1}')
  m_staged=$(stats "${staged[@]}" | awk '{print $1}')
  m_xz=$(stats "${xzdc[@]}" | awk '{print $1}')
  m_sum=$(stats "${sum[@]}" | awk '{print $1}')
  printf '%-28s normal / xz -dc = %.2f   staged / (xz -dc + cp -a) = %.2f\n' "" \
    "$(python3 -c "print($m_normal / $m_xz)")" "$(python3 -c "print($m_staged / $m_sum)")"
  if [ -n "${BENCH_UPDATER_BASELINE:-}" ]; then
    local m_base
    m_base=$(stats "${baseline[@]}" | awk '{print $1}')
    printf '%-28s baseline (normal) %s   normal / baseline = %.3f\n' "" \
      "$(stats "${baseline[@]}")" "$(python3 -c "print($m_normal / $m_base)")"
  fi
}

echo "updater end to end, $rounds interleaved rounds; seconds as median min max"
printf '%-28s %9s  %-26s  %-26s  %-26s  %-26s\n' fixture size "updater (normal)" \
  "updater (staged)" "xz -dc (entries)" "cp -a (tree)"

fixtures=${BENCH_FIXTURES:-npm generated}
if [[ " $fixtures " != *" npm "* ]]; then
  :
elif dirs=$("$here/../tests/fetch-npm-pair.sh" "$cache" typescript 5.3.3 5.4.5); then
  run_fixture "typescript 5.3.3 -> 5.4.5" "$(sed -n 1p <<<"$dirs")" "$(sed -n 2p <<<"$dirs")" ""
else
  echo "typescript pair: skipped (cannot fetch; offline?)"
fi

if [[ " $fixtures " == *" generated "* ]]; then
  mkdir -p "$work/gen-old" "$work/gen-new"
  generate "$work/gen-old" "$work/gen-new"
  run_fixture "generated (complete)" "$work/gen-old" "$work/gen-new" --complete
fi
