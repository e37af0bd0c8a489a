#!/bin/bash
# Trigger datagrams, and producers that hold the queue: locked or kept open. While a directory
# occupies the queue's temporary path, every drain fails to rewrite the queue and prints one
# error line, which makes the drains countable.
source "$(dirname "$0")/../lib.sh"

errors() { grep -cx 'Error: /hdd/plim/files/queue.txt' /hdd/plimd.out; }

say "only a first byte \"1\" drains: \"0\", \"x\" and an empty datagram do not, \"123\" once"
mkdir -p "$QUEUE.tmp/keep"
printf 'stuck\n' >"$QUEUE"
start_service
wait_for "the start-up drain" eval '[ "$(errors)" -eq 1 ]'
# The empty datagram follows a "1": it must not be read as the byte before it.
send 25252 0 x 123 '' 1
wait_for "the datagrams to be drained" quiet
[ "$(errors)" -eq 3 ] || fail "expected 3 drains, counted $(errors)"
expect_file "$QUEUE" <(printf 'stuck\n')

say "ten datagrams during a long job give ten more drains after it"
rm -r "$QUEUE.tmp"
hold_job
mkdir -p "$QUEUE.tmp/keep"
printf 'later\n' >>"$QUEUE"
send 25252 1 1 1 1 1 1 1 1 1 1
rm /hdd/hold
# Until the job is over, the worker also waits in a pipe read while each tool starts.
wait_for "the held job to end" job_done stuck
wait_for "the rest of that drain and ten more" quiet
[ "$(errors)" -eq 14 ] || fail "expected 14 drains, counted $(errors)"
rm -r "$QUEUE.tmp"
run_jobs 2

say "a datagram that finds nothing to do does not wake the worker"
runs() { awk '{ print $3 }' "/proc/$1/schedstat"; }      # times put on a CPU
writes() { awk '/^syscw:/ { print $2 }' "/proc/$1/io"; } # write calls
read -r LISTENER WORKER _ </run/plimd.pid
worker_runs=$(runs "$WORKER")
send 25252 1
wait_for "the datagram to be taken" quiet
[ "$(runs "$WORKER")" = "$worker_runs" ] || fail "a datagram that found nothing woke the worker"

say "a datagram passed on during a job finds nothing after it: two stats in the worker's drain"
hold_job during
attach
listener_writes=$(writes "$LISTENER")
send 25252 1
# Passed on only while the job is still in progress.
wait_for "the datagram passed on" eval '[ "$(writes "$LISTENER")" -gt "$listener_writes" ]'
rm /hdd/hold
read_trigger='^read[(].*"1", [0-9]+[)] += 1$'
wait_for "the worker's drain for the datagram" eval \
  "grep -EA9 '$read_trigger' $TRACE | grep -q '^read('"
detach
drain_calls=$(awk -v from="$read_trigger" '$0 ~ from { on = 1; next } /^read[(]/ { on = 0 } on' "$TRACE")
[ "$(grep -c . <<<"$drain_calls")" = 2 ] &&
  grep -qF "newfstatat(AT_FDCWD, \"$QUEUE\"" <<<"$drain_calls" &&
  grep -qF "newfstatat(AT_FDCWD, \"$ACTIVE\"" <<<"$drain_calls" ||
  fail "the worker's drain for nothing made other calls than a stat of the queue and of the in-progress file: $drain_calls"
printf 'quiet\n' >>"$QUEUE" # queued without a trigger: the next trigger takes it
run_jobs 4
rm "$QUEUE"
send 25252 1
wait_for "the missing queue file to be made" test -f "$QUEUE"
expect_file "$DONE" <(printf 'stuck\nlater\nduring\nquiet\n')
figure 7 "datagrams that find nothing, a name queued without a trigger, a removed queue file" \
  "0 worker wake-ups; 2 stats in the drain of one passed on during a job; 0 locks, reads or names missed"

say "a held folder lock holds a drain up 3 s at most, named; a line its holder writes later is not lost"
# The producer: flock holds the lock for this shell, which appends a name, triggers, and keeps
# the queue open.
hold_folder_lock 60
exec 9>>"$QUEUE"
printf 'held\n' >&9
send 25252 1
wait_for "the message" grep -qF \
  "plimd: waited 3 s for the lock on $FILES, held by process $HOLDER (flock); going on without it" \
  /hdd/plimd.err
wait_for "the job held to run while the lock is held" eval '[ "$(marks_of held)" -eq 1 ]'
# Written into the queue file that the drain replaced, then triggered as producers do.
printf 'late\n' >&9
exec 9>&-
release_folder_lock
send 25252 1
wait_idle 6
[ "$(marks_of late)" -eq 1 ] || fail "the line written under the lock did not run once"
figure 4 "a producer that holds the folder lock while a name waits" \
  "a drain held up 3 s at most, the holder's PID and command on the worker's stderr; 0 lines lost"


say "a writer that holds every new queue file open delays the jobs once; what it writes later runs"
# Opens each queue file it sees for writing and keeps it; once asked, writes a name into the
# first, by then a replaced file.
hold_every_queue() {
  local inode seen='' first=''
  until [ -e "$SCRATCH/stop" ]; do
    inode=$(stat -c %i "$QUEUE" 2>/dev/null) || inode=$seen
    [ "$inode" = "$seen" ] || { exec {fd}>>"$QUEUE" && seen=$inode first=${first:-$fd}; }
    [ ! -e "$SCRATCH/write" ] || { printf 'straggler\n' >&"$first" && rm "$SCRATCH/write"; }
    sleep 0.01
  done
}
hold_every_queue &
holder=$!
holds_queue() { stat -L -c %i "/proc/$holder/fd/"* 2>/dev/null | grep -qx "$(stat -c %i "$QUEUE")"; }
wait_for "the writer to hold the queue" holds_queue
run_jobs 10 w1 w2 w3 w4
touch "$SCRATCH/write"
wait_for "the late name written" eval '[ ! -e "$SCRATCH/write" ]'
run_jobs 11
[ "$(marks_of straggler)" -eq 1 ] || fail "the name written into a replaced file did not run once"
touch "$SCRATCH/stop"
pass
