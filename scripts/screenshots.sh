#!/usr/bin/env bash
# Renders the operator console under a virtual display (Xvfb) and saves a picture of each tab:
# docs/console-server-info.png and docs/console-backup.png, which the README shows. A few local
# clients connect meanwhile, so the client list, the log and the session count have something
# to show. Needs the packages of scripts/install-deps.sh (xvfb, a CJK font, Qt).
#   BUILD_DIR        build folder (default build); configured with the console when new
#   DATASERVER_PORT  the port the pictured server listens on (default 18211)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
port=${DATASERVER_PORT:-18211}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DDATASERVER_BUILD_CONSOLE=ON
fi
cmake --build "$build" -j2 --target dataserver dataclient

app=$(mktemp -d)
trap 'exec 3>&- 4>&- || true; rm -rf "$app"' EXIT
printf '[CONFIG]\r\nSVROPENPORT=%s\r\n[Backup]\r\nBackupType=2\r\nEveryTime=30\r\nEveryDay=2\r\nbakpath=/srv/dataserver/BackupData\r\n' \
  "$port" >"$app/CONFIG.CFG"
printf 'DriverID=SQLite\r\nDatabase=data.sqlite3\r\n' >"$app/DataBase.CFG"

# The screenshot mode serves for 3 s, then saves the pictures and ends.
xvfb-run -a -s "-screen 0 1280x800x24" \
  "$build/src/dataserver" --app-dir "$app" --screenshot-dir docs &
server=$!

# One client that calls and leaves (an arrival and a departure in the log), then two that stay.
for _ in $(seq 100); do
  if "$build/tools/dataclient/dataclient" --port "$port" datetime >/dev/null 2>&1; then break; fi
  sleep 0.05
done
exec 3<>"/dev/tcp/127.0.0.1/$port"
exec 4<>"/dev/tcp/127.0.0.1/$port"

wait "$server"
echo "screenshots: wrote docs/console-server-info.png and docs/console-backup.png"
