#!/usr/bin/env bash
# Runs every libFuzzer program of the fuzz build for a bounded time each.
# Usage: run-fuzzers.sh BUILD_DIR SECONDS
# The committed corpus seeds each run read-only; new inputs go to a scratch folder in the build.
set -euo pipefail
build=$1
seconds=$2
src=$(cd "$(dirname "$0")/.." && pwd)/tests/fuzz/corpus

status=0
for fuzzer in "$build"/tests/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  work="$build/fuzz-work/$name"
  mkdir -p "$work" "$src/$name"
  echo "== $name for ${seconds}s"
  if ! "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" \
       "$work" "$src/$name" > "$work/log.txt" 2>&1; then
    tail -n 40 "$work/log.txt"
    status=1
  else
    grep -E "^stat::number_of_executed_units" "$work/log.txt" || true
  fi
done
exit $status
