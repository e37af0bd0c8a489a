#!/bin/bash
# The README's install command on a throw-away copy of the machine: it builds, installs and
# starts the service through its init script without touching the user's analysis tool;
# logrotate rotates its log while a tool writes; the init script stops both processes, the tool they run and the tool's children, and nothing
# else. The jobs themselves are the scenarios'.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[[ ${1:-} == --inside ]] || exec "$here/sandbox.sh" "$0" --inside
source "$here/../tests/lib.sh" --packaging

# What the user has already: a real analysis tool and a queued name.
install_holding_tool
cp /hdd/plim/bin64/plim /tmp/real-plim
echo "Old Entry" >"$QUEUE"
echo "Kept" >"$LOG" # each start keeps the log as plim.log.1, which logrotate leaves alone
install_service
cmp /hdd/plim/bin64/plim /tmp/real-plim || fail "the real analysis tool was replaced"
[[ -x /hdd/plim/bin64/plim_mark && -d /hdd/movie ]] || fail "stand-in or folder missing"
compgen -G "/etc/rc2.d/S*plimd" >/dev/null || fail "not started at boot"
wait_for "the queued name to be done" job_done "Old Entry"

# Rotate while the tool is writing: its output, too, must land in the live log.
touch /tmp/hold
plimctl add "Second"
wait_for "the tool to run" log_has "real analysis tool: - /tmp/plim/tmp/Second.rec"
logrotate --state /tmp/logrotate.state --force /etc/logrotate.d/plimd
grep -qxF ">>>>>>>> plim stop Old Entry" "$LOG"-[0-9]* || fail "log not rotated: $(ls "$FILES")"
log_has ">>>>>>>> plim stop Old Entry" && fail "live log not emptied"
[[ $(cat "$LOG.1") == Kept ]] || fail "logrotate took plim.log.1"
rm /tmp/hold
wait_for "the job to end" job_done Second
log_has "analysis done" || fail "the tool's output after the rotation missed the live log"

stop_mid_job /etc/init.d/plimd stop
echo "install, plimctl, logrotate and init script: passed"
