#!/bin/bash
# plimctl pause and resume against the service: the job in progress finishes, no other starts,
# not on a trigger and not after a restart (not even the rerun of a cut job), and resume drains
# the queue, the cut job first.
source "$(dirname "$0")/../lib.sh"

start_service
hold_job first second third

say "pause lets the job in progress finish and starts no other"
"$PLIMCTL" pause || fail "pause"
expect_stat %a 644 "$FILES/paused"
rm /hdd/hold
wait_for "the held job to finish" eval '[ "$(marks)" -eq 1 ]'
wait_for "the drain to stop" waiting_for_trigger "$WORKER"
expect_file "$QUEUE" <(printf 'second\nthird\n')

say "neither a trigger nor a restart starts a job while paused, not even a cut one"
"$PLIMCTL" trigger || fail "trigger"
stop_service
printf 'cut\n' >"$ACTIVE"
start_service
wait_for "the start-up drain to stop" quiet
[ "$(marks)" -eq 1 ] || fail "a job ran while paused"
expect_file "$QUEUE" <(printf 'second\nthird\n')
expect_file "$ACTIVE" <(printf 'cut\n')

say "resume removes the mark and drains the queue"
"$PLIMCTL" resume || fail "resume"
expect_absent "$FILES/paused"
wait_idle 4
expect_file "$DONE" <(printf 'first\ncut\nsecond\nthird\n')
"$PLIMCTL" history --json cut | grep -qF '"rerun":true' || fail "cut was not recorded as a rerun"
pass
