#!/bin/sh
# A throwaway PostgreSQL server for tests: initdb into a fresh directory, started as an
# unprivileged user (nobody when run as root) on a free port of 127.0.0.1, trust
# authentication on loopback only. Nothing reaches beyond this machine.
#
#   pg_server.sh start STATE          starts a server; prints its URL (postgresql://...)
#   pg_server.sh createdb STATE NAME  makes a database; prints its URL
#   pg_server.sh kill STATE           SIGKILL to the server (a crash)
#   pg_server.sh restart STATE        starts it again on the same port and data
#   pg_server.sh stop STATE           stops it and removes its data
#
# STATE is a directory of the caller's where the script keeps what it needs (port, data
# directory). Exit status 77 (and a line on stderr) when PostgreSQL is not installed.
set -eu

cmd=${1:-}
state=${2:-}
[ -n "$cmd" ] && [ -n "$state" ] || { echo "usage: pg_server.sh start|createdb|kill|restart|stop STATE [NAME]" >&2; exit 2; }

bin=
for dir in /usr/lib/postgresql/15/bin $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -rV); do
  if [ -x "$dir/initdb" ] && [ -x "$dir/pg_ctl" ]; then bin=$dir; break; fi
done
[ -n "$bin" ] || { echo "pg_server.sh: PostgreSQL is not installed (apt-get install postgresql)" >&2; exit 77; }

# As root the server runs as nobody (PostgreSQL refuses to run as root).
as_user() {
  if [ "$(id -u)" = 0 ]; then
    if command -v runuser >/dev/null 2>&1; then runuser -u nobody -- "$@"; else setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; fi
  else
    "$@"
  fi
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

url() { echo "postgresql://postgres@127.0.0.1:$(cat "$state/port")/$1"; }

start_server() {
  data=$(cat "$state/data")
  # After a kill: a postmaster.pid whose process is gone or a zombie is stale.
  pid=$(head -1 "$data/postmaster.pid" 2>/dev/null || true)
  if [ -n "$pid" ] && { [ ! -e "/proc/$pid" ] || grep -q '^State:.*Z' "/proc/$pid/status" 2>/dev/null; }; then
    rm -f "$data/postmaster.pid"
  fi
  as_user "$bin/pg_ctl" -D "$data" -l "$data/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $(cat "$state/port") -k $data -c fsync=on -c max_connections=50" start >/dev/null ||
    { echo "pg_server.sh: the server did not start:" >&2; tail -5 "$data/server.log" >&2; exit 1; }
}

case $cmd in
  start)
    mkdir -p "$state"
    # The data directory lies where the unprivileged user can reach it.
    data=$(mktemp -d /tmp/sp-pg-XXXXXX)
    chmod 700 "$data"
    [ "$(id -u)" = 0 ] && chown nobody "$data"
    echo "$data" >"$state/data"
    as_user "$bin/initdb" -D "$data" -U postgres --auth=trust -E UTF8 --locale=C.UTF-8 >"$state/initdb.log" 2>&1 ||
      { echo "pg_server.sh: initdb failed:" >&2; tail -5 "$state/initdb.log" >&2; exit 1; }
    free_port >"$state/port"
    start_server
    url postgres
    ;;
  createdb)
    name=${3:?database name}
    as_user "$bin/psql" -h 127.0.0.1 -p "$(cat "$state/port")" -U postgres -d postgres -q -v ON_ERROR_STOP=1 \
      -c "CREATE DATABASE \"$name\"" >/dev/null
    url "$name"
    ;;
  kill)
    data=$(cat "$state/data")
    pid=$(head -1 "$data/postmaster.pid" 2>/dev/null || true)
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null || true
    # Its processes notice the postmaster is gone and exit; wait for them, and for the
    # postmaster to be reaped (a zombie would still hold postmaster.pid).
    for _ in $(seq 1 100); do
      if ! pgrep -f -- "-D $data" >/dev/null 2>&1 && { [ -z "$pid" ] || [ ! -e "/proc/$pid" ]; }; then break; fi
      sleep 0.1
    done
    ;;
  restart)
    start_server
    ;;
  stop)
    data=$(cat "$state/data" 2>/dev/null || true)
    if [ -n "$data" ] && [ -d "$data" ]; then
      as_user "$bin/pg_ctl" -D "$data" -m immediate -w stop >/dev/null 2>&1 || true
      rm -rf "$data"
    fi
    rm -f "$state/data" "$state/port"
    ;;
  *)
    echo "pg_server.sh: unknown command $cmd" >&2
    exit 2
    ;;
esac
