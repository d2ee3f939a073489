#!/usr/bin/env bash
# Runs a command with a throwaway PostgreSQL server beside it, for Windows programs under Wine
# that cannot start a Linux server themselves: a fresh data folder made with initdb, the server
# bound to 127.0.0.1 on a free port, run as the user nobody when this runs as root, stopped and
# removed at the end. The command finds the port in TPTUNE_TEST_PG_PORT (superuser: postgres,
# trust authentication).
#
#   tests/records/with-pg-server.sh [--tls] COMMAND [ARGS...]
#
# --tls: a server as a line's should be: TLS with a certificate made here and now (openssl req,
# self-signed), and over TCP only TLS connections of the role "tuner" with its password
# (SCRAM), which the command finds in TPTUNE_TEST_PG_PASSWORD; a connection in clear text is
# refused. The database "line" belongs to that role.
set -euo pipefail
tls=""
if [ "${1:-}" = --tls ]; then
  tls=1
  shift
fi
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
options="-c listen_addresses=127.0.0.1 -k $dir -c fsync=off -c max_connections=40"
if [ -n "$tls" ]; then
  # The key may be read by the server's user alone, or the server does not start.
  "${as_server[@]}" openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
    -keyout "$dir/server.key" -out "$dir/server.crt" 2>"$dir/openssl.log" \
    || { cat "$dir/openssl.log" >&2; exit 1; }
  chmod 600 "$dir/server.key"
  # The superuser by the Unix socket alone (to set up the role below); over TCP, TLS only.
  "${as_server[@]}" tee "$dir/data/pg_hba.conf" >/dev/null <<HBA
local   all  postgres               trust
hostssl line tuner    127.0.0.1/32  scram-sha-256
HBA
  options+=" -c ssl=on -c ssl_cert_file=$dir/server.crt -c ssl_key_file=$dir/server.key"
  options+=" -c password_encryption=scram-sha-256"
fi
# A free port: the kernel's choice for a socket bound to port 0. Another program may take it
# before the server does; then the next one is tried.
for attempt in 1 2 3 4 5; do
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  if "${as_server[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
       -o "-p $port $options" start >/dev/null 2>&1; then
    started=1
    break
  fi
done
[ -n "$started" ] || { echo "with-pg-server: the server did not start:" >&2; cat "$dir/server.log" >&2; exit 1; }
export TPTUNE_TEST_PG_PORT=$port
if [ -n "$tls" ]; then
  # A password with characters a location must carry percent-escaped.
  password="tls-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')@/?#"
  "${as_server[@]}" "$bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U postgres \
    -d postgres -v password="$password" >/dev/null <<'SQL' || { cat "$dir/server.log" >&2; exit 1; }
CREATE ROLE tuner LOGIN PASSWORD :'password';
CREATE DATABASE line OWNER tuner;
SQL
  export TPTUNE_TEST_PG_PASSWORD=$password
fi
status=0
"$@" || status=$?
exit $status
