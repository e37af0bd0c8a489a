#!/bin/bash
# The recordings disk comes and goes under a running service: it is mounted after the start,
# pulled out mid-job, remounted read-only, full, swapped for another. The disk here is a file system of its own
# bind-mounted over an empty /hdd, so that unmounting it shows what was written to the mount
# point beneath. The service's own output goes to /run, off the disk.
source "$(dirname "$0")/../lib.sh"

DISK=/run/disk
{ mkdir -p "$DISK" && mount -t tmpfs -o size=16m disk "$DISK" && cp -a /hdd/. "$DISK/" &&
  mount -t tmpfs beneath /hdd; } || fail "cannot set up the disk"
ln -s /run/plimd.err "$DISK/plimd.err" # for fail()
plug() { mount --bind "$DISK" /hdd || fail "cannot mount the disk"; }
beneath_empty() { [ -z "$(ls -A /hdd)" ] || fail "written beneath the disk: $(ls -A /hdd)"; }
SERVICE_OUT=/run
errors() { grep -cxF "Error: $QUEUE" /run/plimd.out; }
drain_failed() { # drain_failed WHY: a trigger's drain fails and leaves the queue as it was
  local before
  before=$(errors)
  send 25252 1
  wait_for "the drain to fail" eval '[ "$(errors)" -gt "$before" ]'
  wait_for "the worker to wait" waiting_for_trigger "$WORKER"
  [ "$(cat "$QUEUE")" = "$1" ] || fail "the queue lost its name on a $1 disk"
}

say "started from the disk, idle, it holds nothing there: it can be unmounted, and mounted again \
it goes on"
plug
start_service
read -r _ WORKER _ </run/plimd.pid
run_jobs 1 first
wait_for "an idle service" quiet
umount /hdd || fail "the idle service keeps the disk busy"
wait_for "the worker to look at the files again" waiting_for_trigger "$WORKER"
plimd_count_is 2 || fail "the service ended without its disk"
beneath_empty
plug
run_jobs 2 second

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
[ "$(grep -c '^plim .*/cut.rec' "$CALLS")" -eq 2 ] || fail "the cut job did not run again"

say "a trigger while the disk is read-only, or full, leaves the name queued; once the disk is \
writable again, or has space, it runs without another trigger"
mount -o remount,ro,bind /hdd || fail "cannot remount read-only"
printf 'read-only\n' >>"$DISK/plim/files/queue.txt"
drain_failed read-only
[ ! -s "$ACTIVE" ] || fail "the in-progress file changed on a read-only disk"
mount -o remount,rw,bind /hdd || fail "cannot remount writable"
# The back-off would take 20 s: only the mount event is this quick.
WAIT_SECONDS=5 wait_idle 5
printf 'full\n' >>"$QUEUE"
dd if=/dev/zero of="$DISK/filler" bs=64k 2>/dev/null
drain_failed full
rm "$DISK/filler"
WAIT_SECONDS=20 wait_idle 6

say "a done job whose name could not leave the in-progress file is not run again after a \
remount of the same disk, but is on another disk, where it never ran"
not_emptied() { grep -c "^plimd: cannot empty $ACTIVE after the job listed" /run/plimd.err; }
runs() { grep -c '^plim .*/listed.rec' "$CALLS"; }
hold_job listed
mkdir -p "$ACTIVE.tmp/keep" # makes every rewrite of the in-progress file fail
rm /hdd/hold
wait_for "the in-progress file to stay" eval '[ "$(not_emptied)" -ge 1 ]'
{ mount -o remount,ro,bind /hdd && mount -o remount,rw,bind /hdd; } || fail "cannot remount"
wait_for "a drain after the remounts" eval '[ "$(not_emptied)" -ge 2 ]'
wait_for "the worker to wait" waiting_for_trigger "$WORKER"
[ "$(runs)" -eq 1 ] || fail "the done job ran again after a remount of its disk"
{ mkdir /run/disk2 && mount -t tmpfs disk2 /run/disk2 && cp -a "$DISK/." /run/disk2/ &&
  rm -r /run/disk2/plim/files/in_bearbeitung.txt.tmp && umount /hdd &&
  mount --bind /run/disk2 /hdd; } || fail "cannot swap the disks"
WAIT_SECONDS=5 wait_for "the job to run on the other disk" eval '[ "$(runs)" -eq 2 ]'
wait_idle 8
rm -r "$DISK/plim/files/in_bearbeitung.txt.tmp"

say "started without its disk, the service runs, makes nothing there, and drains when it comes"
stop_service
umount /hdd || fail "cannot unmount the disk"
printf 'early\n' >"$DISK/plim/files/in_bearbeitung.txt"
printf 'later\n' >"$DISK/plim/files/queue.txt"
start_service
read -r _ WORKER _ </run/plimd.pid
wait_for "the worker to wait" waiting_for_trigger "$WORKER"
beneath_empty
plug
# The fake tools note their calls on the disk: the other disk's run is not on this one.
WAIT_SECONDS=5 wait_idle 9
# Each job once, in order.
expect_file "$DONE" <(printf '%s\n' first second cut next read-only full listed early later)
pass
