#!/bin/bash
# plimctl kill against the service: it ends the job in progress only, and only for root; a tool
# deaf to SIGTERM ends by SIGKILL 5 s later; the killed job is recorded as killed, listed as
# done, its mark tool not run, and it does not run again, not after a restart either; the next
# queued name runs. The kill signal neither ends nor wakes an idle worker. Which request names
# the job is the unit tests'.
source "$(dirname "$0")/../lib.sh"

# SIGUSR1 (10) is pending for process $1: blocked, so it has not ended or woken it.
usr1_pending() {
  local mask
  for mask in $(awk '/^(SigPnd|ShdPnd):/ { print $2 }' "/proc/$1/status" 2>/dev/null); do
    [ $((16#$mask & 0x200)) -ne 0 ] && return 0
  done
  return 1
}

say "the kill signal waits, blocked, in an idle worker: it neither ends nor wakes it"
start_service
wait_idle 0
read -r _ worker _ </run/plimd.pid
kill -USR1 "$worker"
wait_for "the signal to wait in the worker" usr1_pending "$worker"
waiting_for_trigger "$worker" || fail "the signal woke the idle worker"

say "kill refuses a name not in progress and a caller who is not root, and ends a tool deaf to SIGTERM 5 s later"
# The pending signal reaches the job's wait too, and must not end it.
touch /hdd/deaf
hold_job first second
expect_rc 1 "$PLIMCTL" kill second
err_has '"second" is not the job in progress'
expect_rc 1 as_nobody "$PLIMCTL" kill first
alive "$TOOL" || fail "a refused kill ended the job"
expect_rc 0 "$PLIMCTL" kill first
out_has "  killed  killed / not run  first"
dead "$TOOL" || fail "the killed tool runs on"
record=$(grep -F '"name":"first"' "$FILES/history")
seconds=$(sed 's/.*"seconds":\([0-9.]*\).*/\1/' <<<"$record")
awk -v s="$seconds" 'BEGIN { exit !(s >= 5) }' || fail "SIGKILL came after $seconds s, not 5"
grep -F '"analysis":{"end":"killed"},"mark":{"end":"not run"}' <<<"$record" |
  grep -qF '"outcome":"killed"' || fail "the record: $record"
rm /hdd/deaf /hdd/hold

say "the next job runs; the killed one is done, and not run again after a restart"
wait_for "the next job" job_done second
expect_file "$DONE" <(printf 'first\nsecond\n')
[ "$(marks)" -eq 1 ] || fail "the killed job's mark tool ran"
stop_service
start_service
wait_for "the start-up drain" quiet
[ "$(grep -c '^plim ' "$CALLS")" -eq 2 ] || fail "a killed job ran again"
pass
