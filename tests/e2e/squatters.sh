#!/bin/bash
# Another user takes a place the service needs before it starts: the work folders under /tmp or
# the trigger port. The service takes back what is its own, waits for what is not, and loses no
# job either way.
source "$(dirname "$0")/../lib.sh"

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
chmod 1777 /tmp
WAIT_SECONDS=20 wait_for "the retry to run the job" job_done early
grep -q '"outcome":"ok"' "$FILES/history" || fail "the job did not run in a safe work folder"
expect_stat '%u %a %F' "0 755 directory 0 755 directory" /tmp/plim /tmp/plim/tmp
moved=$(sed -n 's|^plimd: /tmp/plim belongs to user 65534; moved it to ||p' /hdd/plimd.err)
expect_stat %u 65534 "$moved" # the user's folder, unchanged, with its link
[ "$(readlink "$moved/tmp")" = /nowhere ] || fail "the user's link was not moved with its folder"

say "the port another user holds at the start is bound once it is free; the worker drains anyway"
stop_service
python3 -c 'import os, signal, socket
os.setgid(65534), os.setuid(65534)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("", 25252))
signal.pause()' &
holder=$!
wait_for "the port holder" udp_bound 25252
printf 'meanwhile\n' >"$QUEUE"
start_service
wait_for "the start-up drain" job_done meanwhile
cant_bind="plimd: cannot bind UDP port 25252: Address already in use; trying again until it can"
wait_for "the listener to say why it waits" grep -qxF "$cant_bind" /hdd/plimd.err
"$PLIMCTL" status | grep -q '^listener: waiting for UDP port 25252' ||
  fail "status does not tell that the listener waits: $("$PLIMCTL" status)"
sleep 3 # a few retries, said once
[ "$(grep -cxF "$cant_bind" /hdd/plimd.err)" -eq 1 ] || fail "the failure was said more than once"
kill "$holder"
WAIT_SECONDS=70 wait_for "the port to be bound" grep -qxF \
  "plimd: UDP port 25252 is bound; triggers are taken again" /hdd/plimd.err
run_jobs 3 after

say "the init script's start takes the work folders back the same way, under sh and BusyBox sh"
init=$SCRATCH/plimd.init
sed -e "s|@PLIMD_DAEMON@|$PLIMD|" -e "s|^OUTPUT=.*|OUTPUT=/hdd/init.log|" \
  "$(dirname "$0")/../../packaging/plimd.init.in" >"$init"
# A user's folder, or in a folder of root's from before a link of the user's.
for shell in sh:/tmp/plim "busybox sh:/tmp/plim/tmp"; do
  planted=${shell#*:} shell=${shell%:*}
  command -v "${shell%% *}" >/dev/null || continue
  stop_service
  rm -rf /tmp/plim*
  mkdir -m 0755 /tmp/plim
  [ "$planted" = /tmp/plim ] && chown nobody /tmp/plim
  ln -s /nowhere /tmp/plim/tmp && chown -h nobody /tmp/plim/tmp
  $shell "$init" start >/hdd/init.out 2>&1 || fail "$shell: start failed: $(cat /hdd/init.out)"
  plimd_count_is 2 || fail "$shell: the service did not start"
  expect_stat '%u %a %F' "0 755 directory 0 755 directory" /tmp/plim /tmp/plim/tmp
  moved=$(sed -n "s|^plimd: $planted was not root's own folder; moved it to ||p" /hdd/init.log)
  expect_stat %u 65534 "$moved" # the user's entry
  ls -d /tmp/plim*.moved.* /tmp/plim/*.moved.* 2>/dev/null | grep -qv "${moved%/*}" &&
    fail "$shell: the service found something more to move"
done
pass
