#!/bin/bash
# What survives a crash: the job named in the in-progress file runs again first, a killed worker
# takes its tool and the tool's children with it and is replaced at once, and a second service
# does not start.
source "$(dirname "$0")/../lib.sh"

say "the in-progress job runs before the queue"
# Another user's lock file, which the service makes its own.
install -m 666 -o 65534 /dev/null "$FILES/plimd.lock"
printf 'x\n' >"$ACTIVE"
printf 'q1\nq2\n' >"$QUEUE"
start_service
wait_idle 3
expect_file "$CALLS" <(job_calls x; job_calls q1; job_calls q2)
expect_file "$DONE" <(printf 'x\nq1\nq2\n')

say "a killed worker takes its tool and the tool's child along; a new one reruns the job at once"
touch /hdd/spawn
hold_job victim
read -r orphan </hdd/spawn.pid
plimd_pids | grep -qx "$WORKER" || fail "the tool's parent $WORKER is not a plimd process"
kill -KILL "$WORKER"
wait_for "the tool to die with its worker" dead "$TOOL"
wait_for "the tool's child to die with its worker" dead "$orphan"
wait_for "a new worker's tool" eval '[ "$(cut -d" " -f1 /hdd/plim.pid)" != "$TOOL" ]'
read -r TOOL WORKER </hdd/plim.pid
read -r orphan </hdd/spawn.pid
grep -q "plimd: worker [0-9]* ended (killed by signal 9); starting a new one" /hdd/plimd.err ||
  fail "the restart was not reported"
rm /hdd/hold /hdd/spawn
wait_idle 4
wait_for "the tool's child to end with the job" dead "$orphan"
expect_file "$CALLS" <(
  for n in x q1 q2; do job_calls $n; done
  job_calls victim | head -n 1
  job_calls victim
)
victim_start=$(printf '>>>>>>>> plim start victim\n*************** plim ***************\n')
expect_file "$LOG" <(for n in x q1 q2; do job_log $n; done; printf '%s\n' "$victim_start"
  job_log victim)
expect_file "$DONE" <(printf 'x\nq1\nq2\nvictim\n')
work_dirs_gone

say "a second plimd says the service runs, exits non-zero, cuts no log, leaves no process"
cp "$LOG" "$SCRATCH/log"
read -r listener worker _ </run/plimd.pid
rc=0
(cd /hdd && exec "$PLIMD" </dev/null >>/hdd/plimd.out 2>/hdd/second.err) || rc=$?
[ "$rc" -ne 0 ] || fail "a second launcher returned 0"
expect_file /hdd/second.err <(printf 'plimd: already running (listener %s, worker %s)\n' \
  "$listener" "$worker")
expect_file "$LOG" "$SCRATCH/log"
plimd_count_is 2 || fail "expected two plimd processes, found: $(plimd_pids | xargs)"

say "the lock file is root's alone: another user's lock holds up no job"
[ "$(stat -c '%a %u' "$FILES/plimd.lock")" = "600 0" ] || fail "lock: $(stat -c '%a %u' "$FILES/plimd.lock")"
setpriv --reuid=65534 --regid=65534 --clear-groups flock -n "$FILES/plimd.lock" true 2>/dev/null &&
  fail "another user could lock plimd.lock"
printf 'after\n' >>"$QUEUE"
send 25252 1
wait_idle 5
pass
