#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and UndefinedBehaviorSanitizer
# and runs each for a bounded time (seconds per target, default 60).
# Seeds come from tests/fuzz_corpus/<target>/; new inputs go to a scratch copy, not the tree.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j2
mapfile -t targets < <(find "$build" -type f -name 'fuzz_*' -perm -u+x | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "run-fuzzers: no fuzz targets"
  exit 0
fi
status=0
for t in "${targets[@]}"; do
  name=$(basename "$t")
  work=$(mktemp -d)
  if [ -d "tests/fuzz_corpus/$name" ]; then cp -r "tests/fuzz_corpus/$name/." "$work/"; fi
  echo "run-fuzzers: $name for ${seconds}s"
  if ! "$t" -max_total_time="$seconds" -rss_limit_mb=4096 -print_final_stats=1 "$work" >"$work.log" 2>&1; then
    echo "run-fuzzers: $name FAILED"
    tail -n 60 "$work.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units|Done' "$work.log" | tail -n 2 || true
  fi
  rm -rf "$work" "$work.log"
done
exit $status
