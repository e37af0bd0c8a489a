#!/bin/bash
# The recordings disk comes and goes under a running service: it is mounted after the start,
# pulled out mid-job, remounted read-only. The disk here is a file system of its own bind-mounted
# over an empty /hdd, so that unmounting it shows what was written to the mount point beneath.
# The service's own output goes to /run, off the disk.
source "$(dirname "$0")/../lib.sh"

DISK=/run/disk
mkdir -p "$DISK" && mount -t tmpfs -o size=16m disk "$DISK" && cp -a /hdd/. "$DISK/" &&
  mount -t tmpfs beneath /hdd || fail "cannot set up the disk"
ln -s /run/plimd.err "$DISK/plimd.err" # for fail()

plug() { mount --bind "$DISK" /hdd || fail "cannot mount the disk"; }
beneath_empty() { [ -z "$(ls -A /hdd)" ] || fail "written beneath the disk: $(ls -A /hdd)"; }

start_from_hdd() {
  local rc=0
  (cd /hdd && exec "$PLIMD" </dev/null >>/run/plimd.out 2>>/run/plimd.err) || rc=$?
  [ "$rc" -eq 0 ] || fail "plimd returned $rc"
  wait_for "the listener on port 25252" udp_bound 25252
  read -r LISTENER WORKER _ </run/plimd.pid
}

holders() {
  local p
  for p in $(plimd_pids); do
    printf '%s cwd=%s\n' "$p" "$(readlink "/proc/$p/cwd")"
    ls -l "/proc/$p/fd" | grep -F /hdd
    grep -F /hdd "/proc/$p/maps"
  done
}

say "the service started from /hdd holds nothing on the disk while idle; it can be unmounted"
plug
start_from_hdd
printf 'first\n' >>"$QUEUE"
send 25252 1
wait_idle 1
wait_for "an idle service" quiet
umount /hdd || fail "the idle service keeps the disk busy: $(holders)"
wait_for "the worker to look at the files again" waiting_for_trigger "$WORKER"
plimd_count_is 2 || fail "the service ended without its disk"
beneath_empty

say "mounted again, it goes on"
plug
printf 'second\n' >>"$QUEUE"
send 25252 1
wait_idle 2
expect_file "$DONE" <(printf 'first\nsecond\n')

say "the disk pulled out under a running tool: nothing lands beneath; back, the job reruns untriggered"
hold_job cut next
umount -l /hdd || fail "cannot pull the disk out"
rm "$DISK/hold"
wait_for "the tool to end" dead "$TOOL"
wait_for "the worker to give up on the job" waiting_for_trigger "$WORKER"
beneath_empty
[ "$(cat "$DISK/plim/files/in_bearbeitung.txt")" = cut ] || fail "the cut job left the in-progress file"
plug
WAIT_SECONDS=5 wait_idle 4
expect_file "$DONE" <(printf 'first\nsecond\ncut\nnext\n')
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
expect_file "$DONE" <(printf 'first\nsecond\ncut\nnext\nreadonly\n')

say "a drain that failed on a full disk is tried again once space is freed, with no trigger"
printf 'full\n' >>"$QUEUE"
failures=$(grep -cxF "Error: $QUEUE" /run/plimd.out)
dd if=/dev/zero of="$DISK/filler" bs=64k 2>/dev/null
send 25252 1
wait_for "the drain to fail" eval '[ "$(grep -cxF "Error: $QUEUE" /run/plimd.out)" -gt "$failures" ]'
wait_for "the worker to wait" waiting_for_trigger "$WORKER"
[ "$(cat "$QUEUE")" = full ] || fail "the queue lost its name on a full disk"
rm "$DISK/filler"
WAIT_SECONDS=20 wait_idle 6
expect_file "$DONE" <(printf 'first\nsecond\ncut\nnext\nreadonly\nfull\n')

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
WAIT_SECONDS=5 wait_idle 8
expect_file "$DONE" <(printf 'first\nsecond\ncut\nnext\nreadonly\nfull\nearly\nlater\n')
grep -q '^plim .*/early.rec' "$CALLS" || fail "the job in progress did not run"

pass
