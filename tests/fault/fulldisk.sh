#!/bin/bash
# Rewrites that fail, as on a full disk: the in-progress file that cannot be emptied after a job,
# and fsync or rename failing from their Kth call in a drain on. A failed rewrite must leave the
# old file whole and no temporary file, the worker must go back to sleep, and once the fault is
# gone the next drain must process every name.
source "$(dirname "$0")/../lib.sh"

errors() { grep -c '^Error: ' /hdd/plimd.out 2>/dev/null; }
not_emptied() { grep -c "^plimd: cannot empty $ACTIVE" /hdd/plimd.err 2>/dev/null; }
# Every drain under a fault that lasts ends in one of the two reports.
reports() { echo $(($(errors) + $(not_emptied))); }
# No name lost: each one processed, queued or in progress.
expect_kept() {
  local name
  for name in "${NAMES[@]}"; do
    [ "$(marks_of "$name")" -ge 1 ] || grep -qxF "$name" "$QUEUE" "$ACTIVE" || fail "$name is lost"
  done
}
# After the fault is gone, one trigger processes everything that is left.
expect_recovery() {
  send 25252 1
  wait_for "the queue to drain once the fault is gone" settled
  expect_whole_files clean
  count_extra_runs
  [ "$RUNS" -le 1 ] || fail "$RUNS extra runs after one fault"
  extra=$((extra + RUNS))
}

extra=0
NAMES=(n1 n2 n3)

say "the in-progress file cannot be emptied after a job: later triggers neither rerun the job \
nor list it again as done, and the next one after the fault empties it"
start_service
hold_job once
mkdir -p "$ACTIVE.tmp/keep" # makes every rewrite of the in-progress file fail
rm /hdd/hold
wait_for "the message" eval '[ "$(not_emptied)" -ge 1 ]'
# The start-up drain may have taken the name before the trigger did; its drain says it again.
wait_for "the worker back at its pipe" waiting_for_trigger "$WORKER"
stuck_drains=$(($(not_emptied) + 2))
send 25252 1 1
wait_for "two more drains" eval '[ "$(not_emptied)" -eq "$stuck_drains" ]'
wait_for "the worker to wait for a trigger" quiet
rm -r "$ACTIVE.tmp"
send 25252 1
wait_for "the in-progress file to be emptied" settled
[ "$(marks_of once)" -eq 1 ] || fail "the job ran $(marks_of once) times"
expect_file "$DONE" <(printf 'once\n')

injected=0
for fault in fsync:EIO rename:EXDEV rename:EIO; do
  call=${fault%:*}
  for ((k = 1; ; k += FULL ? 1 : 4)); do
    queue_and_attach -e trace="$call" -e inject="$call:error=${fault#*:}:when=$k+"
    send 25252 1
    wait_for "the first failed $call, or the whole drain" \
      eval "grep -q INJECTED '$TRACE' || idle ${#NAMES[@]}"
    wait_for "the end of the drain" waiting_for_trigger "$WORKER"
    grep -q INJECTED "$TRACE" || break
    injected=$((injected + 1))
    # A drain while the fault lasts must not run again a job that is done.
    drains=$(reports)
    send 25252 1
    wait_for "a drain under the fault" eval '[ "$(reports)" -gt "$drains" ]'
    wait_for "the worker to wait for a trigger" quiet
    expect_whole_files clean
    expect_kept
    detach
    expect_recovery
  done
done
figure 3 "$injected drains with fsync or rename failing from one \
call on, each and a second drain; $stuck_drains drains after a failed emptying" "0 names lost, \
0 cut files or temporary files left, $extra extra runs (one per fault at most), 0 reruns"
pass
