#!/usr/bin/env bash
# Runs fuzz targets of a PARLEYVOX_FUZZ=ON build for a bounded time each, from the committed
# corpus, two at a time. New inputs go to BUILD/fuzz-work/<target>, never into the repository;
# an input that crashes, leaks, times out or breaks an invariant is kept as
# BUILD/artefacts/fuzz/<target>/crash-... (or leak-, timeout-, oom-), with the run's output in
# BUILD/artefacts/fuzz/<target>.log. The last line is "fuzz: N passed, M failed".
#
#   tests/fuzz/run_fuzz.sh BUILD [SECONDS] [TARGET...]     (default 60 s, every target)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run_fuzz.sh BUILD [SECONDS] [TARGET...]}
seconds=${2:-60}
shift $(( $# > 1 ? 2 : 1 ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(control udp ini http_answer command_line)
parallel=${PARLEYVOX_FUZZ_JOBS:-2}

run_one() {
  local target=$1 binary="$build/tests/fuzz/fuzz_$1"
  local work="$build/fuzz-work/$target" artefacts="$build/artefacts/fuzz/$target"
  local log="$build/artefacts/fuzz/$target.log"
  rm -rf "$work" && mkdir -p "$work" "$artefacts"
  local options=()
  [ -f "$here/$target.dict" ] && options+=(-dict="$here/$target.dict")
  # Control pieces and datagrams larger than the server's 4 KB packet and 8 KB datagram buffers.
  case $target in control | udp) options+=(-max_len=16384) ;; esac
  # libFuzzer checks its time limit between inputs; one input may take -timeout seconds, and
  # the outer limit only guards against a run that never ends.
  timeout --kill-after=10 $((seconds + 60)) "$binary" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artefacts/" "${options[@]}" \
    "$work" "$here/corpus/$target" >"$log" 2>&1
  local rc=$?
  local runs
  runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$')
  if [ $rc -eq 0 ]; then
    echo "fuzz $target: passed, ${runs:-?} inputs in ${seconds} s"
  else
    echo "fuzz $target: FAILED (exit $rc); artefacts in $artefacts, output in $log"
    grep -E 'INVARIANT FAILED|ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer)|runtime error|SUMMARY' "$log" | head -n 5
  fi
  return $rc
}

pass=0
fail=0
declare -A running=()
finish_one() {
  local pid
  wait -n -p pid "${!running[@]}"
  local rc=$?
  unset "running[$pid]"
  if [ $rc -eq 0 ]; then pass=$((pass + 1)); else fail=$((fail + 1)); fi
}
for target in "${targets[@]}"; do
  if [ ! -x "$build/tests/fuzz/fuzz_$target" ]; then
    echo "fuzz $target: FAILED (no binary $build/tests/fuzz/fuzz_$target)"
    fail=$((fail + 1))
    continue
  fi
  while [ ${#running[@]} -ge "$parallel" ]; do finish_one; done
  run_one "$target" &
  running[$!]=1
done
while [ ${#running[@]} -gt 0 ]; do finish_one; done
echo "fuzz: $pass passed, $fail failed"
[ $fail -eq 0 ]
