#!/bin/bash
# Hostile input: a 1 MiB queue line, which is no name: the service sets it aside unread.
# Then a local user (nobody) plants a link as the work folder: root does not follow it. Names of
# every byte are the conversion's unit tests' and the fuzzer's, the configuration scanner's binary
# input the fuzzer's, the walk's judgement of others' folders the work folder's unit tests'.
source "$(dirname "$0")/../lib.sh"

say "a 1 MiB line is set aside unread with a record, then an ordinary name runs"
huge=$(head -c 1048576 /dev/zero | tr '\0' M)
printf '%s\n' "$huge" after >"$QUEUE"
start_service
wait_idle 1
expect_file "$CALLS" <(job_calls after)
expect_file "$LOG" <(job_log after)
expect_file "$DONE" <(printf 'after\n')
grep -qxF "plimd: a queue line of 1048576 bytes is longer than 4096; set aside" /hdd/plimd.err ||
  fail "no line on stderr for the line set aside"
[ "$(grep -c '"error":"a queue line of 1048576 bytes' "$FILES/history")" -eq 1 ] ||
  fail "not one history record for the line set aside"
work_dirs_gone
figure 6 "a 1 MiB queue line" \
  "0 crashes, 0 tools, log records or done entries for it; 1 history record, 1 line on stderr"

say "nobody plants /tmp/plim/tmp -> /hdd/victim before the first start: it is moved aside"
# A fresh /tmp/plim as a boot without the service's folder entry leaves it: open to all.
stop_service
rm -rf /tmp/plim/* && chmod 1777 /tmp/plim
# A root-only tree that a job must leave alone.
mkdir -p -m 700 /hdd/victim/Rec1.rec/secret && printf 'x\n' >/hdd/victim/Rec1.rec/secret/shadow
as_nobody ln -s /hdd/victim /tmp/plim/tmp || fail "nobody cannot plant the link"
printf 'Rec1\n' >"$QUEUE"
: >"$CALLS"
start_service
wait_for "Rec1 to be done" grep -qx Rec1 "$DONE"
[ "$(cat /hdd/victim/Rec1.rec/secret/shadow)" = x ] || fail "root removed files through the link"
moved=$(sed -n 's|^plimd: /tmp/plim/tmp is a link of user 65534; moved it to ||p' /hdd/plimd.err)
[ "$(readlink "$moved")" = /hdd/victim ] || fail "the link was not moved aside whole: $moved"
expect_stat '%u %a %F' "0 755 directory" /tmp/plim/tmp # a folder of root's
expect_file "$CALLS" <(job_calls Rec1)
figure 6 "/tmp/plim/tmp planted by nobody as a link to a root-only tree, then a job" \
  "0 files removed through the link, 0 tools run through it: moved aside, 1 line on stderr"

pass
