#!/bin/bash
# The bash completion under readline itself (which words it offers is CommandTableTest's and e2e
# control's): names that hold what the shell would run, expand or split on, queued (for remove)
# or as a recording's file name (for add), are completed within double quotes, within single
# quotes and unquoted, and the line is run in an interactive shell (history expansion on). Each
# must reach the command as one argument, byte for byte, with nothing of it run. Needs tmux for
# a terminal; exits 125 without.
set -u
COMPLETION=$(cd "$(dirname "$0")" && pwd)/plimctl.bash-completion
command -v tmux >/dev/null || { echo "tmux not installed: skipped"; exit 125; }
S=$(mktemp -d) T="tmux -L plimctl-completion-$$"
trap '$T kill-server 2>/dev/null; rm -rf "$S"' EXIT
mkdir "$S/files" "$S/run" "$S/movie"
# plimctl writes down its arguments; C-x d writes down the line as completed.
cat >"$S/rc" <<EOF
PS1='\$ ' HISTFILE=
source '$COMPLETION'
_plimctl_files='$S/files' _plimctl_movies='$S/movie'
plimctl() { printf '%s\0' "\$@" >'$S/args.new' && mv '$S/args.new' '$S/args'; }
bind -x '"\C-xd": printf %s "\$READLINE_LINE" >$S/line'
cd '$S/run' && : >'$S/ready'
EOF
$T -f /dev/null new-session -d -s t -x 250 -y 50 "env LC_ALL=C.UTF-8 bash --rcfile '$S/rc' -i"
# Waits up to $2 seconds for the file $1.
appears() { timeout "$2" bash -c 'until [ -e "$0" ]; do sleep 0.1; done' "$1"; }
appears "$S/ready" 10 || { echo "the shell did not start"; exit 1; }

# Names, with escapes as printf takes them. Each starts with "Some" (the typed part).
NAMES=(
  'Some Title $(touch pwned) ${PATH}' 'Some `touch pwned` x' 'Some "dq" and \x27sq\x27 x'
  'Some \\ back\\\\slash \\' 'Some !! !x !$ end!' 'Some!lead' 'Some"lead' "Some\\x27lead"
  'Some trail"' "Some trail\\x27" 'Some:c=x :=@ $(touch pwned) y'
  'Some ;touch pwned|touch pwned&>pwned<x (x) * ? [a] {a,b} ~ # x'
  'Some\ttab\x01\x1b[2J\x7f\xc2\x9b\x9b end' 'Some caf\xc3\xa9 \xe2\x82\xac x'
)
# typed after "plimctl remove " or "plimctl add " | what it stands for
CONTEXTS=('"Some|Some' "'Some|Some" 'Some|Some' 'S"om"e|Some' "So'me|Some"
  'Some:c=|Some:c=' '"Some:c=|Some:c=' "'So'me:c|Some:c")
failed=0
for command in remove add; do
  for printed in "${NAMES[@]}"; do
    printf -v name "$printed"
    for context in "${CONTEXTS[@]}"; do
      typed=${context%|*}
      [[ $name == "${context#*|}"* ]] || continue
      rm -f "$S/args" "$S/line" "$S/files/queue.txt" "$S/movie/"*
      # Where the command completes the name from: the queue, or a recording's file.
      if [ $command = remove ]; then printf '%s\n' "$name" >"$S/files/queue.txt"; else : >"$S/movie/$name.ts"; fi
      $T send-keys -t t -l "plimctl $command $typed"
      $T send-keys -t t Tab C-x d Enter
      # A line left open (an unclosed quote) is cancelled so that the next case starts afresh.
      appears "$S/line" 5 && appears "$S/args" 2 || $T send-keys -t t C-c
      if ! printf '%s\0' "$command" "$name" | cmp -s - "$S/args" || [ -n "$(ls -A "$S/run")" ]; then
        echo "FAIL $command $typed | $printed: line $(cat -v "$S/line"), got $(tr '\0' '|' <"$S/args" | cat -v)," \
          "ran: $(ls -A "$S/run")"
        failed=$((failed + 1))
      fi 2>/dev/null
      rm -rf "${S:?}/run/"*
    done
  done
done
echo "$failed failed"
[ "$failed" -eq 0 ]
