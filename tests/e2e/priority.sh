#!/bin/bash
# The tools and the hook run at the priority of the settings, low by default, so that the
# recordings the box makes at the same time keep the CPU and the disk; the service's own two
# processes keep theirs, and a kernel that refuses a priority does not keep the tools from running.
# /etc/plimd.conf is the scenario's own (lib.sh).
source "$(dirname "$0")/../lib.sh"

command -v ionice >/dev/null || skip "ionice is not installed"
# At nice 19 the tools wait for every busy process of a loaded machine.
WAIT_SECONDS=60

# Each program notes what priority_of says of it; plim_mark also counts the jobs.
for program in plim plim_mark hook; do
  printf '#!/bin/sh\necho "%s $(cut -d" " -f19 /proc/$$/stat) $(sed "s/.* nice //" /proc/$$/autogroup 2>/dev/null || echo -) $(ionice -p $$)" >>/hdd/prio\n' "$program" >"/hdd/plim/bin64/$program"
done
mv /hdd/plim/bin64/hook /hdd/hook
echo 'printf "plim_mark %s\n" "$1" >>/hdd/calls.txt' >>/hdd/plim/bin64/plim_mark
chmod 755 /hdd/hook
settings() { printf 'on_job_done = /hdd/hook\n%b' "$*" >/etc/plimd.conf; }
# Its nice value (field 19 of its stat), that of its session's share of the CPU where the kernel
# shares it out by session (autogroup; "-" elsewhere), and its I/O class.
priority_of() {
  echo "$(cut -d' ' -f19 "/proc/$1/stat") $(sed 's/.* nice //' "/proc/$1/autogroup" 2>/dev/null || echo -) $(ionice -p "$1")"
}
# What the service starts with: this shell's own nice value and I/O class.
own_nice=$(cut -d' ' -f19 /proc/$$/stat) own_class=$(ionice -p $$)
group() { if [ -e /proc/self/autogroup ]; then echo "$1"; else echo -; fi; }
# run TOTAL NAME NICE SESSION_NICE CLASS: the job NAME, the TOTALth, ran its three programs at
# that priority; the service's processes kept their own, their session's share untouched.
run() {
  local pid
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
start_service
run 1 plain 19 19 idle

say "tool_nice and tool_io_class = best-effort: that nice value and the service's own class"
settings 'tool_nice = 5\ntool_io_class = best-effort\n'
run 2 five 5 5 "$own_class"

say "a kernel that refuses both priorities still runs the tools and the hook"
# At nice 0: traced, and at 19 in a session of their own, the tools would crawl on a busy machine.
settings 'tool_nice = 0\n'
attach -f -e trace=setpriority,ioprio_set -e inject=setpriority,ioprio_set:error=EPERM
run 3 refused "$own_nice" 0 "$own_class"
detach
[ "$(grep -c 'EPERM (.*) (INJECTED)' "$TRACE")" -eq 6 ] || fail "not refused thrice each: $(cat "$TRACE")"
pass
