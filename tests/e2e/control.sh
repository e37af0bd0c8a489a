#!/bin/bash
# The operators' commands of the real plimctl against a running service: remove and kill while a
# job holds (what remove takes and says, and which job kill names, are the unit tests'; log is
# e2e.watch's), what a job that cannot run records, and status and wait under a held folder lock.
source "$(dirname "$0")/../lib.sh"

start_service
# The held tool ignores SIGTERM, as do its children.
touch /hdd/deaf
hold_job "Held: Job"

say "remove: every entry of each name, other lines byte for byte, never the job in progress"
printf 'a\nb c\na\n<ERROR>\nd\nHeld: Job\n' >"$QUEUE"
"$PLIMCTL" remove a 'b c' 'Held: Job' || fail "remove"
expect_file "$QUEUE" <(printf '<ERROR>\nd\n')
"$PLIMCTL" remove 'Held: Job' 2>/dev/null && fail "remove of the job in progress succeeded"
expect_file "$ACTIVE" <(printf 'Held: Job\n')

say "kill: only for root; a tool deaf to SIGTERM ends 5 s later"
expect_rc 1 as_nobody "$PLIMCTL" kill 'Held: Job'
alive "$TOOL" || fail "a refused kill ended the job"
expect_rc 0 "$PLIMCTL" kill 'Held: Job'
out_has "  killed  killed / not run  Held: Job"
dead "$TOOL" || fail "the killed tool runs on"
record=$(grep -F '"name":"Held: Job"' "$FILES/history")
seconds=$(sed 's/.*"seconds":\([0-9.]*\).*/\1/' <<<"$record")
awk -v s="$seconds" 'BEGIN { exit !(s >= 5) }' || fail "SIGKILL came after $seconds s, not 5"
grep -F '"analysis":{"end":"killed"},"mark":{"end":"not run"}' <<<"$record" |
  grep -qF '"outcome":"killed"' || fail "the record: $record"
rm /hdd/deaf /hdd/hold
wait_for "the next job" job_done d
expect_file "$DONE" <(printf 'Held: Job\nd\n')
[ "$(marks)" -eq 1 ] || fail "the killed job's mark tool ran"

say "a job whose work folder or tool fails fails with why; its tools do not run on nothing"
long=$(printf 'L%.0s' {1..310})
printf '%s\n' "$long" >>"$QUEUE"
send 25252 1
wait_for "the long name's job" job_done "$long"
grep -qF "$long" "$CALLS" && fail "a tool ran for the name no folder can hold"
chmod 644 /hdd/plim/bin64/plim
# A queue file plimctl makes is open to all, whatever the umask of whoever ran it.
rm "$QUEUE"
(umask 077 && "$PLIMCTL" add unrunnable 2>/dev/null) || fail "add unrunnable"
expect_stat %a 666 "$QUEUE"
wait_for "the job of unrunnable" job_done unrunnable
history_of unrunnable | grep -F '"analysis":{"end":"not run"},"mark":{"end":"exit","value":0},'\
'"error":"cannot run /hdd/plim/bin64/plim: Permission denied",' |
  grep -qF '"outcome":"failed"' || fail "the record: $(history_of unrunnable)"
[ "$(marks)" -eq 2 ] || fail "the mark tool ran $(marks) times, not 2"
chmod 755 /hdd/plim/bin64/plim
printf 'Some Title\n' >"$QUEUE"
printf '{"name":"Old \\"Q\\" \\\\ x","start":"2026-12-07T02:10:00Z","seconds":1,"rerun":false,"analysis":{"end":"exit","value":0},"mark":{"end":"exit","value":0},"outcome":"ok"}\n' >>"$FILES/history"

say "status and wait answer while a producer holds the folder lock as long as it likes"
hold_folder_lock 25
timeout -s KILL 5 "$PLIMCTL" status >"$SCRATCH/out" || fail "status under the folder lock: $?"
grep -qx '  Some Title' "$SCRATCH/out" || fail "status under the folder lock: $(cat "$SCRATCH/out")"
timeout -s KILL 5 "$PLIMCTL" wait 'Old "Q" \ x' || fail "wait under the folder lock: $?"
release_folder_lock
pass
