#!/usr/bin/env bash
# Runs a command with a throwaway PostgreSQL server beside it, for Windows programs under Wine
# that cannot start a Linux server themselves: a fresh data folder made with initdb, the server
# bound to 127.0.0.1 on a free port, run as the user nobody when this runs as root, stopped and
# removed at the end. The command finds the port in TPTUNE_TEST_PG_PORT (superuser: postgres,
# trust authentication).
#
#   tests/records/with-pg-server.sh COMMAND [ARGS...]
set -euo pipefail
[ $# -ge 1 ] || { sed -n '8p' "$0" >&2; exit 2; }

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$bin/initdb" ] || { echo "with-pg-server: no PostgreSQL server installed (scripts/setup-deps.sh)" >&2; exit 1; }
dir=$(mktemp -d /tmp/tptune-pg.XXXXXX)
as_server=()
if [ "$(id -u)" -eq 0 ]; then
  # The server refuses to run as root.
  chown nobody: "$dir"
  as_server=(runuser -u nobody --)
fi
started=""
cleanup() {
  [ -z "$started" ] || "${as_server[@]}" "$bin/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT

"${as_server[@]}" "$bin/initdb" -D "$dir/data" -A trust -U postgres -E UTF8 --locale=C --no-sync \
  >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
# A free port: the kernel's choice for a socket bound to port 0. Another program may take it
# before the server does; then the next one is tried.
for attempt in 1 2 3 4 5; do
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  if "${as_server[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
       -o "-c listen_addresses=127.0.0.1 -p $port -k $dir -c fsync=off -c max_connections=40" \
       start >/dev/null 2>&1; then
    started=1
    break
  fi
done
[ -n "$started" ] || { echo "with-pg-server: the server did not start:" >&2; cat "$dir/server.log" >&2; exit 1; }
export TPTUNE_TEST_PG_PORT=$port
status=0
"$@" || status=$?
exit $status
