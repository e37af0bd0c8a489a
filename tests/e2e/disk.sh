#!/bin/bash
# The recorder's disk and CPU under a running service. The disk comes and goes: it is mounted
# after the start, pulled out mid-job, remounted read-only. The disk here is a file system of its
# own bind-mounted over an empty /hdd, so that unmounting it shows what was written to the mount
# point beneath. The service's own output goes to /run, off the disk. Then the tools and the hook
# run at the priority of the settings, low by default, so that the recordings the box makes at
# the same time keep the CPU and the disk; the service's own two processes keep theirs, and a
# kernel that refuses a priority does not keep the tools from running.
source "$(dirname "$0")/../lib.sh"

command -v ionice >/dev/null || skip "ionice is not installed"

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

# At nice 19 the tools wait for every busy process of a loaded machine.
WAIT_SECONDS=60
: >"$CALLS" # the jobs below count from 1
# Each program notes what priority_of says of it; plim_mark also counts the jobs.
for program in plim/bin64/plim plim/bin64/plim_mark hook; do
  printf '#!/bin/sh\necho "%s $(cut -d" " -f19 /proc/$$/stat) $(sed "s/.* nice //" /proc/$$/autogroup 2>/dev/null || echo -) $(ionice -p $$)" >>/hdd/prio\n' "${program##*/}" >"/hdd/$program"
done
echo 'printf "plim_mark %s\n" "$1" >>/hdd/calls.txt' >>/hdd/plim/bin64/plim_mark
chmod 755 /hdd/hook
# /etc/plimd.conf is the scenario's own (lib.sh).
settings() { printf 'on_job_done = /hdd/hook\n%b' "$*" >/etc/plimd.conf; }
# Its nice value (field 19 of its stat), that of its session's share of the CPU where the kernel
# shares it out by session (autogroup; "-" elsewhere), and its I/O class.
priority_of() { echo "$(cut -d' ' -f19 "/proc/$1/stat") $(sed 's/.* nice //' "/proc/$1/autogroup" 2>/dev/null || echo -) $(ionice -p "$1")"; }
# What the service starts with: this shell's own nice value and I/O class.
own_nice=$(cut -d' ' -f19 /proc/$$/stat) own_class=$(ionice -p $$)
group() { if [ -e /proc/self/autogroup ]; then echo "$1"; else echo -; fi; }
# run TOTAL NAME NICE SESSION_NICE CLASS: the job NAME, the TOTALth, ran its three programs at
# that priority; the service's processes kept their own, their session's share untouched.
run() {
  run_noted /hdd/prio "$1" "$2"
  tail -n 3 /hdd/prio >"$SCRATCH/last"
  expect_file "$SCRATCH/last" <(for p in plim plim_mark hook; do echo "$p $3 $(group "$4") $5"; done)
  for pid in $(cut -d' ' -f1,2 /run/plimd.pid); do
    [ "$(priority_of "$pid")" = "$own_nice $(group 0) $own_class" ] ||
      fail "process $pid of the service runs at $(priority_of "$pid")"
  done
}

say "tools and hook run at nice 19 in the idle I/O class by default; the service keeps its own"
settings
run 1 plain 19 19 idle

say "a kernel that refuses both priorities still runs the tools and the hook"
# At nice 0: traced, and at 19 in a session of their own, the tools would crawl on a busy machine.
settings 'tool_nice = 0\n'
attach -f -e trace=setpriority,ioprio_set -e inject=setpriority,ioprio_set:error=EPERM
run 2 refused "$own_nice" 0 "$own_class"
detach
[ "$(grep -c 'EPERM (.*) (INJECTED)' "$TRACE")" -eq 6 ] || fail "not refused thrice each: $(cat "$TRACE")"
pass
