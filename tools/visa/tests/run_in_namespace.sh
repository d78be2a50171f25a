#!/bin/sh
# Runs a command in a private network namespace whose loopback is up, so that
# the gateway's fixed ports (the port mapper's 111, the raw sockets from 5025)
# collide with nothing on the machine. Root uses a plain network namespace,
# other users one inside their own user namespace.
set -e
IP=$(command -v ip || echo /usr/sbin/ip)
if [ "$(id -u)" = 0 ]; then
  exec unshare -n sh -c "$IP link set lo up && exec \"\$@\"" sh "$@"
fi
exec unshare -rn sh -c "$IP link set lo up && exec \"\$@\"" sh "$@"
