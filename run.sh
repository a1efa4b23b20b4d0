#!/usr/bin/env bash
# Builds the server in Release and runs build/pvserver in the foreground with the given arguments.
# On a fresh Debian 12 machine (as root) it first installs the build packages that are missing.
set -euo pipefail
cd "$(dirname "$0")"

source tools/packages.sh
need=()
missing_build_packages need
if [ ${#need[@]} -gt 0 ]; then
  install_packages "build packages" "${need[@]}"
fi

# The server itself needs no desktop: the tray shell is built only when Qt 6 Widgets is installed
# (PARLEYVOX_DESKTOP=AUTO); PARLEYVOX_DESKTOP=OFF ./run.sh builds the headless server alone.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARLEYVOX_TESTS=OFF \
  -DPARLEYVOX_DESKTOP="${PARLEYVOX_DESKTOP:-AUTO}" >/dev/null
cmake --build build --target pvserver
exec build/pvserver "$@"
