#!/bin/bash
# Names are data: no character of a queue entry is ever taken as shell syntax, a format
# directive or an option, and the file-system name differs from the raw one only where the
# conversion replaces a character by "_".
# shellcheck disable=SC2016 # the names below are meant literally
source "$(dirname "$0")/../lib.sh"

long="$(printf 'L%.0s' {1..4999})Z"
raw=('$(touch pwned)' '`touch pwned2`' 'a;b&c!d>pwned3' "it's \"quoted\"" '-rf' '  two  blanks  '
  '50%s %n $HOME' 'a\b*c?d<e>f|g:h' before after "$long")
fs=('$(touch pwned)' '`touch pwned2`' 'a;b&c!d_pwned3' "it's _quoted_" '-rf' '  two  blanks  '
  '50%s %n $HOME' 'a_b_c_d_e_f_g_h' before after "$long")

say "odd names, a sentinel line and a ${#long}-character line, all drained at start-up"
printf '%s\n' "${raw[@]:0:9}" '<ERROR>' "${raw[@]:9}" >"$QUEUE"
start_service
wait_idle ${#raw[@]}

say "arguments, links and log lines carry the converted names exactly"
# The long name does not fit a folder name, so its job finds no work folder and no links.
expect_file "$CALLS" <(
  for n in "${fs[@]:0:10}"; do job_calls "$n"; done
  job_calls "$long" | sed 's/ts=\[.*\] idx=\[none\] dirs=1$/ts=[none] idx=[none] dirs=0/
                          s/workdir=yes$/workdir=no/'
)
expect_file "$LOG" <(for n in "${fs[@]}"; do job_log "$n"; done)

say "the done list holds the newest ten raw names, the sentinel line not among them"
expect_file "$DONE" <(printf '%s\n' "${raw[@]:1}")
ran=$(find /hdd /tmp/plim -name 'pwned*')
[ -z "$ran" ] || fail "a name was run as a command: $ran"
expect_file /hdd/plimd.out /dev/null
work_dirs_gone
pass
