#!/usr/bin/env bash
# The audit at scale: a simulated network of 100,000 cards and about ten
# million taps (made once, then kept), audited side by side with cat reading
# the same files, each run in turn, and the audit's peak memory.
# Usage: bench/audit_scale.sh PROGRAMS_DIR [NETWORK_DIR] [RUNS]
set -euo pipefail
bin=$(cd "$1" && pwd)
dir=${2:-/tmp/fare-audit-scale}
runs=${3:-3}
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (tools/ensure-packages.sh)"; exit 1; }

if [ ! -d "$dir/Card" ]; then
  # Its day is in UTC whatever the zone; with TZ unset, the C library would
  # look at /etc/localtime on every one of the rules' time conversions.
  TZ=UTC "$bin/simulate_network" "$dir" --cards 100000 --taps 10000000 --seed 1
fi
cards=$(find "$dir/Card" -name '*.txt' | wc -l)
records=$(cat "$dir"/Reader_txt/*.txt | wc -l)
size=$(du -sh "$dir" | cut -f1)
echo "network: $cards cards, $records log lines, $size"

catTimes=() auditTimes=() memory=0
for run in $(seq "$runs"); do
  catTimes+=("$( { /usr/bin/time -f %e sh -c \
    "find '$dir/Card' '$dir/Reader_txt' -type f -print0 | xargs -0 cat > /dev/null"; } 2>&1 )")
  result=$( { /usr/bin/time -f "%e %M" "$bin/card_tool" --dir "$dir" audit > /dev/null; } 2>&1 |
    tail -n 1)
  auditTimes+=("${result% *}")
  kilobytes=${result#* }
  [ "$kilobytes" -gt "$memory" ] && memory=$kilobytes
  echo "run $run: cat ${catTimes[-1]} s, audit ${auditTimes[-1]} s"
done
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
catTime=$(median "${catTimes[@]}")
auditTime=$(median "${auditTimes[@]}")
echo "median of $runs: cat $catTime s, audit $auditTime s," \
  "$(echo "scale=2; $auditTime / $catTime" | bc) x cat; audit's peak memory $((memory / 1024)) MiB"
