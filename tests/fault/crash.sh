#!/bin/bash
# A crash at every point of a drain: the worker is killed at the Nth call of each kind that
# touches a file, for every N until a drain runs through; after each crash the service restarts
# and finishes. No name may be lost, none may run more than once beyond the one job that the
# crash cut short, and the job list files must hold whole versions at the instant of the crash.
source "$(dirname "$0")/../lib.sh"

NAMES=(alpha beta gamma delta omega)
step=$((FULL ? 1 : 7)) # the quick run takes every 7th point, starting at a different one per call

points=0 extra=0 first=1
for call in openat write fsync rename; do
  for ((n = first; ; n += step)); do
    queue_and_attach -e trace="$call" -e inject="$call:signal=KILL:when=$n"
    send 25252 1
    wait_for "the drain to crash or end" eval "dead $WORKER || idle ${#NAMES[@]}"
    # The folder's last flush follows the last rewrite: the drain is over only in the pipe.
    wait_for "the worker to die or wait" eval "dead $WORKER || waiting_for_trigger $WORKER"
    alive "$WORKER" && { detach; break; }
    wait "$TRACER"
    points=$((points + 1))
    expect_whole_files
    # The listener starts a new worker at once, which runs the cut job again; a stop in the
    # middle of that would be a second interruption, so the restart below waits for it.
    wait_for "the new worker's drain" settled
    stop_service
    start_service
    wait_for "the restarted service to finish" settled
    expect_whole_files clean
    count_extra_runs
    [ "$RUNS" -le 1 ] || fail "$RUNS extra runs after one crash at $call #$n"
    extra=$((extra + RUNS))
  done
  [ "$n" -gt 1 ] || fail "no $call in a whole drain: the crash points were not reached"
  first=$((first % step + 1))
done
figure 1 "$points crash points (openat, write, fsync, rename of the worker) in a drain of \
${#NAMES[@]} names, each followed by a restart" \
  "0 names lost, 0 cut files, $extra extra runs (at most one per crash)"
pass
