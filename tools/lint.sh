#!/usr/bin/env bash
# Static analysis of firmware/, platform/ and sitl/: clang-tidy with the checked-in .clang-tidy over every
# source the host build compiles, and over those only the chip's image compiles (with the chip's target and
# its compiler's headers); then cppcheck over the host build's sources. Any finding fails the run.
# Usage: lint.sh HOST_BUILD_DIR CHIP_BUILD_DIR
# cppcheck runs its warning, performance and portability checks: its style checks repeat clang-tidy's
# readability ones and, on this code, mostly mistake loops for conditions that never change.
set -euo pipefail
host=$1
chip=$2
root=$(cd "$(dirname "$0")/.." && pwd)
work="$host/lint"
mkdir -p "$work"

# The sources of the three trees in each build, and a compilation database of the host's for cppcheck.
python3 - "$root" "$host/compile_commands.json" "$chip/compile_commands.json" "$work" <<'EOF'
import json, sys
root, host_db, chip_db, work = sys.argv[1:]
def ours(entry):
    return any(entry["file"].startswith(f"{root}/{tree}/") for tree in ("firmware", "platform", "sitl"))
host = [e for e in json.load(open(host_db)) if ours(e)]
host_files = {e["file"] for e in host}
chip_only = sorted({e["file"] for e in json.load(open(chip_db)) if ours(e)} - host_files)
json.dump(host, open(f"{work}/compile_commands.json", "w"))
open(f"{work}/host-files", "w").write("\n".join(sorted(host_files)) + "\n")
open(f"{work}/chip-files", "w").write("\n".join(chip_only) + "\n")
EOF
mapfile -t host_files < "$work/host-files"
mapfile -t chip_files < "$work/chip-files"

# Each tool's report, colours stripped; a tool that fails without a finding (a source that does not
# compile for it) shows the end of its report.
status=0
report() {
  local name=$1 tool_status=$2
  sed -i 's/\x1b\[[0-9;]*m//g' "$work/$name.txt"
  local findings
  findings=$(grep -E ': (warning|error|style|performance|portability)[: ]' "$work/$name.txt" | sort -u || true)
  echo "$name: $(printf '%s' "$findings" | grep -c . || true) findings"
  if [ -n "$findings" ]; then
    echo "$findings"
    status=1
  elif [ "$tool_status" != 0 ]; then
    tail -n 20 "$work/$name.txt"
    status=1
  fi
}

run-clang-tidy-14 -p "$host" -j "$(nproc)" -quiet "${host_files[@]}" > "$work/clang-tidy-host.txt" 2>&1 && s=0 || s=$?
report clang-tidy-host $s

# clang knows the chip's target but not where the cross compiler keeps its C and C++ headers: ask it.
system_includes=()
while read -r dir; do
  system_includes+=("--extra-arg=-isystem$dir")
done < <(arm-none-eabi-g++ -mcpu=cortex-m4 -mthumb -mfloat-abi=hard -mfpu=fpv4-sp-d16 -E -x c++ - -v </dev/null 2>&1 |
         sed -n '/#include <...> search starts here/,/End of search list/p' | sed -n 's/^ //p')
clang-tidy-14 -p "$chip" --quiet --extra-arg-before=--target=arm-none-eabi --extra-arg=-nostdinc \
  "${system_includes[@]}" "${chip_files[@]}" > "$work/clang-tidy-chip.txt" 2>&1 && s=0 || s=$?
report clang-tidy-chip $s

cppcheck --project="$work/compile_commands.json" --enable=warning,performance,portability --inline-suppr \
  --suppress=missingIncludeSystem -j "$(nproc)" --quiet --error-exitcode=1 \
  --template='{file}:{line}: {severity} [{id}] {message}' > "$work/cppcheck.txt" 2>&1 && s=0 || s=$?
report cppcheck $s

echo "lint: clang-tidy over ${#host_files[@]} + ${#chip_files[@]} sources, cppcheck over ${#host_files[@]}: \
$([ $status = 0 ] && echo clean || echo FINDINGS)"
exit $status
