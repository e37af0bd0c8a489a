#!/bin/bash
# Hostile input: two names that hold every byte value but NUL, the line break and the ten
# characters that the conversion replaces (its unit test's), and a 1 MiB queue line. Paths, links,
# log lines and argv carry the names exactly, and nothing crashes or wedges the worker. Then a
# local user (nobody) plants a link as the work folder, or swaps a folder for a link while the job
# removes it: root follows neither. The configuration scanner's binary input is the fuzzer's.
source "$(dirname "$0")/../lib.sh"

bytes() { printf '%b' "$(printf '\\0%03o' "$@")"; }
names=("$(bytes {1..9} {11..127} | tr -d '/.\\:*?<>|"')" "$(bytes {128..255})")
huge=$(head -c 1048576 /dev/zero | tr '\0' M)

say "names of every byte 0x01-0xFF a name may hold, a 1 MiB line, then an ordinary name"
printf 'plim 25252 1\n' >"$FILES/plim.conf"
printf '%s\n' "${names[@]}" "$huge" after >"$QUEUE"
start_service
wait_idle 3
expect_file "$CALLS" <(
  for n in "${names[@]}"; do job_calls "$n" "/hdd/movie/$n.ts.idx size=0"; done
  job_calls after "/hdd/movie/after.ts.idx size=0"
)
for n in "${names[@]}"; do expect_file "/hdd/movie/$n.ts.idx" <(printf 'index\n'); done
# A 1 MiB name fits no path and no argument, so the job has nothing to link and no tool to run;
# it still logs a whole record and counts as done.
expect_file "$LOG" <(
  for n in "${names[@]}"; do job_log "$n"; done
  printf '>>>>>>>> plim start %s\n*************** plim ***************\n' "$huge"
  printf 'plimd: cannot run /hdd/plim/bin64/plim: Argument list too long\n'
  printf '*************** plim_mark ***************\n>>>>>>>> plim stop %s\n' "$huge"
  job_log after
)
expect_file "$DONE" <(printf '%s\n' "${names[@]}" "$huge" after)
work_dirs_gone
rm "$FILES/plim.conf"
figure 6 "2 names of every byte 0x01-0xFF but the line break and the 10 converted ones, a \
1 MiB queue line" "0 crashes, 0 wrong paths, links, log lines or tool arguments"

as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
# A fresh /tmp/plim as a boot without the service's folder entry leaves it: open to all.
fresh_work_root() {
  stop_service
  rm -rf /tmp/plim/* && chmod 1777 /tmp/plim
  : >/hdd/plimd.err
}
# A root-only tree that a job must leave alone; `untouched DIR` checks it.
victim() { mkdir -p "$1/secret" && printf 'x\n' >"$1/secret/shadow" && chmod 700 "$1/secret"; }
untouched() { [ "$(cat "$1/secret/shadow" 2>/dev/null)" = x ] || fail "root removed files in $1"; }
owned_755() { [ "$(stat -c '%U %a' "$1")" = "root 755" ] || fail "$1 is $(stat -c '%U %a' "$1")"; }

say "nobody plants /tmp/plim/tmp -> /hdd/victim before the first start: no tool runs there"
fresh_work_root
victim /hdd/victim/Rec1.rec
as_nobody ln -s /hdd/victim /tmp/plim/tmp || fail "nobody cannot plant the link"
marks_before=$(marks)
printf 'Rec1\n' >"$QUEUE"
start_service
wait_for "Rec1 to be done" grep -qx Rec1 "$DONE"
untouched /hdd/victim/Rec1.rec
[ "$(marks)" -eq "$marks_before" ] || fail "a tool ran in a folder nobody controls"
grep -qxF "plimd: the tools of Rec1 are not run: /tmp/plim/tmp is a link of user 65534" \
  /hdd/plimd.err || fail "no line on stderr says why the tools did not run"
owned_755 /tmp/plim
figure 6 "/tmp/plim/tmp planted by user nobody as a link to a root-only tree before the first \
start, then a job" "0 files removed through the link, 0 tools run, 1 line on stderr"

say "nobody swaps Rec2.rec/d for a link to /hdd/victim2 while the job removes it"
fresh_work_root
files=2000
[ "${PLIMD_FAULT_FULL:-0}" = 1 ] && files=20000
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
rm -f /hdd/hold
untouched /hdd/victim2
[ -e /hdd/victim2/shadow ] || fail "root removed /hdd/victim2/shadow through a swapped link"
owned_755 /tmp/plim/tmp
[ ! -e /tmp/plim/tmp/Rec2.rec ] || grep -q "^plimd: the tools of Rec2 are not run: " \
  /hdd/plimd.err || fail "tools ran in a folder that nobody still controls"
figure 6 "a folder of $files files in the work folder of user nobody, swapped for a link to a \
root-only folder $(cat /hdd/swaps) times by nobody until the job was done" "0 files outside the \
work folder removed, 0 tools run in a folder nobody can still change"

pass
