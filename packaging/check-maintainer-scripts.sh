#!/usr/bin/env bash
# Runs the package's maintainer scripts for real, with dpkg, in a throwaway copy of this machine:
# a private mount namespace holding an overlay of / whose changes go to a tmpfs, entered with
# chroot. Nothing reaches the real root. systemctl and deb-systemd-invoke are stubs there that
# note their calls, with /run/systemd/system present as on a machine systemd runs. Prints
# "ok: ..." or "FAILED: ..." per check. Needs root. Usage:
#   packaging/check-maintainer-scripts.sh <package.deb>
set -uo pipefail
deb=$(realpath "$1")
work=$(mktemp -d /tmp/pv-sandbox-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$deb" "$work/package.deb"

cat >"$work/scenario.sh" <<'EOF'
#!/bin/bash
# Inside the sandbox; /sandbox holds the package.
set -u
[ -e /.sandbox-marker ] || { echo "FAILED: not in the sandbox"; exit 1; }
check() {  # check <what> <command...>
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then echo "ok: $what"; else echo "FAILED: $what"; fi
}
mkdir -p /run/systemd/system
for tool in systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>/sandbox/calls\nexit 0\n' "$tool" >"/usr/bin/$tool"
  chmod +x "/usr/bin/$tool"
done
dpkg_install() { : >/sandbox/calls; dpkg -i /sandbox/package.deb >/sandbox/dpkg.log 2>&1; }
called() { grep -qxF "$1" /sandbox/calls; }
owner_mode() { [ "$(stat -c '%U:%G %a' "$1")" = "$2" ]; }
fresh() {  # no package, no account
  dpkg -P parleyvox-server >/dev/null 2>&1
  deluser --quiet parleyvox >/dev/null 2>&1
  delgroup --quiet parleyvox >/dev/null 2>&1
  rm -rf /var/lib/parleyvox /var/log/parleyvox
}

fresh
check "first install: configured" dpkg_install
check "first install: a system account with no login shell, in group parleyvox" \
  bash -c 'getent passwd parleyvox | grep -q ":/usr/sbin/nologin$" && [ "$(id -gn parleyvox)" = parleyvox ]'
check "first install: both folders parleyvox 0750" \
  bash -c "$(declare -f owner_mode); owner_mode /var/lib/parleyvox 'parleyvox:parleyvox 750' && owner_mode /var/log/parleyvox 'parleyvox:parleyvox 750'"
check "first install: a random administrator password, in a file only the service reads" \
  bash -c "$(declare -f owner_mode); owner_mode /var/lib/parleyvox/pvserver.ini 'parleyvox:parleyvox 600' &&
         tr -d '\\r' </var/lib/parleyvox/pvserver.ini | grep -qxE 'AdminPassword=[0-9a-f]{24}'"
check "first install: the service is started" called "deb-systemd-invoke start parleyvox-server.service"
echo "AdminPassword=kept" >/var/lib/parleyvox/pvserver.ini
check "upgrade: configured, the running server restarted" \
  bash -c "$(declare -f dpkg_install called); dpkg_install && called 'deb-systemd-invoke try-restart parleyvox-server.service'"
check "upgrade: the operator's file is left alone" grep -qx "AdminPassword=kept" /var/lib/parleyvox/pvserver.ini
dpkg -r parleyvox-server >/dev/null 2>&1
mkdir -p /etc/systemd/system/multi-user.target.wants
ln -s /lib/systemd/system/parleyvox-server@.service /etc/systemd/system/multi-user.target.wants/parleyvox-server@eu.service
check "installed again after a removal: the server and the enabled instance start" \
  bash -c "$(declare -f dpkg_install called); dpkg_install && called 'deb-systemd-invoke start parleyvox-server.service' &&
         called 'deb-systemd-invoke start parleyvox-server@eu.service'"
dpkg -P parleyvox-server >/dev/null 2>&1
check "purge: both folders and the instance's link are gone" \
  bash -c '! [ -e /var/lib/parleyvox ] && ! [ -e /var/log/parleyvox ] &&
         ! [ -L /etc/systemd/system/multi-user.target.wants/parleyvox-server@eu.service ]'

fresh
mkdir -p /srv/shared-logs && chown root:adm /srv/shared-logs && chmod 2775 /srv/shared-logs
ln -s /srv/shared-logs /var/log/parleyvox
check "a log folder that is a link: configured, its target left as the operator made it" \
  bash -c "$(declare -f dpkg_install owner_mode); dpkg_install && owner_mode /srv/shared-logs 'root:adm 2775'"

fresh
adduser --quiet --system --no-create-home parleyvox >/dev/null 2>&1
check "a system account parleyvox without its own group: configured" dpkg_install

fresh
adduser --quiet --disabled-password --gecos "" parleyvox >/dev/null 2>&1
check "an account parleyvox that people log in with: refused, not taken over" \
  bash -c "$(declare -f dpkg_install); ! dpkg_install && grep -q 'login shell' /sandbox/dpkg.log && [ ! -e /var/lib/parleyvox ]"
EOF

# The overlay's upper layer lives on a tmpfs of the namespace: it goes with the namespace.
unshare -m --propagation private bash -c '
set -e
work=$1
mkdir -p "$work/ovl"
mount -t tmpfs -o size=1g none "$work/ovl"
mkdir -p "$work/ovl/upper" "$work/ovl/work" "$work/ovl/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/ovl/upper,workdir=$work/ovl/work" "$work/ovl/root"
root=$work/ovl/root
mount --rbind /proc "$root/proc"
mount --rbind /dev "$root/dev"
mkdir -p "$root/sandbox"
mount --bind "$work" "$root/sandbox"
touch "$root/.sandbox-marker"
[ -e "$work/ovl/upper/.sandbox-marker" ] || { echo "FAILED: the overlay is not in place"; exit 1; }
chroot "$root" /bin/bash /sandbox/scenario.sh
' _ "$work" || echo "FAILED: the sandbox could not be made"
