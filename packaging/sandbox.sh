#!/bin/bash
# Runs a command as root on a throw-away copy of this machine: in private mount, network and PID
# namespaces, chrooted into an overlay of / whose changes live in a tmpfs, with empty tmpfs on
# /hdd, /tmp/plim and /run (so no init system seems to be in charge) and the loopback up.
# Whatever the command installs, starts or removes, dpkg's database included, is gone when it
# ends: the PID namespace takes every process it started down with it.
# Exits 125, the tests' skip status, where namespaces or overlays are refused.
set -euo pipefail

if [[ ${1:-} != --inside ]]; then
  if ! unshare --mount --net --pid --fork --mount-proc true 2>/dev/null; then
    echo "sandbox: namespaces are refused here; skipping" >&2
    exit 125
  fi
  scratch=$(mktemp -d /tmp/plimd-sandbox.XXXXXX)
  trap 'rmdir "$scratch"' EXIT
  unshare --mount --net --pid --fork --mount-proc "$0" --inside "$scratch" "$@"
  exit
fi
scratch=$2
shift 2

skip() {
  echo "sandbox: $1; skipping" >&2
  exit 125
}
mount -t tmpfs -o mode=0755 tmpfs "$scratch" || skip "cannot mount a tmpfs"
mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
root=$scratch/root
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$root" ||
  skip "cannot mount an overlay of /"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
for dir in /run /hdd /tmp/plim; do
  mkdir -p "$root$dir"
  mount -t tmpfs -o mode=0755 tmpfs "$root$dir"
done
ip link set lo up
exec chroot "$root" /usr/bin/env -C "$PWD" "$@"
