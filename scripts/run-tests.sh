#!/usr/bin/env bash
# Builds DataServer and runs every test suite with CTest.
# A private PostgreSQL server is started on loopback for the ODBC tests (and stopped at the end);
# where it cannot start, those tests are skipped with a message saying why.
#   BUILD_DIR   build folder (default build)
#   CMAKE_ARGS  extra configure arguments (e.g. -DDATASERVER_SANITIZE=address,undefined)
#   CTEST_ARGS  extra ctest arguments (e.g. -L storage)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja ${CMAKE_ARGS:-}
cmake --build "$build" -j2

pg_env=$(scripts/pg-test-server.sh start)
echo "$pg_env" | grep '^#' || true
eval "$pg_env"
trap 'scripts/pg-test-server.sh stop' EXIT

# shellcheck disable=SC2086
ctest --test-dir "$build" --output-on-failure -j2 ${CTEST_ARGS:-}
