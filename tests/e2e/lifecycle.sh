#!/bin/bash
# The service's life with plimctl, in one run: started after another user took /tmp/plim and the
# trigger port, it takes back what is its own, follows no link planted there, waits for what is
# not and loses no job; pause holds every start, a restart's rerun too, until resume; killed
# processes are replaced and rerun the cut job; a second plimd refuses; the init script takes
# the work folders back.
source "$(dirname "$0")/../lib.sh"

say "before the start: status 3, wait waits; nobody holds the port and links in an unsafe /tmp"
expect_rc 3 "$PLIMCTL" status
"$PLIMCTL" add early 2>/dev/null || fail "add"
"$PLIMCTL" wait early 2>/dev/null &
waiter=$!
# A /tmp of this scenario's own, at first without its sticky bit: nothing in it can be trusted.
# /tmp/plim is open to all, as a boot without the service's folder entry leaves it; nobody's
# link in it points at a root-only tree that a job must leave alone.
umount /tmp/plim
mount -t tmpfs -o mode=0777 tmpfs /tmp
mkdir -m 1777 /tmp/plim
mkdir -p -m 700 /hdd/victim/early.rec/secret && printf 'x\n' >/hdd/victim/early.rec/secret/shadow
as_nobody ln -s /hdd/victim /tmp/plim/tmp
python3 -c 'import os, signal, socket
os.setgid(65534), os.setuid(65534)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("", 25252))
signal.pause()' &
holder=$!
wait_for "the port holder" udp_bound 25252

say "the start waits out the unsafe /tmp, moves the link aside, runs the job; the port is retried"
start_service
wait_for "the refusal" grep -qF \
  "plimd: /tmp/plim is in a folder that others can write; no job runs until" /hdd/plimd.err
# The PID file may come after the refusal.
wait_for "the worker to wait" eval 'waiting_for_trigger "$(cut -d" " -f2 /run/plimd.pid 2>/dev/null)"'
expect_file "$QUEUE" <(printf 'early\n')
cant_bind="plimd: cannot bind UDP port 25252: Address already in use; trying again until it can"
wait_for "the listener to say why it waits" grep -qxF "$cant_bind" /hdd/plimd.err
chmod 1777 /tmp
WAIT_SECONDS=20 wait_for "the retry to run the job" job_done early
wait "$waiter" || fail "wait for early exited $?"
[ "$(cat /hdd/victim/early.rec/secret/shadow)" = x ] || fail "root removed files through the link"
moved=$(sed -n 's|^plimd: /tmp/plim/tmp is a link of user 65534; moved it to ||p' /hdd/plimd.err)
[ "$(readlink "$moved")" = /hdd/victim ] || fail "the link was not moved aside whole: $moved"
figure 6 "/tmp/plim/tmp planted by nobody as a link to a root-only tree, then a job" \
  "0 files removed through the link, 0 tools run through it: moved aside, 1 line on stderr"
[ "$(grep -cxF "$cant_bind" /hdd/plimd.err)" -eq 1 ] || fail "the bind failure was said more than once"
kill "$holder"
WAIT_SECONDS=70 wait_for "the port to be bound" grep -qxF \
  "plimd: UDP port 25252 is bound; triggers are taken again" /hdd/plimd.err

say "pause lets the job in progress finish and starts no other; add --first queues at the head"
hold_job first second third
"$PLIMCTL" pause || fail "pause"
"$PLIMCTL" add --first late later 2>/dev/null || fail "add --first"
rm /hdd/hold
wait_for "the held job to finish" eval '[ "$(marks)" -eq 2 ]'
wait_for "the drain to stop" waiting_for_trigger "$WORKER"
expect_file "$QUEUE" <(printf 'late\nlater\nsecond\nthird\n')

say "neither a trigger nor a restart starts a job while paused, not even a cut one"
"$PLIMCTL" trigger 2>/dev/null || fail "trigger"
stop_service
printf 'cut\n' >"$ACTIVE"
start_service
wait_for "the start-up drain to stop" quiet
[ "$(marks)" -eq 2 ] || fail "a job ran while paused"
expect_file "$QUEUE" <(printf 'late\nlater\nsecond\nthird\n')
expect_file "$ACTIVE" <(printf 'cut\n')
"$PLIMCTL" resume || fail "resume"
expect_absent "$FILES/paused"
wait_idle 7
expect_file "$DONE" <(printf '%s\n' early first cut late later second third)
"$PLIMCTL" history --json cut | grep -qF '"rerun":true' || fail "cut was not recorded as a rerun"

say "a killed worker takes its tool and the tool's child along; a new one reruns the job at once"
touch /hdd/spawn
hold_job victim
read -r orphan </hdd/spawn.pid
kill -KILL "$WORKER"
wait_for "the tool and its child to die with their worker" eval "dead $TOOL && dead $orphan"
wait_for "a new worker's tool" eval '[ "$(cut -d" " -f1 /hdd/plim.pid)" != "$TOOL" ]'
read -r orphan </hdd/spawn.pid
grep -q "plimd: worker [0-9]* ended (killed by signal 9); starting a new one" /hdd/plimd.err ||
  fail "the restart was not reported"
rm /hdd/hold /hdd/spawn
wait_idle 8
wait_for "the tool's child to end with the job" dead "$orphan"
tail -n 3 "$CALLS" >"$SCRATCH/calls"
expect_file "$SCRATCH/calls" <(job_calls victim | head -n 1; job_calls victim)

say "a killed listener is replaced"
read -r listener _ </run/plimd.pid
kill -KILL "$listener"
wait_for "a new listener" eval '[ "$(cut -d" " -f1 /run/plimd.pid)" != "$listener" ]'
wait_for "the new listener on its port" udp_bound 25252
run_jobs 9 again

say "a second plimd says the service runs, exits non-zero, cuts no log, leaves no process"
cp "$LOG" "$SCRATCH/log"
read -r listener worker _ </run/plimd.pid
(cd /hdd && exec "$PLIMD" </dev/null >>/hdd/plimd.out 2>/hdd/second.err) &&
  fail "a second launcher returned 0"
expect_file /hdd/second.err <(printf 'plimd: already running (listener %s, worker %s)\n' \
  "$listener" "$worker")
expect_file "$LOG" "$SCRATCH/log"
plimd_count_is 2 || fail "expected two plimd processes, found: $(plimd_pids | xargs)"

say "one process missing: status 1"
# Stopped, the listener cannot start the worker again.
kill -STOP "$listener"
kill -KILL "$worker"
wait_for "the worker to end" eval '! grep -qs "^State:[[:space:]]*[RS]" /proc/'"$worker"'/status'
expect_rc 1 "$PLIMCTL" status

say "the init script's start takes the work folders back the same way, under sh and BusyBox sh"
init=$SCRATCH/plimd.init
sed -e "s|@PLIMD_DAEMON@|$PLIMD|" -e "s|^OUTPUT=.*|OUTPUT=/hdd/init.log|" \
  "$(dirname "$0")/../../packaging/plimd.init.in" >"$init"
# A user's folder, or in a folder of root's from before a link of the user's.
for shell in sh:/tmp/plim "busybox sh:/tmp/plim/tmp"; do
  planted=${shell#*:} shell=${shell%:*}
  stop_service
  rm -rf /tmp/plim*
  mkdir -m 0755 /tmp/plim
  [ "$planted" = /tmp/plim ] && chown nobody /tmp/plim
  ln -s /nowhere /tmp/plim/tmp && chown -h nobody /tmp/plim/tmp
  $shell "$init" start >/hdd/init.out 2>&1 || fail "$shell: start failed: $(cat /hdd/init.out)"
  expect_stat '%u %a %F' "0 755 directory 0 755 directory" /tmp/plim /tmp/plim/tmp
  moved=$(sed -n "s|^plimd: $planted was not root's own folder; moved it to ||p" /hdd/init.log)
  expect_stat %u 65534 "$moved" # the user's entry
done
pass
