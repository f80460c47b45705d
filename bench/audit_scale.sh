#!/usr/bin/env bash
# The audit at scale: a simulated network of 100,000 cards and about ten
# million taps (made once, then kept), audited side by side with cat reading
# the same files, each run in turn, with the processor time and the audit's
# peak memory; then the same day made by a station built with one fare
# wrong, whose every wrong tap the audit must report, and no other.
# Usage: bench/audit_scale.sh PROGRAMS_DIR [NETWORK_DIR] [RUNS]
set -euo pipefail
bin=$(cd "$1" && pwd)
dir=${2:-/tmp/fare-audit-scale}
runs=${3:-3}
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (tools/ensure-packages.sh)"; exit 1; }

# Its day is in UTC whatever the zone; with TZ unset, the C library would
# look at /etc/localtime on every one of the rules' time conversions. The
# audit reads the days in the same zone.
export TZ=UTC
simulate() { "$bin/simulate_network" "$1" --cards 100000 --taps 10000000 --seed 1 "${@:2}"; }
[ -d "$dir/Card" ] || simulate "$dir"
cards=$(find "$dir/Card" -name '*.txt' | wc -l)
records=$(cat "$dir"/Reader_txt/*.txt | wc -l)
size=$(du -sh "$dir" | cut -f1)
echo "network: $cards cards, $records log lines, $size; $(nproc) processors"

catTimes=() catCpu=() auditTimes=() auditCpu=() memory=0
for run in $(seq "$runs"); do
  result=$( { /usr/bin/time -f "%e %U %S" sh -c \
    "find '$dir/Card' '$dir/Reader_txt' -type f -print0 | xargs -0 cat > /dev/null"; } 2>&1 |
    tail -n 1)
  read -r elapsed user sys <<<"$result"
  catTimes+=("$elapsed")
  catCpu+=("$(echo "$user + $sys" | bc)")
  result=$( { /usr/bin/time -f "%e %U %S %M" "$bin/card_tool" --dir "$dir" audit \
    > /tmp/fare-audit-scale.report; } 2>&1 | tail -n 1)
  read -r elapsed user sys kilobytes <<<"$result"
  auditTimes+=("$elapsed")
  auditCpu+=("$(echo "$user + $sys" | bc)")
  [ "$kilobytes" -gt "$memory" ] && memory=$kilobytes
  echo "run $run: cat ${catTimes[-1]} s (${catCpu[-1]} s processor)," \
    "audit ${auditTimes[-1]} s (${auditCpu[-1]} s processor)"
done
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
catTime=$(median "${catTimes[@]}")
auditTime=$(median "${auditTimes[@]}")
echo "median of $runs: cat $catTime s ($(median "${catCpu[@]}") s processor)," \
  "audit $auditTime s ($(median "${auditCpu[@]}") s processor)," \
  "$(echo "scale=2; $auditTime / $catTime" | bc) x cat; audit's peak memory $((memory / 1024)) MiB"
grep -E "^(Fares decided|Every card record|[0-9,]+ anomal)" /tmp/fare-audit-scale.report

# The same day, station S3 charging 1100 for a new ride: every such tap a
# fare_mismatch, and nothing else.
wrong="$dir-misbuilt"
[ -d "$wrong/Card" ] || simulate "$wrong" --misbuilt S3:new_ride:1100 > "$wrong.simulated"
charged=$(grep -o '[0-9]* taps charged otherwise' "$wrong.simulated" | cut -d' ' -f1)
"$bin/card_tool" --dir "$wrong" audit --format csv --anomalies > /tmp/fare-audit-scale.anomalies ||
  true
mismatches=$(grep -c '^fare_mismatch,' /tmp/fare-audit-scale.anomalies || true)
others=$(tail -n +2 /tmp/fare-audit-scale.anomalies | grep -vc '^fare_mismatch,' || true)
echo "misbuilt S3 (new ride 1100): $charged taps charged wrong; the audit reports $mismatches" \
  "fare_mismatch and $others other anomalies"
