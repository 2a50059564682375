#!/usr/bin/env bash
# Creates the embedded SQLite demo database (scripts/demo-db.sql) at the path given.
#   scripts/create-demo-db.sh APP_DIR/data.sqlite3
# An existing file is never touched. Needs the sqlite3 command (scripts/install-deps.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
target=${1:?usage: $0 DATABASE_FILE}
if [ -e "$target" ]; then
  echo "create-demo-db: $target exists; left as it is"
  exit 0
fi
if ! command -v sqlite3 >/dev/null 2>&1; then
  echo "create-demo-db: the sqlite3 command is missing (run scripts/install-deps.sh)" >&2
  exit 1
fi
mkdir -p "$(dirname "$target")"
tmp="$target.tmp.$$"
trap 'rm -f "$tmp"' EXIT
sqlite3 -bail "$tmp" <"$here/demo-db.sql"
mv "$tmp" "$target"
echo "create-demo-db: created $target"
