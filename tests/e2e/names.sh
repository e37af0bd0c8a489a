#!/bin/bash
# Names are data: no character of a queue entry is ever taken as shell syntax, a format
# directive or an option. The conversion of the characters a file name cannot hold is the unit
# tests' (jobs/convert_test.cc); these names hold none of them.
# shellcheck disable=SC2016 # the names below are meant literally
source "$(dirname "$0")/../lib.sh"

names=('$(touch pwned)' '`touch pwned2`' 'a;b&c!d&&touch pwned3' "it's 'quoted'" '-rf'
  '  two  blanks  ' '50%s %n $HOME')

say "names that look like commands, options or formats, around a sentinel line, all drained"
printf '%s\n' "${names[@]:0:4}" '<ERROR>' "${names[@]:4}" >"$QUEUE"
start_service
wait_idle ${#names[@]}
expect_file "$CALLS" <(for n in "${names[@]}"; do job_calls "$n"; done)
expect_file "$LOG" <(for n in "${names[@]}"; do job_log "$n"; done)
expect_file "$DONE" <(printf '%s\n' "${names[@]}")
ran=$(find /hdd /tmp/plim -name 'pwned*')
[ -z "$ran" ] || fail "a name was run as a command: $ran"
expect_file /hdd/plimd.out /dev/null
work_dirs_gone
pass
