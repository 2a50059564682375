#!/usr/bin/env bash
# Builds the server (and dataclient) and runs it in the foreground, without a window, on an
# application folder prepared beside the build: CONFIG.CFG, DataBase.CFG (the embedded SQLite
# default), the demo database it points at (scripts/demo-db.sql, created on first run) and the
# Upload folder. Ctrl-C (SIGINT) or SIGTERM stops it with exit code 0.
#   BUILD_DIR        build folder (default build)
#   APP_DIR          application folder (default $BUILD_DIR/app)
#   DATASERVER_PORT  port written into a new CONFIG.CFG when not running as root (default 8211;
#                    port 211 is privileged). An existing CONFIG.CFG is never changed.
#   SKIP_BUILD       1: run the executables already in BUILD_DIR without building first
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
app=${APP_DIR:-$build/app}

if [ "${SKIP_BUILD:-0}" != 1 ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  fi
  cmake --build "$build" -j2 --target dataserver dataclient
fi

mkdir -p "$app/Upload"
if [ ! -f "$app/CONFIG.CFG" ] && [ "$(id -u)" -ne 0 ]; then
  port=${DATASERVER_PORT:-8211}
  printf '[CONFIG]\nSVROPENPORT=%s\n' "$port" >"$app/CONFIG.CFG"
  echo "run-server: wrote $app/CONFIG.CFG with SVROPENPORT=$port (port 211 needs root)"
fi
if [ ! -f "$app/DataBase.CFG" ]; then
  printf 'DriverID=SQLite\r\nDatabase=data.sqlite3\r\n' >"$app/DataBase.CFG"
  echo "run-server: wrote $app/DataBase.CFG for the embedded SQLite database"
fi
# The demo database, when DataBase.CFG names it and it does not exist yet.
cfg_value() { tr -d '\r' <"$app/DataBase.CFG" | sed -n "s/^$1=//p" | head -n 1; }
if [ "$(cfg_value DriverID)" = "SQLite" ] && [ "$(cfg_value Database)" = "data.sqlite3" ] &&
  [ ! -e "$app/data.sqlite3" ]; then
  scripts/create-demo-db.sh "$app/data.sqlite3"
fi

exec "$build/src/dataserver" --headless --app-dir "$app"
