#!/bin/bash
# Start-up and the jobs it leaves to run: the launcher returns at once and leaves a listener and a
# worker behind; the log is kept as plim.log.1 and cut, a link planted in its place left alone;
# the worker drains the queue without waiting for a datagram, one framed job per entry; the
# configuration names the port at start and the index flag afresh for each job. Names are data:
# none is taken as shell syntax, a format directive or an option. The service starts under a
# umask of 077 throughout: what it makes for others must be open to them anyway.
# shellcheck disable=SC2016 # the names below are meant literally
source "$(dirname "$0")/../lib.sh"
umask 077

say "an idle start on port 4000 keeps and cuts the log, drops stale temporary files, makes a queue"
printf 'word 4000 0\n' >"$FILES/plim.conf"
printf 'old text\n' >"$LOG"
for f in "$QUEUE" "$ACTIVE" "$DONE"; do printf 'stale\n' >"$f.tmp"; done
# An older release's instance lock, open to all, that a user still holds locked: the lock now
# lives in root's /run, and the old one is never opened again.
install -m 666 -o nobody /dev/null "$FILES/plimd.lock"
setpriv --reuid=65534 --regid=65534 --clear-groups flock "$FILES/plimd.lock" sleep 600 &
wait_for "the user's lock on the old file" grep -qE "FLOCK +ADVISORY +WRITE +$! " /proc/locks
start_service 4000
wait_for "the start-up drain to create the queue file" test -f "$QUEUE"
for f in "$LOG" "$QUEUE" "$CALLS"; do expect_file "$f" /dev/null; done
expect_file "$LOG.1" <(printf 'old text\n')
for f in "$ACTIVE" "$QUEUE.tmp" "$ACTIVE.tmp" "$DONE.tmp"; do expect_absent "$f"; done
# Anyone who could open the instance lock could hold off every job by locking it.
expect_stat '%u %a %F' "0 600 regular empty file" /run/plimd.lock
expect_stat %a 666 "$QUEUE"
stop_service

say "the launcher returns while the start-up drain's first job is still running"
omega='-rf $(touch pwned) 50%s %n'
converted="News 20_15 _ Part 2_"
printf 'alpha\n<ERROR>\nNews 20:15 / Part 2.\n%s\n' "$omega" >"$QUEUE"
printf 'stream\n' >/hdd/movie/alpha.ts
for name in alpha "$converted"; do printf 'old index\n' >"/hdd/movie/$name.ts.idx"; done
touch /hdd/hold
exec 7>/hdd/leak
start_service 4000
exec 7>&-
wait_for "the first job's analysis tool" test -f /hdd/plim.pid
read -r _ worker </hdd/plim.pid
wait_for "listener and worker beside the tool" plimd_count_is 2
plimd_pids | grep -qx "$worker" || fail "the tool's parent $worker is not a plimd process"
[ -z "$(for pid in $(plimd_pids); do find "/proc/$pid/fd" -lname /hdd/leak; done)" ] ||
  fail "a descriptor of the launching shell reached a plimd process"
expect_file "$ACTIVE" <(printf 'alpha\n')

say "queued names run in order with exact arguments, links and log records; the index flag is read for each job"
grep -q /hdd/leak /hdd/plim.fds && fail "a descriptor of the launching shell reached the tool"
printf 'word 4000 1\n' >"$FILES/plim.conf"
rm /hdd/hold
wait_idle 3
expect_file "$CALLS" <(job_calls alpha; job_calls "$converted" "/hdd/movie/$converted.ts.idx size=0"
  job_calls "$omega" "/hdd/movie/$omega.ts.idx size=0")
expect_file "$LOG" <(job_log alpha; job_log "$converted"; job_log "$omega")
expect_file "$DONE" <(printf 'alpha\nNews 20:15 / Part 2.\n%s\n' "$omega")
[ -z "$(find /hdd /tmp/plim -name pwned)" ] || fail "a name was run as a command"
work_dirs_gone
# With the flag 0 the old index goes; with 1 a fresh one, written through the link, outlives
# the job, for everyone to write. The recording itself is never touched.
expect_absent /hdd/movie/alpha.ts.idx
expect_file "/hdd/movie/$converted.ts.idx" <(printf 'index\n')
expect_file /hdd/movie/alpha.ts <(printf 'stream\n')
expect_stat %a "666 666 666" "/hdd/movie/$converted.ts.idx" "$ACTIVE" "$DONE"
# The tools run as root in these folders: no one else may swap what is in them.
expect_stat '%u %a' "0 755 0 755" /tmp/plim /tmp/plim/tmp
# The mark tool's stderr goes to the service's stderr.
expect_file /hdd/plimd.err <(printf 'plim_mark: stderr %s\n' alpha "$converted" "$omega")

say "a link planted as plim.log is left alone"
stop_service
printf 'target\n' >/hdd/target
rm "$LOG" && ln -s /hdd/target "$LOG"
start_service 4000
expect_file /hdd/target <(printf 'target\n')
[ -L "$LOG" ] || fail "the link planted as plim.log was moved"
pass
