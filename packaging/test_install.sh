#!/bin/bash
# The README's install command on a throw-away copy of the machine: it builds, installs and
# starts the service through its init script without touching what the user already has;
# plimctl feeds and watches it; logrotate rotates its log while it writes; the init script
# stops both processes and nothing else; installing again replaces a running build.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[[ ${1:-} == --inside ]] || exec "$here/sandbox.sh" "$0" --inside
source "$here/test_lib.sh"
daemon=/usr/local/sbin/plimd
plimctl=/usr/local/bin/plimctl
files=/hdd/plim/files

install_service() {
  PLIMD_BUILD_DIR=/tmp/plimd-build "$here/../scripts/install.sh" >/tmp/install.log 2>&1 ||
    { cat /tmp/install.log; fail "scripts/install.sh failed"; }
}

# What the user has already: a real analysis tool and a queued name.
mkdir -p /hdd/plim/bin64 $files
# It holds on to its output while /tmp/hold exists, as a long analysis would.
cat >/hdd/plim/bin64/plim <<'TOOL'
#!/bin/sh
echo "real analysis tool: $*"
while [ -e /tmp/hold ]; do sleep 0.05; done
echo "analysis done"
TOOL
chmod 0755 /hdd/plim/bin64/plim
cp /hdd/plim/bin64/plim /tmp/real-plim
echo "Old Entry" >$files/queue.txt
make_recording "Some Title"

install_service
cmp /hdd/plim/bin64/plim /tmp/real-plim || fail "the real analysis tool was replaced"
[[ -x /hdd/plim/bin64/plim_mark && -d /hdd/movie ]] || fail "stand-in or folder missing"
compgen -G "/etc/rc2.d/S*plimd" >/dev/null || fail "not started at boot"
wait_for "both processes" running $daemon 2
wait_for "the queued name to be done" grep -qxF "Old Entry" $files/fertig.txt

$plimctl add "Some Title"
wait_for "the job" log_has ">>>>>>>> plim stop Some Title"
log_has "real analysis tool: - /tmp/plim/tmp/Some Title.rec" || fail "analysis tool not run"
log_has "plim_mark: stand-in marked Some Title" || fail "mark tool not run"
[[ $($plimctl status) == $'in progress: (none)\nqueued: 0\ndone, oldest first: 2\n  Old Entry\n  Some Title' ]] ||
  fail "status: $($plimctl status)"

# Rotate while the tool is writing: its output, too, must land in the live log.
touch /tmp/hold
$plimctl add "Second"
wait_for "the tool to run" log_has "real analysis tool: - /tmp/plim/tmp/Second.rec"
logrotate --state /tmp/logrotate.state --force /etc/logrotate.d/plimd
grep -qxF ">>>>>>>> plim stop Some Title" $files/plim.log.1 || fail "log not rotated"
log_has ">>>>>>>> plim stop Some Title" && fail "live log not emptied"
rm /tmp/hold
wait_for "the job to end" log_has ">>>>>>>> plim stop Second"
log_has "analysis done" || fail "the tool's output after the rotation missed the live log"

# A process of the same name but another executable must survive a stop.
mkdir /tmp/decoy && cp /bin/sleep /tmp/decoy/plimd
/tmp/decoy/plimd 600 &
decoy=$!
[[ $(/etc/init.d/plimd status) == "plimd is running (pids "*" "*")" ]] || fail "status"
/etc/init.d/plimd stop
running $daemon 0 || fail "stop left $(pids_of $daemon)"
kill -0 $decoy || fail "stop ended a process not of the service"
status=0
/etc/init.d/plimd status || status=$?
[[ $status -eq 3 ]] || fail "status of a stopped service: $status"

/etc/init.d/plimd start
running $daemon 2 || fail "start did not leave two processes"
before=$(pids_of $daemon)
install_service
running $daemon 2 || fail "reinstall did not leave two processes"
[[ $(pids_of $daemon) != "$before" ]] || fail "reinstall did not restart the service"
echo "install, plimctl, logrotate and init script: passed"
