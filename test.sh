#!/usr/bin/env bash
# Builds and runs every test three times: in a normal build (with the desktop shell when Qt 6
# is there, which this script installs), in a build without the desktop shell, and in an
# AddressSanitizer + UndefinedBehaviorSanitizer build. Exits non-zero on any failure; the last
# line is the summary.
set -uo pipefail
cd "$(dirname "$0")"

source tools/packages.sh
need=()
missing_build_packages need
[ -e /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
# The Prometheus client library, whose parser reads /metrics in the tests.
/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null || need+=(python3-prometheus-client)
# The desktop shell and its tests: Qt 6 Widgets, an X server, a tray host, xdotool and the X
# tools to read windows back, ImageMagick's import for screenshots and tesseract to read text.
need_desktop=()
dpkg-query -W -f='${Status}' qt6-base-dev 2>/dev/null | grep -q "ok installed" || need_desktop+=(qt6-base-dev)
command -v Xvfb >/dev/null || need_desktop+=(xvfb)
command -v trayer >/dev/null || need_desktop+=(trayer)
command -v xdotool >/dev/null || need_desktop+=(xdotool)
command -v xwininfo >/dev/null && command -v xprop >/dev/null && command -v xdpyinfo >/dev/null ||
  need_desktop+=(x11-utils)
command -v import >/dev/null || need_desktop+=(imagemagick)
command -v tesseract >/dev/null || need_desktop+=(tesseract-ocr)
# A real browser renders the monitoring status page (headless, screenshot in build*/artefacts).
command -v chromium >/dev/null || need_desktop+=(chromium)
if [ ${#need[@]} -gt 0 ]; then
  install_packages "test packages" "${need[@]}" || exit 1
fi
if [ ${#need_desktop[@]} -gt 0 ]; then
  install_packages "desktop test packages" --no-install-recommends "${need_desktop[@]}" || exit 1
fi

jobs=$(nproc)
total_pass=0
total_fail=0
status=0

run_suite() {
  local dir=$1; shift
  echo "== building $dir"
  if ! cmake -S . -B "$dir" -G Ninja -DPARLEYVOX_WERROR=ON "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; status=1; total_fail=$((total_fail + 1)); return
  fi
  if ! cmake --build "$dir" -j "$jobs"; then
    status=1; total_fail=$((total_fail + 1)); return
  fi
  echo "== testing $dir"
  local log="$dir/ctest.log"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300) 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line pass fail
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    fail=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    pass=$(( $(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line") - fail ))
    total_pass=$((total_pass + pass)); total_fail=$((total_fail + fail))
  else
    total_fail=$((total_fail + 1))
  fi
  [ "$rc" -eq 0 ] || status=1
}

mkdir -p build-tests build-asan build-headless
run_suite build-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The server as built on a machine without Qt: no desktop shell, no Qt or X library needed.
run_suite build-headless -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARLEYVOX_DESKTOP=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DPARLEYVOX_SANITIZE=ON

echo "tests: $total_pass passed, $total_fail failed"
exit $status
