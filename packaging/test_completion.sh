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
S=$(mktemp -d)
SOCKET=plimctl-completion-$$
trap 'tmux -L "$SOCKET" kill-server 2>/dev/null; rm -rf "$S"' EXIT
mkdir "$S/files" "$S/run" "$S/movie"
# plimctl writes down its arguments; C-x d writes down the line as completed.
cat >"$S/rc" <<EOF
PS1='\$ ' HISTFILE=
source '$COMPLETION'
_plimctl_files='$S/files' _plimctl_movies='$S/movie'
plimctl() { printf '%s\0' "\$@" >'$S/args.new' && mv '$S/args.new' '$S/args'; }
_plimctl_test_dump() { printf '%s' "\$READLINE_LINE" >'$S/line'; }
bind -x '"\C-xd": _plimctl_test_dump'
cd '$S/run' && : >'$S/ready'
EOF
tmux -L "$SOCKET" -f /dev/null new-session -d -s t -x 250 -y 50 \
  "env LC_ALL=C.UTF-8 bash --rcfile '$S/rc' -i"

# Waits up to $2 seconds for the file $1.
appears() { timeout "$2" bash -c 'until [ -e "$0" ]; do sleep 0.1; done' "$1"; }
appears "$S/ready" 10 || { echo "the shell did not start"; exit 1; }

# Names, one a line, with escapes as printf takes them. Each starts with "Some" (the typed part).
NAMES=(
  'Some Title $(touch pwned) ${PATH}'
  'Some `touch pwned` x'
  'Some "dq" and \x27sq\x27 x'
  'Some \\ back\\\\slash \\'
  'Some !! !x !$ end!'
  'Some!lead'
  'Some"lead'
  "Some\\x27lead"
  'Some trail"'
  "Some trail\\x27"
  'Some:c=x :=@ $(touch pwned) y'
  'Some ;touch pwned|touch pwned&>pwned<x (x) * ? [a] {a,b} ~ # x'
  'Some\ttab\x01\x1b[2J\x7f\xc2\x9b\x9b end'
  'Some caf\xc3\xa9 \xe2\x82\xac x'
)
# typed after "plimctl remove " or "plimctl add " | what it stands for
CONTEXTS=('"Some|Some' "'Some|Some" 'Some|Some' 'S"om"e|Some' "So'me|Some"
  'Some:c=|Some:c=' '"Some:c=|Some:c=' "'So'me:c|Some:c")

cases=0 failed=0
fail() {
  printf 'FAIL %s\n' "$*"
  failed=$((failed + 1))
}
for command in remove add; do
  for printed in "${NAMES[@]}"; do
    printf -v name "$printed"
    for context in "${CONTEXTS[@]}"; do
      typed=${context%|*}
      [[ $name == "${context#*|}"* ]] || continue
      cases=$((cases + 1))
      rm -f "$S/args" "$S/line" "$S/files/queue.txt" "$S/movie/"*
      # Where the command completes the name from: the queue, or a recording's file.
      case $command in
        remove) printf '%s\n' "$name" >"$S/files/queue.txt" ;;
        add) : >"$S/movie/$name.ts" ;;
      esac
      tmux -L "$SOCKET" send-keys -t t -l "plimctl $command $typed"
      tmux -L "$SOCKET" send-keys -t t Tab C-x d Enter
      appears "$S/line" 5 || { fail "no line for $printed after $command $typed"; continue; }
      line=$(cat -v "$S/line")
      if ! appears "$S/args" 2; then
        tmux -L "$SOCKET" send-keys -t t C-c
        fail "$command $typed | $printed: the completed line did not run: $line"
      elif ! printf '%s\0' "$command" "$name" | cmp -s - "$S/args"; then
        fail "$command $typed | $printed: got $(tr '\0' '|' <"$S/args" | cat -v) from $line"
      fi
      [ -z "$(ls -A "$S/run")" ] || fail "$command $typed | $printed: ran something of it: $line"
      rm -rf "${S:?}/run/"*
    done
  done
done
echo "$((cases - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
