#!/usr/bin/env bash
# Checks a built package the way an operator meets it, on a machine without systemd as PID 1:
# its metadata and file list (dpkg-deb), lintian, its maintainer scripts run by dpkg in a
# throwaway copy of the machine, the units (systemd-analyze verify and the
# offline security score), and the installed server started as its units start it, from the
# package unpacked into a scratch root (e2e_tests' InstalledService cases). Usage:
#   packaging/check-package.sh <package.deb> <e2e_tests binary>
# The last line is "package: N passed, M failed"; the exit code is non-zero on any failure.
set -uo pipefail
deb=$1
e2e=$2
passed=0
failed=0
check() {  # check <what> <command...>
  local what=$1; shift
  if "$@"; then
    passed=$((passed + 1)); echo "ok: $what"
  else
    failed=$((failed + 1)); echo "FAILED: $what"
  fi
}
has_line() { grep -qxF -- "$2" <<<"$1"; }

info=$(dpkg-deb -f "$deb")
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
check "package name" has_line "$info" "Package: parleyvox-server"
check "file name is name_version_arch" \
  test "$(basename "$deb")" = "parleyvox-server_$(dpkg-deb -f "$deb" Version)_$(dpkg-deb -f "$deb" Architecture).deb"
check "depends on libcurl (shlibdeps) and adduser" \
  grep -Eq '^Depends: .*adduser.*libcurl4 ' <<<"$info"
check "depends on the monitoring endpoint's HTTP library (shlibdeps)" \
  grep -Eq '^Depends: .*libcpp-httplib0\.11 ' <<<"$info"
for f in ./usr/sbin/pvserver ./usr/bin/pvctl ./lib/systemd/system/parleyvox-server.service \
         ./lib/systemd/system/parleyvox-server@.service ./etc/logrotate.d/parleyvox-server \
         ./usr/share/man/man8/pvserver.8.gz ./usr/share/doc/parleyvox-server/README.md \
         ./usr/share/doc/parleyvox-server/copyright; do
  check "holds $f" has_line "$files" "$f"
done
control=$(mktemp -d)
dpkg-deb -e "$deb" "$control/DEBIAN"
check "maintainer scripts parse" sh -c "sh -n '$control/DEBIAN/postinst' && sh -n '$control/DEBIAN/prerm' && sh -n '$control/DEBIAN/postrm'"
check "the logrotate rule is a conffile" has_line "$(cat "$control/DEBIAN/conffiles")" /etc/logrotate.d/parleyvox-server
rm -rf "$control"
# The maintainer scripts run by dpkg in a throwaway copy of this machine: install, upgrade,
# removal, installation again, purge, and the accounts and folders an operator may have made.
while IFS= read -r line; do
  echo "$line"
  case $line in
    ok:*) passed=$((passed + 1)) ;;
    FAILED:*) failed=$((failed + 1)) ;;
  esac
done < <("$(dirname "$0")/check-maintainer-scripts.sh" "$deb" 2>&1)
check "lintian reports no error" lintian --fail-on error "$deb"

root=$(mktemp -d)
chmod 0755 "$root"  # the service user walks through it
dpkg -x "$deb" "$root"
# systemd-analyze looks for the program at its installed path: a copy of each unit names it
# below the scratch root, and the template is checked through an instance.
units=$(mktemp -d)
for unit in parleyvox-server.service parleyvox-server@.service; do
  sed "s|^ExecStart=/|ExecStart=$root/|" "$root/lib/systemd/system/$unit" >"$units/$unit"
done
ln -s parleyvox-server@.service "$units/parleyvox-server@eu.service"
# verify exits 0 on lines it ignores (a misspelt value); any word from it is a failure.
verify_quietly() {
  local said
  said=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$@" 2>&1) && [ -z "$said" ] || { echo "$said"; false; }
}
check "systemd-analyze verify" verify_quietly "$units/parleyvox-server.service" "$units/parleyvox-server@eu.service"
rate_exposure() { systemd-analyze security --offline=true --threshold=30 "$@" >/dev/null; }
check "systemd-analyze security: exposure at most 3.0" rate_exposure "$units/parleyvox-server.service"
check "installed server started as its units say" \
  env PV_PACKAGE_ROOT="$root" "$e2e" --gtest_filter='Units/InstalledService.*' --gtest_brief=1
rm -rf "$root" "$units"

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
