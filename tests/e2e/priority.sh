#!/bin/bash
# The tools and the hook run at the priority of the settings, low by default, so that the
# recordings the box makes at the same time keep the CPU and the disk; the service's own two
# processes keep theirs, and a kernel that refuses a priority does not keep the tools from running.
# /etc/plimd.conf is the scenario's own (lib.sh).
source "$(dirname "$0")/../lib.sh"

command -v ionice >/dev/null || { echo "SKIP: ionice is not installed"; exit 125; }
# At nice 19 the tools wait for every busy process of a loaded machine.
WAIT_SECONDS=60

# Each program notes its nice value (field 19 of its stat), that of its session's share of the
# CPU where the kernel shares it out by session (autogroup; "-" elsewhere), and its I/O class.
note='$(cut -d" " -f19 /proc/$$/stat) $(sed "s/.* nice //" /proc/$$/autogroup 2>/dev/null || echo -) $(ionice -p $$)'
for program in plim plim_mark hook; do
  printf '#!/bin/sh\necho "%s %s" >>/hdd/prio\n' "$program" "$note" >"/hdd/plim/bin64/$program"
done
mv /hdd/plim/bin64/hook /hdd/hook
# plim_mark also counts the jobs.
echo 'printf "plim_mark %s\n" "$1" >>/hdd/calls.txt' >>/hdd/plim/bin64/plim_mark
chmod 755 /hdd/hook /hdd/plim/bin64/plim /hdd/plim/bin64/plim_mark
: >"$CALLS"
settings() { printf 'on_job_done = /hdd/hook\n%b' "$*" >/etc/plimd.conf; }
run() { run_noted /hdd/prio "$@"; }
# What the service starts with: this shell's own nice value and I/O class.
own_nice=$(cut -d' ' -f19 /proc/$$/stat)
own_class=$(ionice -p $$)
group() { if [ -e /proc/self/autogroup ]; then echo "$1"; else echo -; fi; }
expect_programs() { # expect_programs NICE SESSION_NICE CLASS: the last job's three programs ran so
  tail -n 3 /hdd/prio >"$SCRATCH/last"
  expect_file "$SCRATCH/last" <(for p in plim plim_mark hook; do echo "$p $1 $(group "$2") $3"; done)
}
# The service's processes: their own nice value and class, their session's share untouched.
expect_service_unchanged() {
  local pid
  read -r listener worker _ </run/plimd.pid
  for pid in "$listener" "$worker"; do
    [ "$(cut -d' ' -f19 "/proc/$pid/stat") $(group "$(sed 's/.* nice //' "/proc/$pid/autogroup")") $(ionice -p "$pid")" = \
      "$own_nice $(group 0) $own_class" ] || fail "process $pid of the service runs at" \
      "$(cut -d' ' -f19 "/proc/$pid/stat") $(cat "/proc/$pid/autogroup") $(ionice -p "$pid")"
  done
}
: >/hdd/prio

say "tools and hook run at nice 19 in the idle I/O class by default; the service keeps its own"
settings
start_service
run 1 plain
expect_programs 19 19 idle
expect_service_unchanged

say "tool_nice and tool_io_class = best-effort: that nice value and the service's own class"
settings 'tool_nice = 5\ntool_io_class = best-effort\n'
run 2 five
expect_programs 5 5 "$own_class"
settings 'tool_nice = 0\n'
run 3 zero
expect_programs 0 0 idle
expect_service_unchanged

say "a kernel that refuses both priorities still runs the tools and the hook"
# At nice 0: traced, and at 19 in a session of their own, the tools would crawl on a busy machine.
settings 'tool_nice = 0\n'
attach -f -e trace=setpriority,ioprio_set -e inject=setpriority,ioprio_set:error=EPERM
run 4 refused
detach
[ "$(grep -c 'EPERM (.*) (INJECTED)' "$TRACE")" -eq 6 ] || fail "not refused thrice each: $(cat "$TRACE")"
expect_programs "$own_nice" 0 "$own_class"
pass
