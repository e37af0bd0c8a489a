#!/bin/bash
# Watching the job that runs: status names its start, its tool and the tool's last line; log
# --follow prints the lines the tools write as they come and ends with the job's outcome. How
# the record is cut, followed across pieces and a cut log, and printed is the unit tests'.
source "$(dirname "$0")/../lib.sh"

# The analysis tool prints a line, waits for /hdd/more, prints another and waits for /hdd/go.
cat >/hdd/plim/bin64/plim <<'TOOL'
#!/bin/sh
echo "plim: first of $(basename "$2" .rec)"
touch /hdd/running
while [ ! -e /hdd/more ]; do sleep 0.02; done
printf 'plim: 50%%\rplim: after more\n'
while [ ! -e /hdd/go ]; do sleep 0.02; done
TOOL
start_service

say "status: the running job's start, tool and last line; JSON too"
"$PLIMCTL" add "Slow One"
wait_for "the tool" test -e /hdd/running
started=$(date -u -d "@$(stat -c %Y "$ACTIVE")" +%Y-%m-%dT%H:%M:%SZ)
for line in "in progress: Slow One" "tool: plim" "last line: plim: first of Slow One"; do
  status_has "$line"
done
"$PLIMCTL" status | grep -qE "^started: $started \([0-9]+ s ago\)$" || fail "no start $started"
status_json_has "\"job\":{\"name\":\"Slow One\",\"start\":\"$started\",\"elapsed\":"
status_json_has '"tool":"plim","last_line":"plim: first of Slow One"}'

say "log --follow prints the lines written after it started and exits 0 once the job is ok"
"$PLIMCTL" log --follow "Slow One" >"$SCRATCH/follow" &
follower=$!
wait_for "log --follow to print the record so far" grep -q "plim: first" "$SCRATCH/follow"
touch /hdd/more
wait_for "the followed line" grep -q "after more" "$SCRATCH/follow"
alive "$follower" || fail "log --follow ended while the job ran"
status_has "last line: plim: after more"
touch /hdd/go
wait "$follower" || fail "log --follow returned $?, not 0"
expect_file "$SCRATCH/follow" <(
  printf '>>>>>>>> plim start Slow One\n*************** plim ***************\n'
  printf 'plim: first of Slow One\nplim: 50%%\rplim: after more\n*************** plim_mark '
  printf '***************\nplim_mark: stdout Slow One\n>>>>>>>> plim stop Slow One\n')
pass
