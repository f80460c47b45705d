#!/usr/bin/env bash
# The audit with a checkpoint at scale: a simulated network of 100,000
# cards and about eleven million taps (made once, then kept) is cut back to
# its first ten million taps, the history, and audited with a checkpoint;
# the rest, about a million taps more, is appended, as a day of taps would
# be. Then, each run in turn: the full audit of everything against cat of
# the same files; the audit going on from the history's checkpoint (put back
# before each run); and the full audit of a network that holds a day of as
# many taps alone (the same cards, issued that day). Times and peak memory.
# Usage: bench/audit_incremental.sh PROGRAMS_DIR [NETWORK_DIR] [RUNS]
# (CARDS, TAPS and HISTORY in the environment make a smaller network.)
set -euo pipefail
bin=$(cd "$1" && pwd)
dir=${2:-/tmp/fare-audit-incremental}
runs=${3:-3}
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (tools/ensure-packages.sh)"; exit 1; }
command -v python3 >/dev/null || { echo "needs python3 to cut the network back"; exit 1; }
export TZ=UTC

cards=${CARDS:-100000} taps=${TAPS:-11000000} history=${HISTORY:-10000000}
if [ ! -f "$dir.checkpoint.history" ]; then
  rm -rf "$dir" "$dir.rest"
  "$bin/simulate_network" "$dir" --cards "$cards" --taps "$taps" --seed 1
  # The time of the tap after the history's last, then every card and log
  # cut back to what came before it; what was cut off is kept to append.
  python3 - "$dir" "$history" <<'EOF'
import os, sys
root, history = sys.argv[1], int(sys.argv[2])
logs = os.path.join(root, 'Reader_txt')
times = []
for name in os.listdir(logs):
    if name.endswith('.txt') and name != 'Topup.txt':
        with open(os.path.join(logs, name), 'rb') as f:
            times.extend(line[:14] for line in f)
times.sort()
cut = times[history]
print('history: taps dated before', cut.decode(), 'of', len(times))
for folder in ('Card', 'Reader_txt'):
    os.makedirs(os.path.join(root + '.rest', folder), exist_ok=True)
    for name in os.listdir(os.path.join(root, folder)):
        if not name.endswith('.txt') or name == 'Topup.txt':
            continue
        path = os.path.join(root, folder, name)
        data = open(path, 'rb').read()
        if folder == 'Card':
            # Records parted by CR LF; the two issue records always kept.
            lines = data.split(b'\r\n')
            k = 2
            while k < len(lines) and lines[k][:14] < cut:
                k += 1
            head, rest = b'\r\n'.join(lines[:k]), b''.join(b'\r\n' + l for l in lines[k:])
        else:
            lines = data.split(b'\r\n')[:-1]
            k = 0
            while k < len(lines) and lines[k][:14] < cut:
                k += 1
            head = b''.join(l + b'\r\n' for l in lines[:k])
            rest = b''.join(l + b'\r\n' for l in lines[k:])
        if rest:
            open(path, 'wb').write(head)
            open(os.path.join(root + '.rest', folder, name), 'wb').write(rest)
EOF
  rm -f "$dir.checkpoint"
  read -r elapsed kilobytes < <({ /usr/bin/time -f "%e %M" "$bin/card_tool" --dir "$dir" audit \
    --checkpoint "$dir.checkpoint" > /dev/null; } 2>&1 | tail -n 1)
  echo "history audited with a checkpoint: $elapsed s, peak memory $((kilobytes / 1024)) MiB," \
    "checkpoint $(stat -c %s "$dir.checkpoint") bytes"
  cp "$dir.checkpoint" "$dir.checkpoint.history"
  python3 - "$dir" <<'EOF'
import os, sys
root = sys.argv[1]
for folder in ('Card', 'Reader_txt'):
    for name in os.listdir(os.path.join(root + '.rest', folder)):
        with open(os.path.join(root, folder, name), 'ab') as f:
            f.write(open(os.path.join(root + '.rest', folder, name), 'rb').read())
EOF
fi
day=$(( $(cat "$dir.rest"/Reader_txt/*.txt | wc -l) ))
if [ ! -d "$dir-day/Card" ]; then
  "$bin/simulate_network" "$dir-day" --cards "$cards" --taps "$day" --seed 2
fi
echo "network: $(cat "$dir"/Reader_txt/*.txt | wc -l) log lines, $(du -sh "$dir" | cut -f1);" \
  "the day appended: $day log lines, $(du -sh "$dir.rest" | cut -f1);" \
  "the day alone: $(cat "$dir-day"/Reader_txt/*.txt | wc -l) log lines, $(du -sh "$dir-day" | cut -f1)"

# Each command's elapsed time and peak memory, once.
measure() { { /usr/bin/time -f "%e %M" "$@" > /dev/null; } 2>&1 | tail -n 1; }
catTimes=() fullTimes=() goingTimes=() dayTimes=() fullMemory=0 goingMemory=0 dayMemory=0
for run in $(seq "$runs"); do
  read -r elapsed _ < <(measure sh -c \
    "find '$dir/Card' '$dir/Reader_txt' -type f -print0 | xargs -0 cat")
  catTimes+=("$elapsed")
  read -r elapsed kilobytes < <(measure "$bin/card_tool" --dir "$dir" audit --format json)
  fullTimes+=("$elapsed")
  [ "$kilobytes" -gt "$fullMemory" ] && fullMemory=$kilobytes
  cp "$dir.checkpoint.history" "$dir.checkpoint"
  read -r elapsed kilobytes < <(measure "$bin/card_tool" --dir "$dir" audit --format json \
    --checkpoint "$dir.checkpoint")
  goingTimes+=("$elapsed")
  [ "$kilobytes" -gt "$goingMemory" ] && goingMemory=$kilobytes
  read -r elapsed kilobytes < <(measure "$bin/card_tool" --dir "$dir-day" audit --format json)
  dayTimes+=("$elapsed")
  [ "$kilobytes" -gt "$dayMemory" ] && dayMemory=$kilobytes
  echo "run $run: cat ${catTimes[-1]} s, full audit ${fullTimes[-1]} s," \
    "with the checkpoint ${goingTimes[-1]} s, the day alone ${dayTimes[-1]} s"
done
median() { printf '%s\n' "$@" | sort -g | sed -n "$(( ($# + 1) / 2 ))p"; }
catTime=$(median "${catTimes[@]}") fullTime=$(median "${fullTimes[@]}")
goingTime=$(median "${goingTimes[@]}") dayTime=$(median "${dayTimes[@]}")
echo "median of $runs: cat $catTime s; full audit $fullTime s" \
  "($(echo "scale=2; $fullTime / $catTime" | bc) x cat, peak $((fullMemory / 1024)) MiB);" \
  "with the checkpoint $goingTime s ($(echo "scale=2; $goingTime / $dayTime" | bc) x the day" \
  "alone, peak $((goingMemory / 1024)) MiB); the day alone $dayTime s (peak $((dayMemory / 1024)) MiB)"
# The report with the checkpoint is the full audit's, byte for byte.
cp "$dir.checkpoint.history" "$dir.checkpoint"
if cmp -s <("$bin/card_tool" --dir "$dir" audit --format json --checkpoint "$dir.checkpoint") \
  <("$bin/card_tool" --dir "$dir" audit --format json); then
  echo "the report with the checkpoint is the full audit's, byte for byte"
else
  echo "the report with the checkpoint differs from the full audit's"
  exit 1
fi
