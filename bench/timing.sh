# Shared helpers for the benchmark scripts (sourced).
#
# bench_rounds ROUNDS LABEL1 CMD1 LABEL2 CMD2 ...: runs every command once per
# round, interleaved (so drift and cache state hit all peers alike), runs
# `bench_reset` before each command when defined, and prints one table row
# per command: median, min and max wall time in milliseconds, plus the
# median throughput when BENCH_BYTES is set.
bench_now_ns() { date +%s%N; }

bench_rounds() {
  local rounds=$1; shift
  local -a labels cmds
  while [ $# -gt 0 ]; do labels+=("$1"); cmds+=("$2"); shift 2; done
  local -A times
  local r i start end
  for ((r = 0; r < rounds; r++)); do
    for i in "${!cmds[@]}"; do
      if declare -F bench_reset >/dev/null; then bench_reset; fi
      start=$(bench_now_ns)
      eval "${cmds[$i]}" || { echo "bench: '${labels[$i]}' failed" >&2; return 1; }
      end=$(bench_now_ns)
      times[$i]+="$(( (end - start) / 1000 )) "
    done
  done
  printf '%-34s %10s %10s %10s %12s\n' "peer" "median ms" "min ms" "max ms" "MB/s"
  for i in "${!cmds[@]}"; do
    # shellcheck disable=SC2086
    read -r med min max < <(printf '%s\n' ${times[$i]} | sort -n |
      awk '{a[NR]=$1} END {m = (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2; print m, a[1], a[NR]}')
    local rate="-"
    if [ -n "${BENCH_BYTES:-}" ]; then
      rate=$(awk -v b="$BENCH_BYTES" -v us="$med" 'BEGIN {printf "%.1f", b / us}')
    fi
    printf '%-34s %10.1f %10.1f %10.1f %12s\n' "${labels[$i]}" \
      "$(awk -v x="$med" 'BEGIN{print x/1000}')" "$(awk -v x="$min" 'BEGIN{print x/1000}')" \
      "$(awk -v x="$max" 'BEGIN{print x/1000}')" "$rate"
  done
}
