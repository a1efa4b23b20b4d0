#!/usr/bin/env bash
# Builds the Debian package: a Release build of the headless server and pvctl with Debian's
# hardening flags, then cpack. Usage: packaging/build-deb.sh [build-dir]
# (default build-package). Prints the package's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-package}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DPARLEYVOX_TESTS=OFF -DPARLEYVOX_DESKTOP=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >"$dir.configure.log"
# Only what the package holds: the server and pvctl.
cmake --build "$dir" -j "$(nproc)" --target pvserver pvctl
(cd "$dir" && cpack -G DEB >cpack.log)
case $dir in /*) ;; *) dir=$PWD/$dir ;; esac
ls "$dir"/parleyvox-server_*.deb | tail -n 1
