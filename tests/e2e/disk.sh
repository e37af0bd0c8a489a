#!/bin/bash
# The recordings disk comes and goes under a running service: it is mounted after the start,
# pulled out mid-job, remounted read-only. The disk here is a file system of its own bind-mounted
# over an empty /hdd, so that unmounting it shows what was written to the mount point beneath.
# The service's own output goes to /run, off the disk.
source "$(dirname "$0")/../lib.sh"

DISK=/run/disk
{ mkdir -p "$DISK" && mount -t tmpfs -o size=16m disk "$DISK" && cp -a /hdd/. "$DISK/" &&
  mount -t tmpfs beneath /hdd; } || fail "cannot set up the disk"
ln -s /run/plimd.err "$DISK/plimd.err" # for fail()
plug() { mount --bind "$DISK" /hdd || fail "cannot mount the disk"; }
beneath_empty() { [ -z "$(ls -A /hdd)" ] || fail "written beneath the disk: $(ls -A /hdd)"; }
SERVICE_OUT=/run

say "started without its disk, the service runs, makes nothing there, and drains when it comes"
printf 'early\n' >"$DISK/plim/files/in_bearbeitung.txt"
printf 'later\n' >"$DISK/plim/files/queue.txt"
start_service
read -r _ WORKER _ </run/plimd.pid
wait_for "the worker to wait" waiting_for_trigger "$WORKER"
beneath_empty
plug
WAIT_SECONDS=5 wait_idle 2

say "the disk pulled out under a running tool: nothing lands beneath; back, the job runs again \
untriggered"
hold_job cut next
umount -l /hdd || fail "cannot pull the disk out"
rm "$DISK/hold"
wait_for "the tool to end" dead "$TOOL"
wait_for "the worker to give up on the job" waiting_for_trigger "$WORKER"
beneath_empty
[ "$(cat "$DISK/plim/files/in_bearbeitung.txt")" = cut ] || fail "the cut job left $ACTIVE"
plug
WAIT_SECONDS=5 wait_idle 4

say "a trigger while the disk is read-only leaves the name queued; writable again, it runs"
mount -o remount,ro,bind /hdd || fail "cannot remount read-only"
printf 'read-only\n' >>"$DISK/plim/files/queue.txt"
send 25252 1
wait_for "the drain to fail" grep -qxF "Error: $QUEUE" /run/plimd.out
wait_for "the worker to wait" waiting_for_trigger "$WORKER"
[ "$(cat "$QUEUE")" = read-only ] || fail "the queue lost its name on a read-only disk"
mount -o remount,rw,bind /hdd || fail "cannot remount writable"
# The back-off would take 20 s: only the mount event is this quick.
WAIT_SECONDS=5 wait_idle 5
# Each job once, in order: the cut one too, run again.
expect_file "$DONE" <(printf '%s\n' early later cut next read-only)
pass
