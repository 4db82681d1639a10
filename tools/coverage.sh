#!/usr/bin/env bash
# Runs the host tests of a build made with gcov counters (the coverage preset) and reports line and branch
# coverage of firmware/, platform/ and sitl/ per module, with gcovr. Prints the totals and writes the
# report into the assurance report (tools/assurance.py).
# Usage: coverage.sh BUILD_DIR
set -euo pipefail
build=$1
root=$(cd "$(dirname "$0")/.." && pwd)

# Counters from an earlier run would add to this one's.
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure > "$build/coverage-tests.txt" 2>&1 ||
  { tail -n 40 "$build/coverage-tests.txt"; exit 1; }
tail -n 3 "$build/coverage-tests.txt"

mkdir -p "$build/coverage"
# Branches the compiler adds for exceptions cannot be taken: nothing here throws (no exceptions in the
# firmware; the PC program and the models do not throw either).
gcovr --root "$root" --object-directory "$build" -j "$(nproc)" --exclude-directories "$build/CMakeFiles" \
  --filter "$root/firmware/" --filter "$root/platform/" --filter "$root/sitl/" \
  --exclude-throw-branches --exclude-unreachable-branches \
  --json-summary "$build/coverage-summary.json" --json-summary-pretty \
  --html-details "$build/coverage/index.html" > /dev/null

report=$(python3 "$root/tools/coverage-report.py" "$build/coverage-summary.json")
{
  echo "## Coverage (make coverage)"
  echo
  echo "The host tests (unit, node, emulator and SITL tests, $(grep -oE 'out of [0-9]+' "$build/coverage-tests.txt" | grep -oE '[0-9]+') test cases) under gcov, counted by gcovr; branches the compiler adds for exceptions are left out. Fatal stops are tested by death tests, whose children end in abort() and write no counters: a line only a fatal stop reaches counts as not run. The bootloader's update and maintenance (bootloader/updater) run only as the chip's image, on the emulated core (update_test, live_test), which gcov does not count: its 0 % says that, not that it is untested."
  echo
  echo "$report"
} | python3 "$root/tools/assurance.py" coverage
echo "$report" | sed -n '1,5p'
echo "per module: ${ASSURANCE_DOC:-build/assurance.md}; line by line: $build/coverage/index.html"
