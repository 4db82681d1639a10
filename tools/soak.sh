#!/usr/bin/env bash
# The hostile soak: SECONDS of hostile traffic on all three buses (tools/hostile-log.py), CAN2 disconnected
# for a twentieth of the run from a third of it on, judged by tools/soak-check.py. Further arguments go to
# endpoint-sitl (--elf IMAGE, say).
# usage: tools/soak.sh ENDPOINT_SITL SECONDS [ARGS...]
set -euo pipefail
sitl=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

outage=$(python3 -c "s = float('$seconds'); print('can1@%g:%g' % (s / 3, s / 3 + s / 20))")
python3 "$here/hostile-log.py" "$seconds" 1 > "$work/soak.log"
if ! "$sitl" --replay "$work/soak.log" --until "$seconds" --out "$work/out.log" --disconnect "$outage" \
     --profile "$work/profile.csv" "$@" 2> "$work/stderr.txt"; then
  cat "$work/stderr.txt"
  echo "soak: the node stopped"
  exit 1
fi
grep -E "^(rx_overflow_can[123]|emulated_seconds|wall_seconds)," "$work/profile.csv" | tr '\n' ' '
echo
python3 "$here/soak-check.py" "$work/soak.log" "$work/out.log" "$outage"
