#!/usr/bin/env bash
# The audit at scale: a simulated network of 100,000 cards and about ten
# million taps (made once, then kept), audited side by side with cat reading
# the same files and with the report's HTML page made of it, each run in
# turn, with the processor time and the audit's peak memory, and the page's
# size; then the same day made by a station built with one fare wrong,
# whose every wrong tap the audit must report, and no other.
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

page=$(mktemp -d)/day.html
trap 'rm -rf "$(dirname "$page")"' EXIT
catTimes=() catCpu=() auditTimes=() reportTimes=() auditCpu=() reportCpu=() memory=0
for run in $(seq "$runs"); do
  read -r elapsed user system < <({ /usr/bin/time -f "%e %U %S" sh -c \
    "find '$dir/Card' '$dir/Reader_txt' -type f -print0 | xargs -0 cat > /dev/null"; } 2>&1 |
    tail -n 1)
  catTimes+=("$elapsed")
  catCpu+=("$(echo "$user + $system" | bc)")
  # The audit and the report take turns at going first, so that neither
  # always finds the files as the other left them.
  for turn in $(( run % 2 )) $(( (run + 1) % 2 )); do
    if [ "$turn" -eq 1 ]; then
      read -r elapsed user system kilobytes < <({ /usr/bin/time -f "%e %U %S %M" \
        "$bin/card_tool" --dir "$dir" audit > /tmp/fare-audit-scale.report; } 2>&1 | tail -n 1)
      auditTimes+=("$elapsed")
      auditCpu+=("$(echo "$user + $system" | bc)")
      [ "$kilobytes" -gt "$memory" ] && memory=$kilobytes
    else
      read -r elapsed user system < <({ /usr/bin/time -f "%e %U %S" "$bin/card_tool" \
        --dir "$dir" report --html "$page" > /dev/null; } 2>&1 | tail -n 1)
      reportTimes+=("$elapsed")
      reportCpu+=("$(echo "$user + $system" | bc)")
    fi
  done
  echo "run $run: cat ${catTimes[-1]} s (processor ${catCpu[-1]} s)," \
    "audit ${auditTimes[-1]} s (processor ${auditCpu[-1]} s)," \
    "report ${reportTimes[-1]} s (processor ${reportCpu[-1]} s)"
done
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
catTime=$(median "${catTimes[@]}")
auditTime=$(median "${auditTimes[@]}")
reportTime=$(median "${reportTimes[@]}")
echo "median of $runs: cat $catTime s ($(median "${catCpu[@]}") s processor)," \
  "audit $auditTime s ($(median "${auditCpu[@]}") s processor)," \
  "$(echo "scale=2; $auditTime / $catTime" | bc) x cat; audit's peak memory $((memory / 1024)) MiB"
grep -E "^(Fares decided|Every card record|[0-9,]+ anomal)" /tmp/fare-audit-scale.report
auditCpuTime=$(median "${auditCpu[@]}")
reportCpuTime=$(median "${reportCpu[@]}")
echo "median of $runs: report --html $reportTime s, $(echo "scale=3; $reportTime / $auditTime" | bc)" \
  "x the audit; processor time $reportCpuTime s against the audit's $auditCpuTime s," \
  "$(echo "scale=3; $reportCpuTime / $auditCpuTime" | bc) x; its page $(stat -c %s "$page") bytes"

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
