#!/usr/bin/env bash
# Runs pvbench against a fresh pvserver: the server binary is copied into a temporary folder
# with a pvserver.ini of its own (127.0.0.1 only, MaxClients 255, two rooms for --churn),
# started pinned to one core, and pvbench runs pinned to the other with the server's PID (its
# CPU time and resident set are read from /proc). The server is stopped (by its own PID) at the
# end.
#
#   tools/pvbench/run_bench.sh BUILD_DIR [pvbench options...]
#   SERVER_CPU=1 BENCH_CPU=0 tools/pvbench/run_bench.sh build-rel --clients 64 --talkers 64
set -euo pipefail

build=${1:?usage: run_bench.sh BUILD_DIR [pvbench options...]}
shift
server_cpu=${SERVER_CPU:-1}
bench_cpu=${BENCH_CPU:-0}
build=$(cd "$build" && pwd)
[ -x "$build/pvserver" ] && [ -x "$build/tools/pvbench/pvbench" ] || { echo "build $build first" >&2; exit 1; }

dir=$(mktemp -d /tmp/pvbench_XXXXXX)
server_pid=
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid"
    # Bounded: the server stops within a few seconds of SIGTERM.
    for _ in $(seq 100); do
      state=$(awk '{print $3}' "/proc/$server_pid/stat" 2>/dev/null || echo gone)
      [ "$state" = gone ] || [ "$state" = Z ] && break
      sleep 0.1
    done
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT

cp "$build/pvserver" "$dir/"
started=
for attempt in 1 2 3 4 5; do
  port=$((20000 + (RANDOM % 20000) * 2))
  printf '[Version]\r\nServerVersion=v1.2.2\r\n[General]\r\nMaxClients=255\r\n[Channels]\r\n0=Lobby\r\n1=Side\r\n[Networking]\r\nIP=127.0.0.1\r\nTCPPort=%d\r\n' \
    "$port" >"$dir/pvserver.ini"
  rm -f "$dir/pvserver.log"
  (cd "$dir" && exec taskset -c "$server_cpu" ./pvserver) >/dev/null 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    if grep -q -- "----Parleyvox server started----" "$dir/pvserver.log" 2>/dev/null; then started=1; break; fi
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$started" ] && break
  # Most likely the port was taken: the server ends with "Unable to initialize communication".
  kill -TERM "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=
done
[ -n "$started" ] || { echo "the server did not start; its log:" >&2; cat "$dir/pvserver.log" >&2 || true; exit 1; }

echo "server pid $server_pid on cpu $server_cpu, port $port; pvbench on cpu $bench_cpu"
status=0
taskset -c "$bench_cpu" "$build/tools/pvbench/pvbench" --port "$port" --pid "$server_pid" "$@" || status=$?
exit $status
