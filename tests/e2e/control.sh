#!/bin/bash
# The operators' commands of the real plimctl against a running service: remove and kill while a
# job holds, what a job whose folder or tool fails records, and status and wait under a held
# folder lock.
source "$(dirname "$0")/../lib.sh"

start_service
# The held tool ignores SIGTERM, as do its children.
touch /hdd/deaf
hold_job "Held: Job"

say "remove: every entry of each name, other lines byte for byte, never the job in progress"
long=$(printf 'L%.0s' {1..310}) # too long for a work folder's name
printf 'a\nb c\na\n<ERROR>\nd\n%s\nHeld: Job\n' "$long" >"$QUEUE"
"$PLIMCTL" remove a 'b c' 'Held: Job' || fail "remove"
expect_file "$QUEUE" <(printf '<ERROR>\nd\n%s\n' "$long")
"$PLIMCTL" remove 'Held: Job' 2>/dev/null && fail "remove of the job in progress succeeded"
expect_file "$ACTIVE" <(printf 'Held: Job\n')

say "kill: only for root; a tool deaf to SIGTERM ends 5 s later"
expect_rc 1 as_nobody "$PLIMCTL" kill 'Held: Job'
alive "$TOOL" || fail "a refused kill ended the job"
expect_rc 0 "$PLIMCTL" kill 'Held: Job'
out_has "  killed  killed / not run  Held: Job"
dead "$TOOL" || fail "the killed tool runs on"
record=$(grep -F '"name":"Held: Job"' "$FILES/history")
awk -v s="$(sed 's/.*"seconds":\([0-9.]*\).*/\1/' <<<"$record")" 'BEGIN { exit !(s >= 5) }' &&
  grep -q '"analysis":{"end":"killed"},"mark":{"end":"not run"}.*"outcome":"killed"' <<<"$record" ||
  fail "SIGKILL before 5 s, or the record: $record"
rm /hdd/deaf /hdd/hold
# A job whose work folder or tool fails fails with why; its tools do not run on nothing.
wait_for "the long name's job" job_done "$long"
expect_file "$DONE" <(printf 'Held: Job\nd\n%s\n' "$long")
[ "$(marks)" -eq 1 ] || fail "the killed job's mark tool ran, or a tool for the name no folder can hold"
grep -qF "$long" "$CALLS" && fail "a tool ran for the name no folder can hold"
chmod 644 /hdd/plim/bin64/plim
# A queue file plimctl makes is open to all, whatever the umask of whoever ran it.
rm "$QUEUE"
(umask 077 && "$PLIMCTL" add unrunnable 2>/dev/null) || fail "add unrunnable"
expect_stat %a 666 "$QUEUE"
wait_for "the job of unrunnable" job_done unrunnable
history_of unrunnable | grep -q '"analysis":{"end":"not run"},"mark":{"end":"exit","value":0},'\
'"error":"cannot run /hdd/plim/bin64/plim: Permission denied",.*"outcome":"failed"' ||
  fail "the record: $(history_of unrunnable)"
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
