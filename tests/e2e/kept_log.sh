#!/bin/bash
# The log across a start: each start keeps it as plim.log.1 and starts it empty, so that
# `plimctl log` still finds a record after a restart (the generations are the unit tests'); a
# link planted as plim.log is never written through; logrotate's dated copies leave plim.log.1
# alone.
source "$(dirname "$0")/../lib.sh"

start_service
run_jobs 1 bad
job_log bad >/hdd/bad.record

say "a start keeps the log as plim.log.1 and starts an empty one; log finds the record there"
stop_service
start_service
expect_file "$LOG" /dev/null
expect_file "$LOG.1" /hdd/bad.record
"$PLIMCTL" log bad >/hdd/out || fail "log bad after a restart"
expect_file /hdd/out /hdd/bad.record

say "logrotate's copies carry the date and leave plim.log.1 alone"
run_jobs 2 more
sed 's| /var/log/plimd.log||' "$(dirname "$0")/../../packaging/plimd.logrotate" >/hdd/logrotate.conf
logrotate -s /hdd/logrotate.state -f /hdd/logrotate.conf || fail "logrotate"
expect_file "$LOG.1" /hdd/bad.record
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
expect_file "$LOG.1" /hdd/bad.record
pass
