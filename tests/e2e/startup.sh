#!/bin/bash
# Start-up: the launcher returns at once and leaves a listener and a worker behind; the log is
# cut; the worker drains the queue without waiting for a datagram, one framed job per entry.
# Names are data: none is taken as shell syntax, a format directive or an option.
# shellcheck disable=SC2016 # the names below are meant literally
source "$(dirname "$0")/../lib.sh"

say "an idle start cuts the log, drops stale temporary files, creates an empty queue"
printf 'old text\n' >"$LOG"
for f in "$QUEUE" "$ACTIVE" "$DONE"; do printf 'stale\n' >"$f.tmp"; done
# An older release's instance lock, open to all, that a user still holds locked: the lock now
# lives in root's /run, and the old one is never opened again.
install -m 666 -o nobody /dev/null "$FILES/plimd.lock"
setpriv --reuid=65534 --regid=65534 --clear-groups flock "$FILES/plimd.lock" sleep 600 &
wait_for "the user's lock on the old file" grep -qE "FLOCK +ADVISORY +WRITE +$! " /proc/locks
start_service
wait_for "the start-up drain to create the queue file" test -f "$QUEUE"
for f in "$LOG" "$QUEUE" "$CALLS"; do expect_file "$f" /dev/null; done
for f in "$ACTIVE" "$QUEUE.tmp" "$ACTIVE.tmp" "$DONE.tmp"; do expect_absent "$f"; done
# Anyone who could open the instance lock could hold off every job by locking it.
expect_stat '%u %a %F' "0 600 regular empty file" /run/plimd.lock
stop_service

say "the launcher returns while the start-up drain's first job is still running"
omega='-rf $(touch pwned) 50%s %n'
printf 'alpha\n<ERROR>\nNews 20:15 / Part 2.\n%s\n' "$omega" >"$QUEUE"
touch /hdd/hold
exec 7>/hdd/leak
start_service
exec 7>&-
wait_for "the first job's analysis tool" test -f /hdd/plim.pid
read -r _ worker </hdd/plim.pid
wait_for "listener and worker beside the tool" plimd_count_is 2
plimd_pids | grep -qx "$worker" || fail "the tool's parent $worker is not a plimd process"
for pid in $(plimd_pids); do
  [ -z "$(find "/proc/$pid/fd" -lname /hdd/leak)" ] ||
    fail "a descriptor of the launching shell reached plimd process $pid"
done
expect_file "$ACTIVE" <(printf 'alpha\n')

say "three queued names run in queue order with exact arguments, links and log records"
grep -q /hdd/leak /hdd/plim.fds && fail "a descriptor of the launching shell reached the tool"
rm /hdd/hold
wait_idle 3
converted="News 20_15 _ Part 2_"
expect_file "$CALLS" <(job_calls alpha; job_calls "$converted"; job_calls "$omega")
expect_file "$LOG" <(job_log alpha; job_log "$converted"; job_log "$omega")
expect_file "$DONE" <(printf 'alpha\nNews 20:15 / Part 2.\n%s\n' "$omega")
[ -z "$(find /hdd /tmp/plim -name pwned)" ] || fail "a name was run as a command"
expect_file "$ACTIVE" /dev/null
work_dirs_gone
# The tools run as root in these folders: no one else may swap what is in them.
expect_stat '%u %a' "0 755 0 755" /tmp/plim /tmp/plim/tmp
# The mark tool's stderr goes to the service's stderr; stdout stays silent.
expect_file /hdd/plimd.err <(printf 'plim_mark: stderr %s\n' alpha "$converted" "$omega")
expect_file /hdd/plimd.out /dev/null
pass
