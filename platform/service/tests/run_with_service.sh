#!/bin/sh
# Runs a command against a throw-away tavrind with N simulated instruments:
#   run_with_service.sh TAVRIND N COMMAND [ARGUMENT...]
# The command finds the service through TAVRIN_SERVICE; the service's log is
# shown when the command fails.
set -u
tavrind=$1
simulate=$2
shift 2
dir=$(mktemp -d)
"$tavrind" --socket "$dir/kernel.sock" --simulate "$simulate" --foreground 2>"$dir/log" &
service=$!
# The socket exists once the service listens; it serves once booted.
tries=0
while [ ! -S "$dir/kernel.sock" ] && [ $tries -lt 500 ]; do
  sleep 0.02
  tries=$((tries + 1))
done
TAVRIN_SERVICE="$dir/kernel.sock" "$@"
status=$?
kill -TERM $service
wait $service || status=1
[ $status -eq 0 ] || cat "$dir/log" >&2
rm -rf "$dir"
exit $status
