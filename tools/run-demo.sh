#!/usr/bin/env bash
# Runs the node on the simulated chip with the built-in script and shows what it did.
set -euo pipefail
build=${1:-build/host}
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$build/sitl/endpoint-sitl" --replay "$here/sitl/scenarios/demo.log" --until 3.5 \
    --out "$out/frames.log" --trace "$out/trace.csv" --console "$out/console.txt"

echo "== serial console"
cat "$out/console.txt"
echo "== frames the node sent (candump format, virtual time)"
cat "$out/frames.log"
echo "== output changes (MICROS,NAME,VALUE), first 40"
head -n 40 "$out/trace.csv"

# Second script: two flight controllers vote, the one the node follows falls silent, the node follows the other.
"$build/sitl/endpoint-sitl" --replay "$here/sitl/scenarios/failover.log" --until 3.5 --trace "$out/failover.csv"
echo "== failover: pulse widths and the elected-port LEDs (MICROS,NAME,VALUE)"
grep -E ',(pwm[0-5]_us|led1|led2),' "$out/failover.csv"

# The same script on the flashed image itself, executed on the emulated Cortex-M4 (when it is built).
image="$here/build/stm32f413/endpoint.elf"
if [ -f "$image" ]; then
    "$build/sitl/endpoint-sitl" --elf "$image" --replay "$here/sitl/scenarios/failover.log" --until 3.5 \
        --trace "$out/failover-image.csv" --profile "$out/profile.csv"
    echo "== failover on the image (endpoint.elf on the emulated core): pulse widths and LEDs"
    grep -E ',(pwm0_us|led1|led2),' "$out/failover-image.csv"
    echo "== what it cost on the chip (--profile)"
    cat "$out/profile.csv"
fi
