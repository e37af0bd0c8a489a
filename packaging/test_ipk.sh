#!/bin/bash
# The opkg package on a throw-away copy of the machine, unpacked and set up as opkg does it and
# with nothing but BusyBox on the PATH of its scripts: an install while /hdd is not mounted
# sets nothing up there; one on the mounted disk starts the service, which runs a job with the
# stand-in tools; installed again, it restarts it; an install into an image root ($D) leaves
# the running system alone; removal stops both processes and the boot links and leaves /hdd as
# it was. Takes the x86_64 .ipk, or builds one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[[ ${1:-} == --inside ]] || exec "$here/sandbox.sh" "$0" --inside ${1:+"$(realpath "$1")"}
source "$here/../tests/lib.sh" --packaging
PLIMD=/usr/sbin/plimd
ipk=${2:-$(PLIMD_IPK_DIR=/tmp/plimd-ipk "$here/../scripts/build-ipk.sh" x86_64-linux-gnu)}

# A box's userland: BusyBox's applets and nothing else.
bb=/tmp/busybox-bin
mkdir -p "$bb"
for applet in $(busybox --list); do ln -sf "$(command -v busybox)" "$bb/$applet"; done
box() { env -i PATH="$bb" ${D:+D="$D"} "$bb/sh" "$@"; }
postinst() {
  box /tmp/ipk/control/postinst configure >/tmp/postinst.out 2>&1 ||
    { cat /tmp/postinst.out; fail "postinst failed ($1)"; }
}

mkdir /tmp/ipk && (cd /tmp/ipk && busybox ar x "$ipk")
mkdir /tmp/ipk/control && busybox tar -xzf /tmp/ipk/control.tar.gz -C /tmp/ipk/control
grep -qx 'Architecture: x86_64' /tmp/ipk/control/control || fail "no x86_64 architecture"
links() { ls /etc/rc?.d/[SK][0-9][0-9]plimd 2>/dev/null || true; }
expected_links=$(printf '/etc/rc%s20plimd\n' 0.d/K 1.d/K 2.d/S 3.d/S 4.d/S 5.d/S 6.d/K)
# The boot links of the sandbox's own init system are the copy's business, not the package's.
rm -f /etc/rc?.d/[SK][0-9][0-9]*
busybox tar -xzf /tmp/ipk/data.tar.gz -C /

# The disk not mounted yet: nothing is written under the mount point, and the user is told.
# Whatever the machine itself keeps in /hdd goes first, from this copy of it only.
umount /hdd
find /hdd -mindepth 1 -delete
postinst "no disk"
grep -q "/hdd is not a mounted disk" /tmp/postinst.out || fail "no word on the unmounted disk"
[[ -z $(ls -A /hdd) ]] || fail "postinst wrote to the unmounted /hdd: $(ls -A /hdd)"
plimd_count_is 0 || fail "the service started without its disk"
[[ $(links) == "$expected_links" ]] || fail "boot links: $(links)"

mount -t tmpfs -o mode=0755 tmpfs /hdd
postinst install
wait_for "both processes" plimd_count_is 2
mkdir -p /hdd/movie
head -c 376 /dev/zero | tr '\0' G >"/hdd/movie/Some Title.ts"
/usr/bin/plimctl add "Some Title"
wait_for "the job" job_done "Some Title"
log_has "001.ts: 376 bytes, 2 packets" || fail "analysis stand-in did not see the recording"
log_has "plim_mark: stand-in marked Some Title" || fail "mark stand-in not run"

# Installed again, as an upgrade is: the service restarts, a tool the user put in place stays.
before=$(plimd_pids)
echo "#!/bin/sh" >/hdd/plim/bin64/plim_mark
postinst upgrade
wait_for "the upgrade to restart the service" replaced "$before"
[[ $(cat /hdd/plim/bin64/plim_mark) == "#!/bin/sh" ]] || fail "the upgrade replaced a user's tool"

# Into and out of a firmware image's root while the service runs: it is neither restarted nor
# stopped, and the image gets its boot links but no /hdd.
before=$(plimd_pids)
mkdir /tmp/image && busybox tar -xzf /tmp/ipk/data.tar.gz -C /tmp/image
D=/tmp/image box /tmp/ipk/control/postinst configure || fail "postinst into the image failed"
[[ $(cd /tmp/image && ls etc/rc?.d/*) == "${expected_links//\/etc/etc}" ]] ||
  fail "image boot links: $(cd /tmp/image && ls etc/rc?.d/*)"
for script in prerm postrm; do
  D=/tmp/image box "/tmp/ipk/control/$script" remove || fail "$script in the image failed"
done
[[ ! -e /tmp/image/hdd && -z $(find /tmp/image/etc/rc?.d -type l) ]] || fail "/hdd or links in it"
[[ $(plimd_pids) == "$before" ]] || fail "the image's scripts touched the running service"

# Removal as opkg does it: prerm, the package's files, postrm.
find /hdd | sort >/tmp/hdd.before
box /tmp/ipk/control/prerm remove || fail "prerm failed"
plimd_count_is 0 || fail "removal left $(plimd_pids)"
(cd / && busybox tar -tzf /tmp/ipk/data.tar.gz | while read -r f; do [ -d "$f" ] || rm "$f"; done)
box /tmp/ipk/control/postrm remove || fail "postrm failed"
[[ -z $(links) ]] || fail "boot links left: $(links)"
find /hdd | sort | diff /tmp/hdd.before - || fail "removal changed /hdd"
echo "opkg package install, job and removal under BusyBox: passed"
