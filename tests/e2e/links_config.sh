#!/bin/bash
# The configuration file: the port the listener binds at start, and the index flag that every
# job reads afresh, deciding whether a fresh index file is created and linked.
source "$(dirname "$0")/../lib.sh"

say "port 4000 from the configuration, and no index link with the flag 0"
printf 'word 4000 0\n' >"$FILES/plim.conf"
printf 'stream\n' >/hdd/movie/A.ts
printf 'old index\n' >/hdd/movie/A.ts.idx
printf 'A\n' >"$QUEUE"
umask 077
start_service 4000
umask 022
udp_bound 25252 && fail "the listener also bound the default port"
wait_idle 1
expect_absent /hdd/movie/A.ts.idx
expect_file /hdd/movie/A.ts <(printf 'stream\n')
expect_file "$CALLS" <(job_calls A)

say "with the flag 1 the next job gets a new empty index file, linked, which outlives the job"
printf 'word 4000 1\n' >"$FILES/plim.conf"
printf 'old index\n' >/hdd/movie/B.ts.idx
printf 'B\n' >>"$QUEUE"
send 4000 1
wait_idle 2
expect_file "$CALLS" <(job_calls A; job_calls B "/hdd/movie/B.ts.idx size=0")
# The fake tool wrote through the link; the service creates the file for everyone to write.
expect_file /hdd/movie/B.ts.idx <(printf 'index\n')
expect_stat %a 666 /hdd/movie/B.ts.idx
expect_file "$LOG" <(job_log A; job_log B)
work_dirs_gone
pass
