#!/usr/bin/env bash
# Deep fuzzing: every libFuzzer program of the fuzz build to RUNS executions or SECONDS, whichever comes
# first, starting from the committed corpus; what a run found that reaches new code is merged into the
# committed corpus (tests/fuzz/corpus/NAME). Prints and writes into the assurance report
# (tools/assurance.py) the executions and rate of each target and whether its cap stopped it.
# Usage: fuzz-long.sh BUILD_DIR RUNS SECONDS
set -euo pipefail
build=$1
runs=$2
seconds=$3
root=$(cd "$(dirname "$0")/.." && pwd)
corpus="$root/tests/fuzz/corpus"

echo "fuzz-long: each target to $runs executions or $seconds s, whichever comes first"
rows=()
status=0
for fuzzer in "$build"/tests/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  work="$build/fuzz-long/$name"
  rm -rf "$work" && mkdir -p "$work/new" "$corpus/$name"
  if ! "$fuzzer" -runs="$runs" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" \
       "$work/new" "$corpus/$name" > "$work/log.txt" 2>&1; then
    tail -n 40 "$work/log.txt"
    status=1
  fi
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log.txt")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log.txt")
  stopped_by=$([ "${executed:-0}" -ge "$runs" ] && echo "executions" || echo "time cap")
  before=$(find "$corpus/$name" -type f | wc -l)
  "$fuzzer" -merge=1 "$corpus/$name" "$work/new" > "$work/merge.txt" 2>&1 || status=1
  after=$(find "$corpus/$name" -type f | wc -l)
  row="| $name | ${executed:-?} | ${rate:-?}/s | $stopped_by | $before -> $after |"
  echo "$row"
  rows+=("$row")
done
{
  echo "## Deep fuzzing (make fuzz-long)"
  echo
  echo "Each target to $runs executions or $seconds s, from the committed corpus; new inputs merged into it."
  echo
  echo "| target | executions | rate | stopped by | corpus files |"
  echo "| --- | --- | --- | --- | --- |"
  printf '%s\n' "${rows[@]}"
} | python3 "$root/tools/assurance.py" fuzz
exit $status
