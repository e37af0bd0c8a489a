#!/bin/bash
# plimctl against the service: status's exit status (0 running, 1 a process missing, 3 not
# running) and the warnings while the service does not run or is paused, one of each (every
# command says them through the same call); wait without --timeout goes on waiting. Pause and resume: the
# job in progress finishes, no other starts, not on a trigger and not after a restart (not even
# the rerun of a cut job), and resume drains the queue, the cut job first; add --first puts
# names at the head.
source "$(dirname "$0")/../lib.sh"

# status_is STATUS FIRST_LINE: plimctl status exits with STATUS and its first line reads so.
status_is() {
  expect_rc "$1" "$PLIMCTL" status
  [ "$(head -n1 "$SCRATCH/out")" = "$2" ] || fail "status: $(head -n1 "$SCRATCH/out")"
}

say "without a service: status 3, add warns, and wait goes on waiting"
status_is 3 "service: not running"
expect_rc 0 "$PLIMCTL" add early
err_has "plimctl: warning: plimd is not running; no job starts until it is started"
"$PLIMCTL" wait early 2>/dev/null &
waiter=$!

say "with the service: status 0; the waiting wait ends once early is done"
start_service
status_is 0 "service: running (listener $(cut -d' ' -f1 /run/plimd.pid), worker $(cut -d' ' -f2 /run/plimd.pid))"
wait "$waiter" || fail "wait for early exited $?"

say "pause lets the job in progress finish and starts no other; add --first queues at the head"
hold_job first second third
"$PLIMCTL" pause || fail "pause"
"$PLIMCTL" add --first late later 2>/dev/null || fail "add --first"
rm /hdd/hold
wait_for "the held job to finish" eval '[ "$(marks)" -eq 2 ]'
wait_for "the drain to stop" waiting_for_trigger "$WORKER"
expect_file "$QUEUE" <(printf 'late\nlater\nsecond\nthird\n')

say "neither a trigger, which says so, nor a restart starts a job while paused, not even a cut one"
expect_rc 0 "$PLIMCTL" trigger
err_has "plimctl: warning: plimd is paused ($FILES/paused exists); no job starts until 'plimctl resume'"
stop_service
printf 'cut\n' >"$ACTIVE"
start_service
wait_for "the start-up drain to stop" quiet
[ "$(marks)" -eq 2 ] || fail "a job ran while paused"
expect_file "$QUEUE" <(printf 'late\nlater\nsecond\nthird\n')
expect_file "$ACTIVE" <(printf 'cut\n')

say "resume removes the mark and drains the queue, the cut job first"
"$PLIMCTL" resume || fail "resume"
expect_absent "$FILES/paused"
wait_idle 7
expect_file "$DONE" <(printf '%s\n' early first cut late later second third)
"$PLIMCTL" history --json cut | grep -qF '"rerun":true' || fail "cut was not recorded as a rerun"

say "one process missing: status 1"
read -r listener worker _ </run/plimd.pid
# Stopped, the listener cannot start the worker again.
kill -STOP "$listener"
kill -KILL "$worker"
wait_for "the worker to end" eval '! grep -qs "^State:[[:space:]]*[RS]" /proc/'"$worker"'/status'
status_is 1 "service: listener $listener running, worker missing"
pass
