#!/bin/bash
# What survives a crash: a killed worker takes its tool and the tool's children with it and is
# replaced at once, and reruns the job; so is a killed listener, keeping the service's start; a
# second service does not start. That the in-progress job runs first after a crash is the crash
# scenario's.
source "$(dirname "$0")/../lib.sh"

start_service

say "a killed worker takes its tool and the tool's child along; a new one reruns the job at once"
touch /hdd/spawn
hold_job victim
read -r orphan </hdd/spawn.pid
kill -KILL "$WORKER"
wait_for "the tool to die with its worker" dead "$TOOL"
wait_for "the tool's child to die with its worker" dead "$orphan"
wait_for "a new worker's tool" eval '[ "$(cut -d" " -f1 /hdd/plim.pid)" != "$TOOL" ]'
read -r TOOL WORKER </hdd/plim.pid
read -r orphan </hdd/spawn.pid
grep -q "plimd: worker [0-9]* ended (killed by signal 9); starting a new one" /hdd/plimd.err ||
  fail "the restart was not reported"
rm /hdd/hold /hdd/spawn
wait_idle 1
wait_for "the tool's child to end with the job" dead "$orphan"
expect_file "$CALLS" <(job_calls victim | head -n 1; job_calls victim)
expect_file "$LOG" <(printf '>>>>>>>> plim start victim\n*************** plim ***************\n'
  job_log victim)
work_dirs_gone

say "a killed listener is replaced, keeping the service's start; its worker reruns a cut job too"
read -r listener _ started _ </run/plimd.pid
# A new listener that took its own time would then differ.
wait_for "a second past the start" eval '[ "$(date +%s)" -gt "$started" ]'
kill -KILL "$listener"
wait_for "a new listener" eval '[ "$(cut -d" " -f1 /run/plimd.pid)" != "$listener" ]'
[ "$(cut -d' ' -f3 /run/plimd.pid)" = "$started" ] || fail "start $started became $(cat /run/plimd.pid)"
wait_for "the new listener on its port" udp_bound 25252
hold_job again
kill -KILL "$WORKER"
rm /hdd/hold
wait_idle 2
expect_file "$DONE" <(printf 'victim\nagain\n')
[ "$(grep -c '^plim .*/again.rec' "$CALLS")" -eq 2 ] || fail "the cut job was not run again"

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
pass
