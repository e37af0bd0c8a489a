#!/bin/bash
# plimctl against the service: status's exit status (0 running, 1 a process missing, 3 not
# running) and the warnings of add, trigger and wait while the service does not run or is
# paused; wait without --timeout says so at once and goes on waiting. Pause and resume: the job in
# progress finishes, no other starts, not on a trigger and not after a restart (not even the
# rerun of a cut job), and resume drains the queue, the cut job first.
source "$(dirname "$0")/../lib.sh"

# status_is STATUS FIRST_LINE: plimctl status exits with STATUS and its first line reads so.
status_is() {
  expect_rc "$1" "$PLIMCTL" status
  [ "$(head -n1 "$SCRATCH/out")" = "$2" ] || fail "status: $(head -n1 "$SCRATCH/out")"
  expect_rc "$1" "$PLIMCTL" status --json
}

# warns STATUS WHAT COMMAND...: the command exits with STATUS, as before, and says WHAT on stderr.
warns() {
  expect_rc "$1" "$PLIMCTL" "${@:3}"
  err_has "$2"
}

say "without a service: status 3, and add, trigger and wait say that it does not run"
status_is 3 "service: not running"
not_running="plimctl: warning: plimd is not running; no job starts until it is started"
warns 0 "$not_running" add early
warns 1 "$not_running" trigger # nothing listens either
"$PLIMCTL" wait early 2>"$SCRATCH/wait.err" &
waiter=$!
wait_for "wait to say why early does not move" grep -qxF "$not_running" "$SCRATCH/wait.err"
alive "$waiter" || fail "wait without --timeout ended: $(cat "$SCRATCH/wait.err")"

say "with the service: status 0; the waiting wait ends once early is done"
start_service
status_is 0 "service: running (listener $(cut -d' ' -f1 /run/plimd.pid), worker $(cut -d' ' -f2 /run/plimd.pid))"
wait "$waiter" || fail "wait for early exited $?: $(cat "$SCRATCH/wait.err")"
[ "$(grep -c warning "$SCRATCH/wait.err")" -eq 1 ] || fail "wait warned more than once"
touch /hdd/movie/quiet.ts
"$PLIMCTL" add quiet 2>"$SCRATCH/err" || fail "add"
[ ! -s "$SCRATCH/err" ] || fail "add to a running service said: $(cat "$SCRATCH/err")"
wait_idle 2

say "pause lets the job in progress finish and starts no other; add and wait say so"
hold_job first second third
"$PLIMCTL" pause || fail "pause"
expect_stat %a 644 "$FILES/paused"
paused="plimctl: warning: plimd is paused ($FILES/paused exists); no job starts until 'plimctl resume'"
warns 0 "$paused" add late
warns 124 "$paused" wait --timeout=0.2 late
rm /hdd/hold
wait_for "the held job to finish" eval '[ "$(marks)" -eq 3 ]'
wait_for "the drain to stop" waiting_for_trigger "$WORKER"
expect_file "$QUEUE" <(printf 'second\nthird\nlate\n')

say "neither a trigger, which says so, nor a restart starts a job while paused, not even a cut one"
warns 0 "$paused" trigger
stop_service
printf 'cut\n' >"$ACTIVE"
start_service
wait_for "the start-up drain to stop" quiet
[ "$(marks)" -eq 3 ] || fail "a job ran while paused"
expect_file "$QUEUE" <(printf 'second\nthird\nlate\n')
expect_file "$ACTIVE" <(printf 'cut\n')

say "resume removes the mark and drains the queue, the cut job first"
"$PLIMCTL" resume || fail "resume"
expect_absent "$FILES/paused"
wait_idle 7
expect_file "$DONE" <(printf '%s\n' early quiet first cut second third late)
"$PLIMCTL" history --json cut | grep -qF '"rerun":true' || fail "cut was not recorded as a rerun"

say "one process missing: status 1"
read -r listener worker _ </run/plimd.pid
# Stopped, the listener cannot start the worker again.
kill -STOP "$listener"
kill -KILL "$worker"
wait_for "the worker to end" eval '! grep -qs "^State:[[:space:]]*[RS]" /proc/'"$worker"'/status'
status_is 1 "service: listener $listener running, worker missing"
warns 0 "plimctl: warning: plimd's worker is missing" add last
stop_service
status_is 3 "service: not running"
pass
