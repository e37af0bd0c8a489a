#!/bin/bash
# Runs a command as root on a throw-away copy of this machine: in private mount, network and PID
# namespaces, chrooted into an overlay of / whose changes live in a tmpfs, with empty tmpfs on
# /hdd, /tmp/plim and /run (so no init system seems to be in charge) and the loopback up.
# Whatever the command installs, starts or removes, dpkg's database included, is gone when it
# ends: the PID namespace takes every process it started down with it.
# Exits 125, the tests' skip status, where namespaces or overlays are refused.
set -euo pipefail
skip() { echo "sandbox: $*; skipping" >&2; exit 125; }

if [[ ${1:-} != --inside ]]; then
  refused=$(unshare --mount --net --pid --fork --mount-proc true 2>&1) ||
    skip "cannot create namespaces: $refused"
  scratch=$(mktemp -d /tmp/plimd-sandbox.XXXXXX)
  trap 'rmdir "$scratch"' EXIT
  unshare --mount --net --pid --fork --mount-proc "$0" --inside "$scratch" "$@"
  exit
fi
scratch=$2
shift 2

refused=$(mount -t tmpfs -o mode=0755 tmpfs "$scratch" 2>&1) || skip "cannot mount a tmpfs: $refused"
mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
root=$scratch/root
refused=$(mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" \
  "$root" 2>&1) || skip "cannot mount an overlay of /: $refused"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
for dir in /run /hdd /tmp/plim; do
  mkdir -p "$root$dir"
  mount -t tmpfs -o mode=0755 tmpfs "$root$dir"
done
ip link set lo up

# The tests start from a machine without the service, whatever this one has: the package and
# what scripts/install.sh put under /usr/local and /etc are taken away in the copy.
chroot "$root" /bin/sh -ec '
  if dpkg-query -W -f="\${db:Status-Status}" plimd 2>/dev/null | grep -qvx not-installed; then
    dpkg --purge plimd >/dev/null
  fi
  cd /usr/local
  rm -f sbin/plimd bin/plimctl libexec/plimd/plim libexec/plimd/plim_mark \
    lib/systemd/system/plimd.service share/man/man8/plimd.8.gz share/man/man1/plimctl.1.gz
  if [ -d libexec/plimd ]; then rmdir libexec/plimd; fi
  rm -f /etc/init.d/plimd /etc/logrotate.d/plimd /etc/rc?.d/[SK][0-9][0-9]plimd \
    /etc/systemd/system/*.wants/plimd.service /var/log/plimd.log*'
exec chroot "$root" /usr/bin/env -C "$PWD" "$@"
