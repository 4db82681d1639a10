#!/usr/bin/env bash
# make soak: the hostile soak (tools/soak.sh) for SECONDS of simulated time in the plain and the sanitizer
# build; prints each run's figures and writes them into the assurance report (tools/assurance.py). Fails
# if either run fails.
# usage: soak-report.sh SECONDS
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=$1
status=0
figures=""
for build in host host-asan; do
  result=$("$root/tools/soak.sh" "$root/build/$build/sitl/endpoint-sitl" "$seconds" 2>&1) || status=1
  echo "== $build"
  echo "$result"
  figures+="$build:"$'\n'"$result"$'\n'
done
{
  echo "## Hostile soak"
  echo
  echo "\`make soak\` on $(date -u +%Y-%m-%d): $seconds simulated seconds of hostile traffic on all three buses"
  echo "(\`tools/hostile-log.py\`: random frames, cut-off, interleaved and repeated transfers aimed at the"
  echo "accepted types, full-rate bursts; CAN2 disconnected for a twentieth of the run), a client's GetSet read"
  echo "of each bus's pool usage every 10 s, judged by \`tools/soak-check.py\` from the node's \`--out\`; in the"
  echo "plain build and under AddressSanitizer + UndefinedBehaviorSanitizer. \`make test\` runs 60 s of it."
  echo
  echo '```'
  printf '%s' "$figures"
  echo '```'
} | python3 "$root/tools/assurance.py" soak
exit $status
