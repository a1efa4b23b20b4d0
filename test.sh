#!/usr/bin/env bash
# Builds and runs every test four times: in a normal build (with the desktop shell when Qt 6
# is there, which this script installs), in a build without the desktop shell, in an
# AddressSanitizer + UndefinedBehaviorSanitizer build, and in a clang build that checks the lock
# annotations (-Wthread-safety as errors) and runs the unit and end-to-end tests under
# ThreadSanitizer (without the desktop shell and its tests); then builds the Debian package and
# checks it (packaging/check-package.sh); then runs every fuzz target for a bounded time in a
# clang build (PARLEYVOX_FUZZ_SECONDS each, 60 by default; 0 leaves the fuzz leg out). Exits
# non-zero on any failure; the last line is the summary.
set -uo pipefail
cd "$(dirname "$0")"

source tools/packages.sh
need=()
missing_build_packages need
missing_package_tools need
# The HTTPS tests make their certificates with the openssl command.
command -v openssl >/dev/null || need+=(openssl)
[ -e /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
# The Prometheus client library, whose parser reads /metrics in the tests.
/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null || need+=(python3-prometheus-client)
# The lock-discipline build and the fuzz leg: clang 14 with its ThreadSanitizer and libFuzzer
# runtimes.
fuzz_seconds=${PARLEYVOX_FUZZ_SECONDS:-60}
command -v clang++-14 >/dev/null || need+=(clang-14)
compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.tsan-x86_64.a" >/dev/null &&
  compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null ||
  need+=(libclang-rt-14-dev)
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

# Adds the counts of the last "NAME: N passed, M failed" line of LOG to the totals; a log
# without one counts as one failure.
add_counts() {
  local name=$1 log=$2 line
  line=$(grep -E "^$name: [0-9]+ passed, [0-9]+ failed$" "$log" | tail -n 1)
  if [ -n "$line" ]; then
    total_pass=$((total_pass + $(sed -E "s/^$name: ([0-9]+) passed.*/\\1/" <<<"$line")))
    total_fail=$((total_fail + $(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$line")))
  else
    total_fail=$((total_fail + 1))
  fi
}

mkdir -p build-tests build-asan build-headless build-tsan
run_suite build-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The server as built on a machine without Qt: no desktop shell, no Qt or X library needed.
run_suite build-headless -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARLEYVOX_DESKTOP=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DPARLEYVOX_SANITIZE=ON
# ThreadSanitizer maps its shadow memory at fixed places; with more address randomisation than
# clang 14's runtime knows, it cannot start.
if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 28)" -gt 28 ]; then
  sysctl -qw vm.mmap_rnd_bits=28 || echo "warning: vm.mmap_rnd_bits above 28: ThreadSanitizer may not start" >&2
fi
# Any race report fails the test that saw it (the servers the tests start report on exit, and a
# report makes their exit code non-zero).
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DPARLEYVOX_DESKTOP=OFF -DPARLEYVOX_TSAN=ON

# The package: a Release build, cpack, and its checks with the headless build's e2e_tests.
echo "== packaging"
if deb=$(packaging/build-deb.sh build-package | tail -n 1) && [ -f "$deb" ]; then
  packaging/check-package.sh "$deb" build-headless/e2e_tests 2>&1 | tee build-package/check.log
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  add_counts package build-package/check.log
else
  echo "building the package failed"; status=1; total_fail=$((total_fail + 1))
fi

# The fuzz leg: each target from its committed corpus for a bounded time, two at a time; a
# finding fails its target and stays in build-fuzz/artefacts/fuzz/.
if [ "$fuzz_seconds" != 0 ]; then
  echo "== building build-fuzz"
  if CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DPARLEYVOX_WERROR=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARLEYVOX_FUZZ=ON -DPARLEYVOX_TESTS=OFF -DPARLEYVOX_DESKTOP=OFF \
      >build-fuzz.configure.log 2>&1 && cmake --build build-fuzz -j "$jobs"; then
    echo "== fuzzing build-fuzz, $fuzz_seconds s per target"
    tests/fuzz/run_fuzz.sh build-fuzz "$fuzz_seconds" | tee build-fuzz.log
    [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
    add_counts fuzz build-fuzz.log
  else
    cat build-fuzz.configure.log; status=1; total_fail=$((total_fail + 1))
  fi
fi

echo "tests: $total_pass passed, $total_fail failed"
exit $status
