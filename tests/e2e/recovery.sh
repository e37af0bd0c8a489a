#!/bin/bash
# What survives a crash: the job named in the in-progress file runs again first, temporary
# files from an interrupted rewrite are never taken for the real ones, a killed worker takes its
# tool with it, and a queue that cannot be rewritten loses nothing and runs nothing.
source "$(dirname "$0")/lib.sh"

say "the in-progress job runs before the queue; stale temporary files are not used"
printf 'x\n' >"$ACTIVE"
printf 'q1\nq2\n' >"$QUEUE"
printf 'stale\n' >"$QUEUE.tmp"
printf 'ghost\n' >"$ACTIVE.tmp"
printf 'gone\n' >"$DONE.tmp"
start_service
wait_idle 3
expect_file "$CALLS" <(job_calls x; job_calls q1; job_calls q2)
expect_file "$DONE" <(printf 'x\nq1\nq2\n')

say "a queue that cannot be rewritten: one error line, no job, nothing lost"
mkdir -p "$QUEUE.tmp/keep"
printf 'q3\n' >"$QUEUE"
send 25252 1
wait_for "the error line" test -s /hdd/plimd.out
expect_file /hdd/plimd.out <(printf 'Error: /hdd/plim/files/queue.txt\n')
expect_file "$QUEUE" <(printf 'q3\n')
expect_file "$ACTIVE" /dev/null
[ "$(marks)" -eq 3 ] || fail "a job ran for an entry that stayed queued"
rm -r "$QUEUE.tmp"
send 25252 1
wait_idle 4
expect_file "$DONE" <(printf 'x\nq1\nq2\nq3\n')

say "killing the worker mid-job kills its tool, and a restart runs the job again"
hold_job victim
plimd_pids | grep -qx "$WORKER" || fail "the tool's parent $WORKER is not a plimd process"
kill -KILL "$WORKER"
wait_for "the tool to die with its worker" dead "$TOOL"
rm /hdd/hold
sleep 0.3 # the tool would print its lines now, had it survived
victim_start=$(printf '>>>>>>>> plim start victim\n*************** plim ***************\n')
expect_file "$LOG" <(job_log x; job_log q1; job_log q2; job_log q3; printf '%s\n' "$victim_start")
expect_file "$ACTIVE" <(printf 'victim\n')
stop_service
start_service
wait_idle 5
expect_file "$CALLS" <(
  for n in x q1 q2 q3; do job_calls $n; done
  job_calls victim | head -n 1
  job_calls victim
)
expect_file "$LOG" <(job_log victim)
expect_file "$DONE" <(printf 'x\nq1\nq2\nq3\nvictim\n')
work_dirs_gone

say "a second service on the same files waits for the first one's drain to end"
hold_job one two
(cd /hdd && exec "$PLIMD" </dev/null >>/hdd/plimd.out 2>>/hdd/plimd.err) || fail "second launcher"
wait_for "the second worker to wait for the drain lock" grep -q -- '-> FLOCK' /proc/locks
[ "$(grep -c "^plim " "$CALLS")" -eq 7 ] || fail "a second job started beside the first"
rm /hdd/hold
wait_idle 7
expect_file "$DONE" <(printf 'x\nq1\nq2\nq3\nvictim\none\ntwo\n')
grep -q ' dirs=2' "$CALLS" && fail "two work folders existed at once"
pass
