#!/usr/bin/env bash
# The audit at scale: a simulated network of 100,000 cards and about ten
# million taps (made once, then kept), audited side by side with cat reading
# the same files and with the report's HTML page made of it, each run in
# turn; the audit's peak memory, and the page's size.
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

page=$(mktemp -d)/day.html
trap 'rm -rf "$(dirname "$page")"' EXIT
catTimes=() auditTimes=() reportTimes=() auditCpu=() reportCpu=() memory=0
for run in $(seq "$runs"); do
  catTimes+=("$( { /usr/bin/time -f %e sh -c \
    "find '$dir/Card' '$dir/Reader_txt' -type f -print0 | xargs -0 cat > /dev/null"; } 2>&1 )")
  # The audit and the report take turns at going first, so that neither
  # always finds the files as the other left them.
  for turn in $(( run % 2 )) $(( (run + 1) % 2 )); do
    if [ "$turn" -eq 1 ]; then
      read -r elapsed user system kilobytes < <({ /usr/bin/time -f "%e %U %S %M" \
        "$bin/card_tool" --dir "$dir" audit > /dev/null; } 2>&1 | tail -n 1)
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
  echo "run $run: cat ${catTimes[-1]} s, audit ${auditTimes[-1]} s (processor ${auditCpu[-1]} s)," \
    "report ${reportTimes[-1]} s (processor ${reportCpu[-1]} s)"
done
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
catTime=$(median "${catTimes[@]}")
auditTime=$(median "${auditTimes[@]}")
reportTime=$(median "${reportTimes[@]}")
echo "median of $runs: cat $catTime s, audit $auditTime s," \
  "$(echo "scale=2; $auditTime / $catTime" | bc) x cat; audit's peak memory $((memory / 1024)) MiB"
auditCpuTime=$(median "${auditCpu[@]}")
reportCpuTime=$(median "${reportCpu[@]}")
echo "median of $runs: report --html $reportTime s, $(echo "scale=3; $reportTime / $auditTime" | bc)" \
  "x the audit; processor time $reportCpuTime s against the audit's $auditCpuTime s," \
  "$(echo "scale=3; $reportCpuTime / $auditCpuTime" | bc) x; its page $(stat -c %s "$page") bytes"
