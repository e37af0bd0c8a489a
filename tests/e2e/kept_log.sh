#!/bin/bash
# The log across a start: each start keeps it as plim.log.1 (one generation) and starts it
# empty, so `plimctl log` still finds a record after a restart; a link planted as plim.log is
# never written through (every shape at either name is the unit tests'); logrotate's dated
# copies leave plim.log.1 alone.
source "$(dirname "$0")/../lib.sh"

start_service
touch /hdd/fail # the fake analysis tool fails
run_jobs 1 bad
"$PLIMCTL" log bad >/hdd/bad.record || fail "log bad"
grep -qxF "analysis of /tmp/plim/tmp/bad.rec failed" /hdd/bad.record || fail "the record of bad"
"$PLIMCTL" history --json bad | grep -qF '"outcome":"failed"' || fail "bad did not fail"

say "a start keeps the log as plim.log.1 and starts an empty one; log finds the record there"
stop_service
start_service
[ -f "$LOG" ] && [ ! -s "$LOG" ] || fail "the log was not started empty"
expect_file "$LOG.1" /hdd/bad.record
"$PLIMCTL" log bad >/hdd/out || fail "log bad after a restart"
expect_file /hdd/out /hdd/bad.record

say "the next start replaces plim.log.1"
rm /hdd/fail
run_jobs 2 good
stop_service
start_service
expect_file "$LOG.1" <(job_log good)
"$PLIMCTL" log bad 2>/dev/null && fail "the record of two starts ago is still found"

say "logrotate's copies carry the date and leave plim.log.1 alone"
run_jobs 3 more
sed 's| /var/log/plimd.log||' "$(dirname "$0")/../../packaging/plimd.logrotate" >/hdd/logrotate.conf
logrotate -s /hdd/logrotate.state -f /hdd/logrotate.conf || fail "logrotate"
expect_file "$LOG.1" <(job_log good)
rotated=$(compgen -G "$LOG-[0-9]*") || fail "no dated copy: $(ls "$FILES")"
expect_file "$rotated" <(job_log more)

say "a link planted as plim.log is left alone, said, and not written through"
stop_service
printf 'target\n' >/hdd/target
rm "$LOG" && ln -s /hdd/target "$LOG"
start_service
expect_file /hdd/target <(printf 'target\n')
[ -L "$LOG" ] || fail "the link planted as plim.log was moved"
grep -qF "not emptying $LOG: it is no regular file" /hdd/plimd.err || fail "no word of the link"
expect_file "$LOG.1" <(job_log good)
pass
