#!/bin/sh
# Runs a command in a private network namespace whose loopback is up, so that
# the gateway's fixed ports (the port mapper's 111, the raw sockets from 5025)
# collide with nothing on the machine. Root uses a plain network namespace,
# other users one inside their own user namespace. Exits 77 (a skipped test)
# where the system allows no such namespace.
IP=$(command -v ip || echo /usr/sbin/ip)
if [ "$(id -u)" = 0 ]; then NS=-n; else NS=-rn; fi
if ! unshare $NS "$IP" link set lo up 2>/dev/null; then
  echo "no private network namespace can be made here (unshare $NS): skipped" >&2
  exit 77
fi
exec unshare $NS sh -c "$IP link set lo up && exec \"\$@\"" sh "$@"
