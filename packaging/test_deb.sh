#!/bin/bash
# The Debian package on a throw-away copy of the machine: installing it starts the service,
# which runs a job with the stand-in tools; purging it stops both processes and leaves the
# files and dpkg's database as they were before. Takes the .deb, or builds one with CPack.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[[ ${1:-} == --inside ]] || exec "$here/sandbox.sh" "$0" --inside ${1:+"$(realpath "$1")"}
source "$here/test_lib.sh"
deb=${2:-$("$here/../scripts/build-deb.sh" /tmp/plimd-deb-build)}

# dpkg's journal files and the man-db index change with any package that has manual pages.
snapshot() {
  { find /etc /usr /var/lib /hdd /tmp/plim /var/log/plimd.log* 2>/dev/null || true; } |
    grep -vE '^/var/lib/(dpkg/(status-old|triggers/|updates/)|man-db/)' | sort
}

# Make this look like a recorder booted with sysvinit, where invoke-rc.d lets a package start
# its service: no policy-rc.d (a container image's forbids it) and runlevel 2 (with no init
# running, invoke-rc.d cannot tell the runlevel and starts nothing).
rm -f /usr/sbin/policy-rc.d /sbin/runlevel
printf '#!/bin/sh\necho "N 2"\n' >/sbin/runlevel
chmod 0755 /sbin/runlevel
snapshot >/tmp/before
cp /var/lib/dpkg/status /tmp/status.before
dpkg -i "$deb" >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -i"; }
wait_for "both processes" running /usr/sbin/plimd 2
systemd-analyze verify /lib/systemd/system/plimd.service 2>&1 | tee /tmp/verify.log
[[ ! -s /tmp/verify.log ]] || fail "systemd-analyze verify reports on the unit"

make_recording "Some Title"
plimctl add "Some Title"
wait_for "the job" log_has ">>>>>>>> plim stop Some Title"
log_has "001.ts: 376 bytes, 2 packets" || fail "analysis stand-in did not see the recording"
log_has "plim_mark: stand-in marked Some Title" || fail "mark stand-in not run"
[[ -f /usr/lib/tmpfiles.d/plimd.conf ]] || fail "no tmpfiles.d entry"
[[ $(stat -c '%U %a' /tmp/plim /tmp/plim/tmp) == $'root 755\nroot 755' ]] ||
  fail "work folders: $(stat -c '%n %U %a' /tmp/plim /tmp/plim/tmp)"
[[ $(plimctl status --json) == '{"service":{"running":true,"listener":'*',"worker":'*'},"queued":[],"in_progress":null,"done":["Some Title"]}' ]] ||
  fail "status: $(plimctl status --json)"
plimctl log "Some Title" | grep -qxF ">>>>>>>> plim stop Some Title" || fail "plimctl log"
[[ -f /usr/share/bash-completion/completions/plimctl ]] || fail "no bash completion"

rm "/hdd/movie/Some Title.ts"
dpkg --purge plimd >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg --purge"; }
running /usr/sbin/plimd 0 || fail "purge left $(pids_of /usr/sbin/plimd)"
snapshot | diff /tmp/before - || fail "purge left the files above changed"
cmp /var/lib/dpkg/status /tmp/status.before || fail "dpkg's status differs after purge"
echo "Debian package install, job and purge: passed"
