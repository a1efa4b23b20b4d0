#!/usr/bin/env bash
# Builds the server in Release and runs build/pvserver in the foreground with the given arguments.
# On a fresh Debian 12 machine (as root) it first installs the build packages that are missing.
set -euo pipefail
cd "$(dirname "$0")"

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
[ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -e /usr/include/zlib.h ] || need+=(zlib1g-dev)
[ -e /usr/include/httplib.h ] || need+=(libcpp-httplib-dev)
command -v pkg-config >/dev/null || need+=(pkg-config)
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing build packages: ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi

# The server itself needs no desktop: the tray shell is built only when Qt 6 Widgets is installed
# (PARLEYVOX_DESKTOP=AUTO); PARLEYVOX_DESKTOP=OFF ./run.sh builds the headless server alone.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARLEYVOX_TESTS=OFF \
  -DPARLEYVOX_DESKTOP="${PARLEYVOX_DESKTOP:-AUTO}" >/dev/null
cmake --build build --target pvserver
exec build/pvserver "$@"
