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

# The sources of the three trees in each build, a compilation database of the host's for cppcheck, and
# one of the chip's without the options only gcc knows (the stack figures for the stack bound, the loop
# distribution the chip's own memcpy and memset are built without).
python3 - "$root" "$host/compile_commands.json" "$chip/compile_commands.json" "$work" <<'EOF'
import json, os, sys
root, host_db, chip_db, work = sys.argv[1:]
def ours(entry):
    return any(entry["file"].startswith(f"{root}/{tree}/") for tree in ("firmware", "platform", "sitl"))
host = [e for e in json.load(open(host_db)) if ours(e)]
host_files = {e["file"] for e in host}
chip = [e for e in json.load(open(chip_db)) if ours(e) and e["file"] not in host_files]
chip_only = sorted({e["file"] for e in chip})
for e in chip:
    e["command"] = " ".join(w for w in e["command"].split()
                            if w not in ("-fstack-usage", "-fcallgraph-info=su", "-fno-tree-loop-distribute-patterns"))
json.dump(host, open(f"{work}/compile_commands.json", "w"))
os.makedirs(f"{work}/chip", exist_ok=True)
json.dump(chip, open(f"{work}/chip/compile_commands.json", "w"))
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
clang-tidy-14 -p "$work/chip" --quiet --extra-arg-before=--target=arm-none-eabi --extra-arg=-nostdinc \
  "${system_includes[@]}" "${chip_files[@]}" > "$work/clang-tidy-chip.txt" 2>&1 && s=0 || s=$?
report clang-tidy-chip $s

cppcheck --project="$work/compile_commands.json" --enable=warning,performance,portability --inline-suppr \
  --suppress=missingIncludeSystem -j "$(nproc)" --quiet --error-exitcode=1 \
  --template='{file}:{line}: {severity} [{id}] {message}' > "$work/cppcheck.txt" 2>&1 && s=0 || s=$?
report cppcheck $s

summary="clang-tidy 14 over ${#host_files[@]} + ${#chip_files[@]} sources, cppcheck over ${#host_files[@]}: \
$([ $status = 0 ] && echo clean || echo FINDINGS)"
echo "lint: $summary"
suppressions=$(grep -rn "NOLINT" "$root/firmware" "$root/platform" "$root/sitl" | sed "s|^$root/||")
{
  echo "## Static analysis (make lint)"
  echo
  echo "$summary. The checks and what is left out, with why: \`.clang-tidy\`. Each suppression, at its line:"
  echo
  echo "$suppressions" | sed 's/^\([^:]*:[0-9]*\):[[:space:]]*\(.*\)$/- `\1`: `\2`/'
} | python3 "$root/tools/assurance.py" lint
exit $status
