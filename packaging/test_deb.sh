#!/bin/bash
# The Debian package on a throw-away copy of the machine: installing it puts the stand-in tools
# in place (what they do with a job is packaging.ipk's) and starts the service; purging it stops
# both processes and leaves the files and dpkg's database as they were before. Takes the .deb,
# or builds one with CPack.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[[ ${1:-} == --inside ]] || exec "$here/sandbox.sh" "$0" --inside ${1:+"$(realpath "$1")"}
source "$here/../tests/lib.sh" --packaging
PLIMD=/usr/sbin/plimd
deb=${2:-$("$here/../scripts/build-deb.sh" /tmp/plimd-deb-build)}

# dpkg's journal files and the man-db index change with any package that has manual pages.
snapshot() {
  { find /etc /usr /var/lib /hdd /tmp/plim /var/log/plimd.log* 2>/dev/null || true; } |
    grep -vE '^/var/lib/(dpkg/(status-old|triggers/|updates/)|man-db/)' | sort
}

# As in a container with no init system and no policy-rc.d, where invoke-rc.d starts
# nothing and the README says to start the service by hand; and over what scripts/install.sh
# left: its init script as written, a logrotate snippet the administrator changed, a program.
rm -f /usr/sbin/policy-rc.d /sbin/init /sbin/runlevel
snapshot >/tmp/before
cp /var/lib/dpkg/status /tmp/status.before
mkdir -p /usr/local/sbin
sed 's|@PLIMD_DAEMON@|/usr/local/sbin/plimd|' "$here/plimd.init.in" >/etc/init.d/plimd
{ cat "$here/plimd.logrotate"; echo "# changed"; } >/etc/logrotate.d/plimd
cp /bin/true /usr/local/sbin/plimd
dpkg -i "$deb" </dev/null >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -i"; }
[[ ! -e /usr/local/sbin/plimd ]] || fail "the program of scripts/install.sh stayed"
grep -qx "# changed" /etc/logrotate.d/plimd.dpkg-old || fail "the changed snippet was not kept"
rm /etc/logrotate.d/plimd.dpkg-old
cmp "$here/plimd.logrotate" /etc/logrotate.d/plimd || fail "the package's snippet is not in place"
/etc/init.d/plimd start
wait_for "both processes" plimd_count_is 2

cmp /usr/libexec/plimd/plim /hdd/plim/bin64/plim && cmp /usr/libexec/plimd/plim_mark \
  /hdd/plim/bin64/plim_mark || fail "the stand-ins are not in place"

# As on a recorder booted with sysvinit (an init, runlevel 2), where invoke-rc.d lets the purge
# stop the service.
printf '#!/bin/sh\necho "N 2"\n' >/sbin/runlevel && chmod 0755 /sbin/runlevel && cp /bin/true /sbin/init
dpkg --purge plimd >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg --purge"; }
plimd_count_is 0 || fail "purge left $(plimd_pids)"
rm /sbin/runlevel /sbin/init
snapshot | diff /tmp/before - || fail "purge left the files above changed"
cmp /var/lib/dpkg/status /tmp/status.before || fail "dpkg's status differs after purge"
echo "Debian package install and purge: passed"
