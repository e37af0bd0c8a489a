#!/bin/bash
# What the operator is told, and what others may write: a job whose work folder cannot be made or
# whose tool cannot be started fails with its reason in the history, and its tools do not run on
# nothing; the job list files are open to all whatever the umask of whoever made them; plimctl
# add puts names at the head with --first; status names a settings file the service ignores.
source "$(dirname "$0")/../lib.sh"


say "under a umask of 077, the files the service makes from empty take a user's add"
umask 077
start_service
wait_for "the queue file" test -e "$QUEUE"
as_nobody "$PLIMCTL" add "by nobody" || fail "a user cannot add to the queue the service made"
wait_idle 1
expect_stat %a "666 666 666" "$QUEUE" "$ACTIVE" "$DONE"
say "and so does the queue file that plimctl makes"
rm "$QUEUE"
"$PLIMCTL" add "by root" 2>/dev/null || fail "add by root"
wait_idle 2
expect_stat %a 666 "$QUEUE"
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
{ log_has ">>>>>>>> plim start $long" && log_has ">>>>>>>> plim stop $long"; } ||
  fail "the long name's job has no framed record"
"$PLIMCTL" history | grep -qF "failed  not run / not run  $long  (cannot create directory" ||
  fail "plimctl history does not show why: $("$PLIMCTL" history | tail -1)"
work_dirs_gone

say "a tool that cannot be started fails the job with why; the other tool still runs"
mv /hdd/plim/bin64/plim /hdd/plim.real
for tool in "missing:No such file or directory" "unrunnable:Permission denied"; do
  name=${tool%%:*}
  if [ "$name" = unrunnable ]; then install -m 644 /hdd/plim.real /hdd/plim/bin64/plim; fi
  "$PLIMCTL" add "$name" 2>/dev/null || fail "add $name"
  wait_for "the job of $name" job_done "$name"
  history_of "$name" | grep -F '"analysis":{"end":"not run"},"mark":{"end":"exit","value":0},'\
'"error":"cannot run /hdd/plim/bin64/plim: '"${tool#*:}"'",' |
    grep -qF '"outcome":"failed"' || fail "the record of $name: $(history_of "$name")"
done
mv /hdd/plim.real /hdd/plim/bin64/plim
[ "$(marks)" -eq 4 ] || fail "the mark tool ran $(marks) times, not 4"

say "add --first puts the names at the head of the queue, in order"
hold_job held
"$PLIMCTL" add a b 2>/dev/null || fail "add a b"
"$PLIMCTL" add --first c d 2>/dev/null || fail "add --first c d"
expect_file "$QUEUE" <(printf 'c\nd\na\nb\n')
expect_stat %a 666 "$QUEUE"
rm /hdd/hold
wait_idle 9
expect_file "$DONE" <(printf '%s\n' "by nobody" "by root" "$long" missing unrunnable held c d a b)

say "status names a settings file the service ignores, and the lines it leaves out"
chmod 666 /etc/plimd.conf
status_has 'settings: /etc/plimd.conf: writable by others than root; ignored'
status_json_has \
  '"settings":{"file":"/etc/plimd.conf","ignored":true,"problems":["writable by others than root; ignored"]}'
printf 'tool_nice = 0\nbogus = 1\n' >/etc/plimd.conf
chmod 600 /etc/plimd.conf
status_has 'settings: /etc/plimd.conf: line 2: unknown key "bogus"'
as_nobody "$PLIMCTL" status | grep -q '^settings:' &&
  fail "status as a user who may not read the file calls it ignored"
pass
