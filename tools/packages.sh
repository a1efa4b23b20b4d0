# The Debian packages the build needs, checked and installed in one place; run.sh and test.sh
# source this file. Installing needs root (CI runs as root on a fresh Debian 12 machine).

# Appends to the array named $1 the build packages that are missing.
missing_build_packages() {
  local -n missing=$1
  command -v cmake >/dev/null || missing+=(cmake)
  command -v ninja >/dev/null || missing+=(ninja-build)
  command -v g++ >/dev/null || missing+=(g++)
  [ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  [ -e /usr/include/zlib.h ] || missing+=(zlib1g-dev)
  # The listing post's HTTP and TLS client.
  dpkg-query -W -f='${Status}' libcurl4-openssl-dev 2>/dev/null | grep -q "ok installed" ||
    missing+=(libcurl4-openssl-dev)
  # The monitoring endpoint's HTTP server library, found through pkg-config.
  [ -e /usr/include/httplib.h ] || missing+=(libcpp-httplib-dev)
  command -v pkg-config >/dev/null || missing+=(pkg-config)
}

# Appends to the array named $1 what building and checking the Debian package needs:
# dpkg-dev (shlibdeps, build flags), lintian, systemd-analyze, man (the units' man page).
missing_package_tools() {
  local -n missing=$1
  command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
  command -v lintian >/dev/null || missing+=(lintian)
  command -v systemd-analyze >/dev/null || missing+=(systemd)
  command -v man >/dev/null || missing+=(man-db)
}

# install_packages WHAT [--no-install-recommends] PACKAGE...: the package lists are updated
# once per run, before the first install.
packages_updated=0
install_packages() {
  local what=$1
  shift
  if [ "$packages_updated" -eq 0 ]; then
    apt-get update -qq || return 1
    packages_updated=1
  fi
  echo "Installing $what: $*"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"
}
