#!/usr/bin/env bash
# A private PostgreSQL server on loopback for the tests of the ODBC path.
#   scripts/pg-test-server.sh start   prints "export DATASERVER_PG_CONN=..." lines to eval
#   scripts/pg-test-server.sh stop
# The instance lives in its own data folder on its own port, so it never touches a system
# cluster. As root it runs as the "postgres" user (the server refuses to run as root).
# When no server can be started it prints a comment saying why, and the PostgreSQL tests skip.
set -u
action=${1:-start}
port=${DATASERVER_PG_TEST_PORT:-55432}
dir=${DATASERVER_PG_TEST_DIR:-/tmp/dataserver-pg-test}
bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then su postgres -s /bin/sh -c "$*"; else sh -c "$*"; fi
}

case "$action" in
  start)
    if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
      echo "# PostgreSQL server binaries not found (install the postgresql package); PostgreSQL tests will be skipped"
      exit 0
    fi
    if [ "$(id -u)" -eq 0 ] && ! id postgres >/dev/null 2>&1; then
      echo "# no postgres user to run the test server; PostgreSQL tests will be skipped"
      exit 0
    fi
    as_owner "'$bindir/pg_ctl' -D '$dir/data' -m immediate stop" >/dev/null 2>&1
    rm -rf "$dir"; mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres "$dir"
    if ! as_owner "'$bindir/initdb' -D '$dir/data' -U postgres -A trust -E UTF8 --locale=C.UTF-8" >"$dir.log" 2>&1; then
      echo "# initdb failed (see $dir.log); PostgreSQL tests will be skipped"
      exit 0
    fi
    if ! as_owner "'$bindir/pg_ctl' -D '$dir/data' -l '$dir/server.log' -w -t 60 -o \"-p $port -k '$dir' -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=200\" start" >>"$dir.log" 2>&1; then
      echo "# the PostgreSQL test server did not start (see $dir/server.log); PostgreSQL tests will be skipped"
      exit 0
    fi
    as_owner "'$bindir/psql' -h 127.0.0.1 -p $port -U postgres -d postgres -q -c \"CREATE ROLE dstest LOGIN PASSWORD 'dstest'\" -c \"CREATE DATABASE dstest OWNER dstest\"" >>"$dir.log" 2>&1
    echo "export DATASERVER_PG_CONN='Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$port;Database=dstest;UID=dstest;PWD=dstest'"
    echo "export DATASERVER_PG_PORT=$port"
    ;;
  stop)
    [ -n "$bindir" ] && as_owner "'$bindir/pg_ctl' -D '$dir/data' -m fast stop" >/dev/null 2>&1
    exit 0
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
