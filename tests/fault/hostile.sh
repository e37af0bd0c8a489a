#!/bin/bash
# Hostile input: a 1 MiB queue line, which fits no path and no argument, so no tool can start.
# Then a local user (nobody) plants a link as the work folder, or swaps a folder for a link while
# the job removes it: root follows neither. Names of every byte are the conversion's unit tests'
# and the fuzzer's, the configuration scanner's binary input the fuzzer's.
source "$(dirname "$0")/../lib.sh"

say "a 1 MiB line, then an ordinary name"
huge=$(head -c 1048576 /dev/zero | tr '\0' M)
printf '%s\n' "$huge" after >"$QUEUE"
start_service
wait_idle 1
expect_file "$CALLS" <(job_calls after)
# The job still logs a whole record and counts as done.
expect_file "$LOG" <(
  printf '>>>>>>>> plim start %s\n*************** plim ***************\n' "$huge"
  printf 'plimd: cannot run /hdd/plim/bin64/plim: Argument list too long\n'
  printf '*************** plim_mark ***************\n>>>>>>>> plim stop %s\n' "$huge"
  job_log after
)
expect_file "$DONE" <(printf '%s\n' "$huge" after)
work_dirs_gone
figure 6 "a 1 MiB queue line" "0 crashes, 0 wrong log lines or tool arguments"

as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
# A fresh /tmp/plim as a boot without the service's folder entry leaves it: open to all.
fresh_work_root() {
  stop_service
  rm -rf /tmp/plim/* && chmod 1777 /tmp/plim
  : >/hdd/plimd.err
}
# A root-only tree that a job must leave alone.
victim() { mkdir -p "$1/secret" && printf 'x\n' >"$1/secret/shadow" && chmod 700 "$1/secret"; }
untouched() { [ "$(cat "$1/secret/shadow" 2>/dev/null)" = x ] || fail "root removed files in $1"; }

say "nobody plants /tmp/plim/tmp -> /hdd/victim before the first start: no tool runs there"
fresh_work_root
victim /hdd/victim/Rec1.rec
as_nobody ln -s /hdd/victim /tmp/plim/tmp || fail "nobody cannot plant the link"
printf 'Rec1\n' >"$QUEUE"
start_service
wait_for "Rec1 to be done" grep -qx Rec1 "$DONE"
untouched /hdd/victim/Rec1.rec
[ "$(marks)" -eq 1 ] || fail "a tool ran in a folder nobody controls"
grep -qxF "plimd: the tools of Rec1 are not run: /tmp/plim/tmp is a link of user 65534" \
  /hdd/plimd.err || fail "no line on stderr says why the tools did not run"
figure 6 "/tmp/plim/tmp planted by nobody as a link to a root-only tree, then a job" \
  "0 files removed through the link, 0 tools run, 1 line on stderr"

say "nobody swaps Rec2.rec/d for a link to /hdd/victim2 while the job removes it"
fresh_work_root
files=$((FULL ? 20000 : 2000))
victim /hdd/victim2
printf 'x\n' >/hdd/victim2/shadow
# A name that the folder shares with the victim: removed through a link, it takes the victim's.
as_nobody bash -c 'mkdir -p -m 777 /tmp/plim/tmp/Rec2.rec/d && cd /tmp/plim/tmp/Rec2.rec/d &&
  touch shadow && seq -f f%g "$1" | xargs touch && chmod 777 /tmp/plim/tmp' sh "$files" ||
  fail "nobody cannot fill the work folder"
as_nobody perl -e 'chdir "/tmp/plim/tmp/Rec2.rec" or exit 1; my $n = 0;
  until (-e "/hdd/hold") {
    next unless rename "d", "real";
    $n++ if symlink "/hdd/victim2", "d";
    unlink "d";
    rename "real", "d";
  }
  open(my $out, ">", "/hdd/swaps") or die; print $out "$n\n";' &
swapper=$!
printf 'Rec2\n' >"$QUEUE"
start_service
wait_for "Rec2 to be done" grep -qx Rec2 "$DONE"
touch /hdd/hold
wait "$swapper"
untouched /hdd/victim2
[ -e /hdd/victim2/shadow ] || fail "root removed /hdd/victim2/shadow through a swapped link"
[ "$(stat -c '%U %a' /tmp/plim/tmp)" = "root 755" ] || fail "/tmp/plim/tmp was not repaired"
[ ! -e /tmp/plim/tmp/Rec2.rec ] || grep -q "^plimd: the tools of Rec2 are not run: " \
  /hdd/plimd.err || fail "tools ran in a folder that nobody still controls"
figure 6 "a folder of $files files of nobody in the work folder, swapped for a link to a \
root-only folder $(cat /hdd/swaps) times" "0 files outside the work folder removed, 0 tools run"
pass
