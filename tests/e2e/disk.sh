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
start_from_hdd() {
  start_service
  read -r _ WORKER _ </run/plimd.pid
}

# What the service holds open on the disk.
holders() {
  local p
  for p in $(plimd_pids); do ls -l "/proc/$p/cwd" "/proc/$p/fd" "/proc/$p/map_files" 2>&1; done | grep /hdd
}

say "the service started from /hdd holds nothing on the disk while idle; it can be unmounted"
plug
start_from_hdd
run_jobs 1 first
wait_for "an idle service" quiet
umount /hdd || fail "the idle service keeps the disk busy: $(holders)"
wait_for "the worker to look at the files again" waiting_for_trigger "$WORKER"
plimd_count_is 2 || fail "the service ended without its disk"
beneath_empty

say "mounted again, it goes on"
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

say "a trigger while the disk is read-only leaves the name queued; writable again, it runs"
mount -o remount,ro,bind /hdd || fail "cannot remount read-only"
printf 'readonly\n' >>"$DISK/plim/files/queue.txt"
send 25252 1
wait_for "the drain to fail" grep -qxF "Error: $QUEUE" /run/plimd.out
wait_for "the worker to wait" waiting_for_trigger "$WORKER"
[ "$(cat "$QUEUE")" = readonly ] || fail "the queue lost its name on a read-only disk"
[ ! -s "$ACTIVE" ] || fail "the in-progress file changed on a read-only disk"
mount -o remount,rw,bind /hdd || fail "cannot remount writable"
# The back-off would take 20 s: only the mount event is this quick.
WAIT_SECONDS=5 wait_idle 5

say "a drain that failed on a full disk is tried again once space is freed, with no trigger"
printf 'full\n' >>"$QUEUE"
drain_failures() { grep -cxF "Error: $QUEUE" /run/plimd.out; }
failures=$(drain_failures)
dd if=/dev/zero of="$DISK/filler" bs=64k 2>/dev/null
send 25252 1
wait_for "the drain to fail" eval "[ \$(drain_failures) -gt $failures ]"
wait_for "the worker to wait" waiting_for_trigger "$WORKER"
[ "$(cat "$QUEUE")" = full ] || fail "the queue lost its name on a full disk"
rm "$DISK/filler"
WAIT_SECONDS=20 wait_idle 6

say "a done job whose name could not leave the in-progress file is not run again after a \
remount of the same disk, but is on another disk, where it never ran"
not_emptied() { grep -c "^plimd: cannot empty $ACTIVE after the job $1" /run/plimd.err; }
hold_job listed
mkdir -p "$ACTIVE.tmp/keep" # makes every rewrite of the in-progress file fail
rm /hdd/hold
wait_for "the in-progress file to stay" eval '[ "$(not_emptied listed)" -ge 1 ]'
{ mount -o remount,ro,bind /hdd && mount -o remount,rw,bind /hdd; } || fail "cannot remount"
wait_for "the drains after the remounts" eval '[ "$(not_emptied listed)" -ge 3 ]'
rmdir "$ACTIVE.tmp/keep" "$ACTIVE.tmp"
run_jobs 7
[ "$(marks_of listed)" -eq 1 ] || fail "the done job ran again after a remount of its disk"
hold_job other
mkdir -p "$ACTIVE.tmp/keep"
rm /hdd/hold
wait_for "the in-progress file to stay" eval '[ "$(not_emptied other)" -ge 1 ]'
wait_for "the worker to wait" waiting_for_trigger "$WORKER"
other=/run/disk2
{ mkdir -p $other && mount -t tmpfs disk2 $other && cp -a "$DISK/." $other/ &&
  rm -r $other/plim/files/in_bearbeitung.txt.tmp &&
  sed -i '/^other$/d' $other/plim/files/fertig.txt; } || fail "cannot make another disk"
{ umount /hdd && mount --bind $other /hdd; } || fail "cannot swap the disks"
WAIT_SECONDS=5 wait_for "the job to run on the other disk" job_done other
[ "$(marks_of other)" -eq 2 ] || fail "the job in progress on the other disk did not run"
rmdir "$DISK/plim/files/in_bearbeitung.txt.tmp/keep" "$DISK/plim/files/in_bearbeitung.txt.tmp"

say "started without its disk, the service runs, makes nothing there, and drains when it comes"
stop_service
umount /hdd || fail "cannot unmount the disk"
printf 'early\n' >"$DISK/plim/files/in_bearbeitung.txt"
printf 'later\n' >"$DISK/plim/files/queue.txt"
start_from_hdd
plimd_count_is 2 || fail "expected two plimd processes, found: $(plimd_pids | xargs)"
wait_for "the worker to wait" waiting_for_trigger "$WORKER"
beneath_empty
plug
WAIT_SECONDS=5 wait_idle 10
# Each job once, in order: the done list's ten entries.
expect_file "$DONE" <(printf '%s\n' first second cut next readonly full listed other early later)
grep -q '^plim .*/early.rec' "$CALLS" || fail "the job in progress did not run"

pass
