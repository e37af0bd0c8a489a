#!/bin/bash
# Hostile input: a local user (nobody) plants a link as the work folder: root does not follow
# it. Names of every byte are the conversion's unit tests' and the fuzzer's, the configuration
# scanner's binary input the fuzzer's, the walk's judgement of others' folders the work folder's
# unit tests', queue lines too long to be names e2e.producers' and the job files' unit tests'.
source "$(dirname "$0")/../lib.sh"

say "nobody plants /tmp/plim/tmp -> /hdd/victim before the first start: it is moved aside"
# A fresh /tmp/plim as a boot without the service's folder entry leaves it: open to all.
chmod 1777 /tmp/plim
# A root-only tree that a job must leave alone.
mkdir -p -m 700 /hdd/victim/Rec1.rec/secret && printf 'x\n' >/hdd/victim/Rec1.rec/secret/shadow
as_nobody ln -s /hdd/victim /tmp/plim/tmp || fail "nobody cannot plant the link"
printf 'Rec1\n' >"$QUEUE"
start_service
wait_for "Rec1 to be done" grep -qx Rec1 "$DONE"
[ "$(cat /hdd/victim/Rec1.rec/secret/shadow)" = x ] || fail "root removed files through the link"
moved=$(sed -n 's|^plimd: /tmp/plim/tmp is a link of user 65534; moved it to ||p' /hdd/plimd.err)
[ "$(readlink "$moved")" = /hdd/victim ] || fail "the link was not moved aside whole: $moved"
expect_stat '%u %a %F' "0 755 directory" /tmp/plim/tmp # a folder of root's
expect_file "$CALLS" <(job_calls Rec1)
expect_file "$LOG" <(job_log Rec1)
work_dirs_gone
figure 6 "/tmp/plim/tmp planted by nobody as a link to a root-only tree, then a job" \
  "0 files removed through the link, 0 tools run through it: moved aside, 1 line on stderr"

pass
