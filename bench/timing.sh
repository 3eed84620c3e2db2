# Shared helpers for the benchmark scripts (sourced).
#
# bench_rounds ROUNDS LABEL1 CMD1 LABEL2 CMD2 ...: runs every command once per
# round, interleaved (so drift and cache state hit all peers alike), runs
# `bench_reset` before each command when defined (not timed), and prints one
# row per command: median, min and max wall time, the median CPU time (user +
# system: on a shared machine the wall time mostly measures the neighbours)
# and the median peak RSS, plus the median throughput over wall time when
# BENCH_BYTES is set.
bench_rounds() {
  local rounds=$1; shift
  local -a labels cmds
  while [ $# -gt 0 ]; do labels+=("$1"); cmds+=("$2"); shift 2; done
  local -A wall cpu rss
  local r i start end tf
  tf=$(mktemp)
  for ((r = 0; r < rounds; r++)); do
    for i in "${!cmds[@]}"; do
      if declare -F bench_reset >/dev/null; then bench_reset; fi
      start=$(date +%s%N)
      /usr/bin/time -f '%U %S %M' -o "$tf" bash -c "${cmds[$i]}" ||
        { echo "bench: '${labels[$i]}' failed" >&2; rm -f "$tf"; return 1; }
      end=$(date +%s%N)
      wall[$i]+="$(( (end - start) / 1000 )) "
      read -r user sys kb < "$tf"
      cpu[$i]+="$(awk -v u="$user" -v s="$sys" 'BEGIN{printf "%d", (u + s) * 1000000}') "
      rss[$i]+="$kb "
    done
  done
  rm -f "$tf"
  median() { printf '%s\n' $1 | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
  printf '%-26s %10s %9s %9s %10s %9s %9s\n' "peer" "median ms" "min ms" "max ms" "cpu ms" "peak MiB" "MB/s"
  for i in "${!cmds[@]}"; do
    local sorted med min max c m rate="-"
    sorted=$(printf '%s\n' ${wall[$i]} | sort -n)
    med=$(median "${wall[$i]}"); min=$(echo "$sorted" | head -1); max=$(echo "$sorted" | tail -1)
    c=$(median "${cpu[$i]}"); m=$(median "${rss[$i]}")
    if [ -n "${BENCH_BYTES:-}" ]; then
      rate=$(awk -v b="$BENCH_BYTES" -v us="$med" 'BEGIN {printf "%.1f", b / us}')
    fi
    awk -v l="${labels[$i]}" -v med="$med" -v min="$min" -v max="$max" -v c="$c" -v m="$m" -v r="$rate" \
      'BEGIN {printf "%-26s %10.1f %9.1f %9.1f %10.1f %9.1f %9s\n", l, med/1000, min/1000, max/1000, c/1000, m/1024, r}'
  done
}
