#!/bin/bash
# Another user takes a place the service needs before it starts: the work folders under /tmp or
# the trigger port. The service takes back what is its own, waits for what is not, and loses no
# job either way; a listener killed and started again binds its port each time.
source "$(dirname "$0")/../lib.sh"

records_of() { cat "$FILES/history" 2>/dev/null | grep -c "\"name\":\"$1\""; }

say "work folders another user made or planted before the start wait out an unsafe /tmp, then \
are moved aside and made anew, and the queued job runs without a trigger"
# A /tmp of this scenario's own, at first without its sticky bit: nothing in it can be trusted.
umount /tmp/plim
mount -t tmpfs -o mode=0777 tmpfs /tmp
as_nobody mkdir /tmp/plim
as_nobody ln -s /nowhere /tmp/plim/tmp
printf 'early\n' >"$QUEUE"
start_service
wait_for "the refusal" grep -qF \
  "plimd: /tmp/plim is in a folder that others can write; no job runs until" /hdd/plimd.err
wait_for "the worker to wait" waiting_for_trigger "$(cut -d' ' -f2 /run/plimd.pid)"
expect_file "$QUEUE" <(printf 'early\n')
[ ! -s "$ACTIVE" ] || fail "the job left the queue without a safe work folder"
[ "$(records_of early)" -eq 0 ] || fail "a job without a work folder got a record"
chmod 1777 /tmp
WAIT_SECONDS=20 wait_for "the retry to run the job" job_done early
[ "$(records_of early)" -eq 1 ] || fail "expected one record of the job"
grep -q '"outcome":"ok"' "$FILES/history" || fail "the job did not run in a safe work folder"
expect_stat '%u %a %F' "0 755 directory 0 755 directory" /tmp/plim /tmp/plim/tmp
moved=$(sed -n 's|^plimd: /tmp/plim belongs to user 65534; moved it to \(/tmp/plim\.moved\..*\)$|\1|p' \
  /hdd/plimd.err)
[ -n "$moved" ] || fail "the move was not said"
expect_stat '%u %a %F' "65534 755 directory" "$moved" # the user's folder, unchanged
[ "$(readlink "$moved/tmp")" = /nowhere ] || fail "the user's link was not moved with its folder"
wait_for "no timer once all is well" quiet

say "the port another user holds at the start is bound once it is free; the worker drains anyway"
stop_service
setpriv --reuid=65534 --regid=65534 --clear-groups "$UDP_SEND" -l 25252 &
holder=$!
wait_for "the port holder" udp_bound 25252
printf 'meanwhile\n' >"$QUEUE"
start_service
wait_for "the start-up drain" job_done meanwhile
cant_bind="plimd: cannot bind UDP port 25252: Address already in use; trying again until it can"
wait_for "the listener to say why it waits" grep -qxF "$cant_bind" /hdd/plimd.err
sleep 4 # a few retries, said once
plimd_count_is 2 || fail "the listener did not wait for its port"
[ "$(grep -cxF "$cant_bind" /hdd/plimd.err)" -eq 1 ] || fail "the failure was said more than once"
status=$("$PLIMCTL" status 2>&1) # checked last
kill "$holder"
WAIT_SECONDS=70 wait_for "the port to be bound" grep -qxF \
  "plimd: UDP port 25252 is bound; triggers are taken again" /hdd/plimd.err
printf 'after\n' >>"$QUEUE"
send 25252 1
wait_for "the trigger's job" job_done after

# hold_socket_of PID: takes a copy of the socket of process PID, holds it 1.5 s, then ends.
hold_socket_of() {
  rm -f /hdd/grabbed
  python3 - "$1" <<'PY' &
import ctypes, os, sys, time
pid = int(sys.argv[1])
pidfd = os.pidfd_open(pid)
for fd in os.listdir(f"/proc/{pid}/fd"):
    if os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:"):
        ctypes.CDLL(None).syscall(438, pidfd, int(fd), 0)  # pidfd_getfd
open("/hdd/grabbed", "w").close()
time.sleep(1.5)
PY
  wait_for "the copy of the socket" test -e /hdd/grabbed
}

say "a listener killed some seconds after its start is replaced at once by one that binds the \
port, also where the dead one's socket is not gone yet"
for round in 1 2 3 4 5; do
  read -r listener _ </run/plimd.pid
  # Past the pause the worker keeps between restarts (1 s, doubling), so the restart is at once.
  sleep $(((1 << (round - 1)) + 1))
  # Widens the moment between the listener's end and its socket's, in which the new one binds.
  if ((round % 2)); then hold_socket_of "$listener"; fi
  kill -KILL "$listener"
  wait_for "a new listener" eval '[ "$(cut -d" " -f1 /run/plimd.pid)" != "$listener" ]'
  grep -qE "^plimd: listener $listener ended.*; starting a new one$" /hdd/plimd.err ||
    fail "listener $listener was not replaced at once"
  wait # for the copy of the old socket to go, which would take the datagram
  WAIT_SECONDS=5 wait_for "round $round's listener to bind the port" udp_bound 25252
  printf 'round %s\n' "$round" >>"$QUEUE"
  send 25252 1
  wait_for "round $round's job through the new listener" job_done "round $round"
done

say "the init script's start takes the work folders back the same way, under sh and BusyBox sh"
init=$SCRATCH/plimd.init
sed -e "s|@PLIMD_DAEMON@|$PLIMD|" -e "s|^OUTPUT=.*|OUTPUT=/hdd/init.log|" \
  "$(dirname "$0")/../../packaging/plimd.init.in" >"$init"
for shell in sh "busybox sh"; do
  command -v "${shell%% *}" >/dev/null || continue
  stop_service
  rm -rf /tmp/plim*
  if [ "$shell" = sh ]; then
    as_nobody mkdir /tmp/plim
    planted=/tmp/plim
  else
    mkdir -m 0755 /tmp/plim # a folder of root's from before, with another user's link in it
    ln -s /nowhere /tmp/plim/tmp && chown -h nobody /tmp/plim/tmp
    planted=/tmp/plim/tmp
  fi
  as_nobody ln -s /nowhere /tmp/plim/tmp 2>/dev/null
  $shell "$init" start >/hdd/init.out 2>&1 || fail "$shell: start failed: $(cat /hdd/init.out)"
  plimd_count_is 2 || fail "$shell: the service did not start"
  expect_stat '%u %a %F' "0 755 directory 0 755 directory" /tmp/plim /tmp/plim/tmp
  moved=$(sed -n "s|^plimd: $planted was not root's own folder; moved it to ||p" /hdd/init.log)
  [ -n "$moved" ] || fail "$shell: the move was not said: $(cat /hdd/init.out)"
  expect_stat %u 65534 "$moved" # the user's entry
  ls -d /tmp/plim*.moved.* /tmp/plim/*.moved.* 2>/dev/null | grep -qv "${moved%/*}" &&
    fail "$shell: the service found something more to move"
done

say "while the listener waits for its port, plimctl status says so"
grep -q '^listener: waiting for UDP port 25252' <<<"$status" ||
  fail "status does not tell that the listener waits: $status"

pass
