#!/usr/bin/env bash
# Runs run_bench.sh as one interleaved series: ROUNDS times, for each build in turn, a quiet run
# and a hostile one (--stalled 2 --churn 20, or HOSTILE). Prints a line per run as it ends, then
# per build the medians of its quiet and hostile runs (server µs per relayed datagram, with the
# runs in brackets) and their ratio. The machine is shared: compare builds only within a series,
# and look at the "others" column (CPU other processes took, % of a core) before trusting a run.
#
#   tools/pvbench/run_series.sh ROUNDS BUILD_DIR [BUILD_DIR...] [-- pvbench options...]
#   HOSTILE="--stalled 4" tools/pvbench/run_series.sh 3 build-rel build-old -- --duration 15
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
rounds=${1:?usage: run_series.sh ROUNDS BUILD_DIR [BUILD_DIR...] [-- pvbench options...]}
shift
builds=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do builds+=("$1"); shift; done
[ $# -gt 0 ] && shift
[ ${#builds[@]} -gt 0 ] || { echo "name at least one build folder" >&2; exit 1; }
read -r -a hostile <<<"${HOSTILE:---stalled 2 --churn 20}"
results=$(mktemp /tmp/pvbench_series_XXXXXX)
trap 'rm -f "$results"' EXIT

# The n-th number (default the first) of what `pattern` matches in a report, or "-" when it
# matches nothing.
figure() { grep -oE "$1" <<<"$2" | head -n 1 | grep -oE '[0-9.]+' | head -n "${3:-1}" | tail -n 1 || echo -; }

printf '%-5s %-20s %-7s %9s %9s %9s %8s %8s %8s %6s\n' round build run 'µs/dgram' relaying 'other s' 'loss %' 'p99 µs' 'gap ms' others
for round in $(seq "$rounds"); do
  for build in "${builds[@]}"; do
    for run in quiet hostile; do
      extra=()
      [ "$run" = hostile ] && extra=("${hostile[@]}")
      report=$("$here/run_bench.sh" "$build" "${extra[@]}" "$@" 2>&1) || { echo "$report" >&2; exit 1; }
      us=$(figure '[0-9.]+ us per relayed datagram \(' "$report")
      printf '%-5s %-20s %-7s %9s %9s %9s %8s %8s %8s %6s\n' "$round" "$(basename "$build")" "$run" "$us" \
        "$(figure 'relaying threads [0-9.]+ s, [0-9.]+ us' "$report" 2)" \
        "$(figure 'other threads [0-9.]+ s' "$report")" "$(figure 'loss +[0-9.]+ %' "$report")" \
        "$(figure 'p99 [0-9]+ us' "$report" 2)" "$(figure 'max [0-9.]+ ms, median' "$report")" \
        "$(figure 'meanwhile \([0-9]+ %' "$report")"
      echo "$build $run $us" >>"$results"
    done
  done
done

echo
for build in "${builds[@]}"; do
  awk -v build="$build" '
    function median(list, n,   sorted, i, j, t) {
      for (i = 1; i <= n; ++i) sorted[i] = list[i]
      for (i = 1; i <= n; ++i) for (j = i + 1; j <= n; ++j) if (sorted[j] < sorted[i]) { t = sorted[i]; sorted[i] = sorted[j]; sorted[j] = t }
      return n % 2 ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
    }
    function runs(list, n,   i, s) { for (i = 1; i <= n; ++i) s = s (i > 1 ? " / " : "") sprintf("%.2f", list[i]); return s }
    $1 == build && $3 != "-" { if ($2 == "quiet") q[++nq] = $3 + 0; else h[++nh] = $3 + 0 }
    END {
      if (nq == 0 || nh == 0) { printf "%s: no figures\n", build; exit }
      mq = median(q, nq); mh = median(h, nh)
      printf "%s: quiet %.2f (%s), hostile %.2f (%s) µs per relayed datagram: %.2f times\n", build, mq, runs(q, nq), mh, runs(h, nh), mh / mq
    }' "$results"
done
