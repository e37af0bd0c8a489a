#!/bin/bash
# Watching the job that runs: status names it, its tool and the tool's last line; log --follow
# prints the lines the tools write as they come and ends with the job's outcome. How the record
# is cut, followed across pieces and printed is the unit tests'.
source "$(dirname "$0")/../lib.sh"

# The analysis tool prints a line, waits for /hdd/more, prints another and waits for /hdd/go.
cat >/hdd/plim/bin64/plim <<'TOOL'
#!/bin/sh
echo "plim: first of $(basename "$2" .rec)"
while [ ! -e /hdd/more ]; do sleep 0.02; done
printf 'plim: 50%%\rplim: after more\n'
while [ ! -e /hdd/go ]; do sleep 0.02; done
TOOL
start_service
"$PLIMCTL" add "Slow One"
wait_for "the tool's first line" grep -q "first of" "$LOG"
for line in "in progress: Slow One" "tool: plim" "last line: plim: first of Slow One"; do
  status_has "$line"
done
"$PLIMCTL" log --follow "Slow One" >"$SCRATCH/follow" &
follower=$!
wait_for "log --follow to print the first line" grep -q "first of" "$SCRATCH/follow"
touch /hdd/more
wait_for "the line written after it started" grep -q "after more" "$SCRATCH/follow"
alive "$follower" || fail "log --follow ended while the job ran"
status_has "last line: plim: after more"
touch /hdd/go
wait "$follower" || fail "log --follow returned $?, not 0"
expect_file "$SCRATCH/follow" <(
  printf '>>>>>>>> plim start Slow One\n*************** plim ***************\n'
  printf 'plim: first of Slow One\nplim: 50%%\rplim: after more\n*************** plim_mark '
  printf '***************\nplim_mark: stdout Slow One\n>>>>>>>> plim stop Slow One\n')
pass
