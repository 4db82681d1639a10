#!/usr/bin/env bash
# The image's stack bound (tools/stack-bound.py) beside the deepest stacks the image reaches on the emulated
# core: the failover script with a GetSet request on each bus every half second, which takes the task down
# the parameter decoder. A measured depth above its bound would mean the bound missed a path: that fails.
# Writes the figures into the assurance report (tools/assurance.py).
# Usage: stack-report.sh HOST_BUILD_DIR CHIP_BUILD_DIR
set -euo pipefail
host=$1
chip=$2
root=$(cd "$(dirname "$0")/.." && pwd)
elf="$chip/endpoint.elf"

bound=$(python3 "$root/tools/stack-bound.py" "$chip" "$elf" --figures "$chip/stack-bound.csv")

# The GetSet request of the frame vectors (node 10 to node 110 on can0), re-addressed to each port's node ID
# and timed into the failover script.
python3 - "$root/sitl/scenarios/failover.log" "$root/tests/vectors/getset_req_CAN2PWM_CH1_int7.log" \
  > "$chip/stack-scenario.log" <<'PY'
import re, sys
lines = [l for l in open(sys.argv[1]) if l.startswith("(")]
request = [re.match(r"\(\S+\) can0 (\S{8})#(\S*)", l).groups() for l in open(sys.argv[2]) if l.startswith("(")]
for t in range(5, 35, 5):
    for port, node in enumerate((110, 111, 112)):
        for i, (ident, data) in enumerate(request):
            ident = (int(ident, 16) & ~(0x7F << 8)) | (node << 8)
            lines.append(f"({t / 10 + port * 0.01 + i * 0.0002:.6f}) can{port} {ident:08X}#{data}\n")
lines.sort(key=lambda l: float(l[1:l.index(")")]))
sys.stdout.write("".join(lines))
PY
"$host/sitl/endpoint-sitl" --elf "$elf" --replay "$chip/stack-scenario.log" --until 3.5 \
  --profile "$chip/stack-profile.csv" --out /dev/null > /dev/null

figure() { grep "^$1," "$2" | cut -d, -f2; }
task_bound=$(figure task_bound_bytes "$chip/stack-bound.csv")
main_bound=$(figure main_bound_bytes "$chip/stack-bound.csv")
task_seen=$(figure stack_task_max_bytes "$chip/stack-profile.csv")
main_seen=$(figure stack_main_max_bytes "$chip/stack-profile.csv")
{
  echo "## Stack bound (make stack)"
  echo
  echo "Computed from the chip build's own figures (-fstack-usage, -fcallgraph-info=su) by tools/stack-bound.py,"
  echo "which the chip build runs after every link and fails when a bound exceeds its stack. Measured: the"
  echo "deepest the image's stacks went on the emulated core (endpoint-sitl --elf --profile) over the failover"
  echo "script with a GetSet request on each bus every half second."
  echo
  echo "| stack | bound | measured |"
  echo "| --- | --- | --- |"
  echo "| task | $task_bound B | $task_seen B |"
  echo "| main | $main_bound B | $main_seen B |"
  echo
  echo "$bound"
} | python3 "$root/tools/assurance.py" stack
echo "stack: task bound $task_bound B, measured $task_seen B; main bound $main_bound B, measured $main_seen B"
if [ "$task_seen" -gt "$task_bound" ] || [ "$main_seen" -gt "$main_bound" ]; then
  echo "stack: the image went deeper than its bound: a path is missing from the call graph" >&2
  exit 1
fi
