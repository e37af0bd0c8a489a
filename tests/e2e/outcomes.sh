#!/bin/bash
# What the operator is told, and what others may write: a job whose work folder cannot be made or
# whose tool cannot be started fails with its reason in the history, and its tools do not run on
# nothing; the job list files are open to all whatever the umask of whoever made them; status
# names a settings file the service ignores.
source "$(dirname "$0")/../lib.sh"

say "under a umask of 077, the files the service and plimctl make from empty take a user's add"
umask 077
start_service
wait_for "the queue file" test -e "$QUEUE"
as_nobody "$PLIMCTL" add "by nobody" || fail "a user cannot add to the queue the service made"
wait_idle 1
expect_stat %a "666 666 666" "$QUEUE" "$ACTIVE" "$DONE"
rm "$QUEUE"
"$PLIMCTL" add "by root" 2>/dev/null || fail "add by root"
expect_stat %a 666 "$QUEUE"
wait_idle 2
umask 022

say "a name too long for its work folder fails with why, its tools not run, and is done"
long=$(printf 'L%.0s' {1..310})
printf '%s\n' "$long" >>"$QUEUE"
send 25252 1
wait_for "the long name's job" job_done "$long"
grep -qF "$long" "$CALLS" && fail "a tool ran for the name no folder can hold"
history_of "$long" | grep -F '"analysis":{"end":"not run"},"mark":{"end":"not run"},'\
'"error":"cannot create directory /tmp/plim/tmp/'"$long"'.rec: File name too long",' |
  grep -qF '"outcome":"failed"' || fail "the long name's record: $(history_of "$long")"
work_dirs_gone

say "a tool that cannot be started fails the job with why; the other tool still runs"
chmod 644 /hdd/plim/bin64/plim
"$PLIMCTL" add unrunnable 2>/dev/null || fail "add unrunnable"
wait_for "the job of unrunnable" job_done unrunnable
history_of unrunnable | grep -F '"analysis":{"end":"not run"},"mark":{"end":"exit","value":0},'\
'"error":"cannot run /hdd/plim/bin64/plim: Permission denied",' |
  grep -qF '"outcome":"failed"' || fail "the record: $(history_of unrunnable)"
[ "$(marks)" -eq 3 ] || fail "the mark tool ran $(marks) times, not 3"

say "status names a settings file the service ignores"
chmod 666 /etc/plimd.conf
status_has 'settings: /etc/plimd.conf: writable by others than root; ignored'
status_json_has \
  '"settings":{"file":"/etc/plimd.conf","ignored":true,"problems":["writable by others than root; ignored"]}'
pass
