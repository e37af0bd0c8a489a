#!/bin/bash
# plimctl kill against the service: it ends the job in progress only, and only for root; a tool
# that dies of SIGTERM ends at once, one deaf to it by SIGKILL 5 s later; the killed job is
# recorded as killed, listed as done, its mark tool not run, and it does not run again, not after
# a restart either; the next queued name runs. The worker acts only on a request that names the
# job it runs, and its signal neither ends nor wakes an idle worker.
source "$(dirname "$0")/../lib.sh"

analysed() { grep -c "^plim .*\[/tmp/plim/tmp/$1.rec\]" "$CALLS"; }
record_of() { grep -F "\"name\":\"$1\"" "$FILES/history" | tail -1; }

# SIGUSR1 (10) is pending for process $1: blocked, so it has not ended or woken it.
usr1_pending() {
  local mask
  for mask in $(awk '/^(SigPnd|ShdPnd):/ { print $2 }' "/proc/$1/status" 2>/dev/null); do
    [ $((16#$mask & 0x200)) -ne 0 ] && return 0
  done
  return 1
}

start_service
wait_idle 0
read -r _ IDLE_WORKER _ </run/plimd.pid

say "the kill signal waits, blocked, in an idle worker: it neither ends nor wakes it"
kill -USR1 "$IDLE_WORKER"
wait_for "the signal to wait in the worker" usr1_pending "$IDLE_WORKER"
waiting_for_trigger "$IDLE_WORKER" || fail "the signal woke the idle worker"

say "kill refuses a name not in progress and a caller who is not root; nothing ends"
# The pending signal reaches the first job's wait too, and must not end it.
hold_job first second third
for name in second nothing; do
  expect_rc 1 "$PLIMCTL" kill "$name"
  err_has "\"$name\" is not the job in progress"
done
expect_rc 1 as_nobody "$PLIMCTL" kill first
err_has "only root"
alive "$TOOL" || fail "a refused kill ended the job"

say "a request that names another job, read when the signal comes, ends nothing"
attach -e trace=openat,kill
printf 'other' >/run/plimd.kill
chmod 600 /run/plimd.kill
kill -USR1 "$WORKER"
wait_for "the worker to read the request" grep -qF '/run/plimd.kill' "$TRACE"
wait_for "the worker to wait for its tool again" grep -q poll "/proc/$WORKER/wchan"
detach
grep -qE '^kill\(-' "$TRACE" && fail "the worker signalled the tool: $(grep kill "$TRACE")"
alive "$TOOL" || fail "a request for another job ended this one"

say "kill ends a tool that dies of SIGTERM; the next queued job starts"
touch /hdd/deaf
rm -f /hdd/plim.pid
expect_rc 0 "$PLIMCTL" kill first
out_has "  killed  killed / not run  first"
dead "$TOOL" || fail "the killed tool runs on"
wait_for "the next job's tool" test -f /hdd/plim.pid
read -r TOOL WORKER </hdd/plim.pid

say "kill ends a tool deaf to SIGTERM with SIGKILL 5 s later"
expect_rc 0 "$PLIMCTL" kill second
out_has "  killed  killed / not run  second"
seconds=$(record_of second | sed 's/.*"seconds":\([0-9.]*\).*/\1/')
awk -v s="$seconds" 'BEGIN { exit !(s >= 5) }' || fail "SIGKILL came after $seconds s, not 5"
rm /hdd/deaf /hdd/hold
wait_for "the third job" job_done third

say "killed jobs: recorded, done, their mark tool not run, not run again after a restart"
expect_file "$DONE" <(printf 'first\nsecond\nthird\n')
[ "$(marks_of first)" -eq 0 ] && [ "$(marks_of second)" -eq 0 ] && [ "$(marks_of third)" -eq 1 ] ||
  fail "marks: $(marks_of first) $(marks_of second) $(marks_of third)"
for name in first second; do
  record_of "$name" | grep -F '"analysis":{"end":"killed"},"mark":{"end":"not run"}' |
    grep -qF '"outcome":"killed"' || fail "the record of $name: $(record_of "$name")"
done
[ "$("$PLIMCTL" history | grep -c '  killed  killed / not run  ')" -eq 2 ] || fail "history"
status_has 'since start: 1 ok, 0 failed, 0 time limit, 2 killed'
status_json_has '"since_start":{"ok":1,"failed":0,"time limit":0,"killed":2}'
expect_absent /run/plimd.kill
stop_service
start_service
wait_for "the start-up drain" quiet
[ "$(analysed first)" -eq 1 ] && [ "$(analysed second)" -eq 1 ] || fail "a killed job ran again"
[ ! -s "$ACTIVE" ] || fail "in progress after the restart: $(cat "$ACTIVE")"
pass
