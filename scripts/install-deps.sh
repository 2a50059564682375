#!/usr/bin/env bash
# Installs everything DataServer needs to build, run and test, from Debian 12 packages only.
# Idempotent: packages already present are left alone. Usable by a person (via sudo) and by CI (root).
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git ca-certificates clang libclang-rt-14-dev
  # libraries
  zlib1g-dev libsqlite3-dev unixodbc unixodbc-dev nlohmann-json3-dev qt6-base-dev
  # tests and benchmarks (libpq-dev: the libpq baseline of bench/data_result_bench)
  libgtest-dev libgmock-dev libbenchmark-dev libpq-dev
  # ODBC drivers exercised by the tests, and a real PostgreSQL server for the ODBC path
  odbc-postgresql libsqliteodbc tdsodbc postgresql sqlite3
  # console: a CJK font so the Chinese texts render, a virtual display for screenshots and widget tests
  fonts-noto-cjk xvfb xauth
)

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages already installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
