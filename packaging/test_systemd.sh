#!/bin/bash
# The README's install command on a throw-away copy of the machine with systemd in charge:
# systemd boots as PID 1 of a private PID namespace, inside a control group of its own. The
# install enables and starts the unit; stop ends both processes, the tool the worker runs and its children, and nothing else.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[[ ${1:-} == --inside ]] || exec "$here/sandbox.sh" "$0" --inside
source "$here/../tests/lib.sh" --packaging

# Run inside systemd's namespaces, as a shell on the booted machine would.
if [[ ${2:-} == --under-systemd ]]; then
  install_service
  [[ $(systemctl is-enabled plimd) == enabled ]] || fail "the unit is not enabled"
  wait_for "both processes" plimd_count_is 2
  stop_mid_job systemctl stop plimd
  [[ $(systemctl is-active plimd) == inactive ]] || fail "the unit is not inactive after stop"
  echo "systemd unit: passed"
  exit
fi

[[ -x /lib/systemd/systemd ]] || skip "systemd is not installed"
unified=$(findmnt -n -t cgroup2 -o TARGET | head -n 1)
[[ -n $unified ]] || skip "no cgroup2 hierarchy is mounted"

install_holding_tool

# systemd manages the control groups below one made for it, which it sees as the root.
own=$(sed -n 's/^0:://p' /proc/self/cgroup)
home=$unified${own%/}
cgroup=$(mktemp -d "$home/plimd-test.XXXXXX")
booter= # unshare, once it runs
# systemd's PID here: the one child of unshare.
init_pid() {
  init=$(cat /proc/$booter/task/$booter/children 2>/dev/null) && init=${init% } && [[ -n $init ]]
}
cleanup() {
  [[ -z $booter ]] || { ! init_pid || kill -KILL "$init"; wait $booter || true; }
  echo 0 >"$home/cgroup.procs"
  find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || true
}
trap cleanup EXIT
echo 0 >"$cgroup/cgroup.procs" 2>/dev/null || skip "cannot move into a control group of its own"

mkdir -p /etc/systemd/system
printf '[Unit]\nDescription=Boot of the plimd test\nWants=systemd-journald.socket\n' \
  >/etc/systemd/system/plimd-test.target
touch /tmp/console
container=plimd-test unshare --cgroup --uts --ipc --pid --fork --mount-proc bash -c '
  mount -t cgroup2 cgroup2 /sys/fs/cgroup
  mount --bind /tmp/console /dev/console
  exec /lib/systemd/systemd --unit=plimd-test.target --show-status=false' \
  </dev/null 2>>/tmp/console &
booter=$!
booted() {
  init_pid && [[ $(nsenter -t "$init" -m -p -r systemctl is-system-running 2>/dev/null) == @(running|degraded) ]]
}
for ((i = 0; i < 300; i++)); do booted && break; sleep 0.1; done
booted || { cat /tmp/console; skip "systemd did not boot"; }
nsenter -t "$init" -m -p -C -r -w "$here/$(basename "$0")" --inside --under-systemd
