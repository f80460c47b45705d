#!/usr/bin/env bash
# What one tap asks of the storage on a host's mount: the operations each
# brick serves per tap, by kind, on the tap's path (from the card number
# read to the fare shown) and in all (with the pause after it), counted by
# `gluster volume profile`, and the tap's time, at each delay per round trip
# asked for. One reader (S1, the real program with its pause) taps one card
# on host 1 of a cluster tools/cluster.sh makes; bench/tap_round_trips.py
# drives it and tells the path from the pause (how: its header).
# Usage: bench/cluster_round_trips.sh BIN [TAPS] [DELAYS_MS...]   (root)
#   e.g. sudo bench/cluster_round_trips.sh build/default/bin 20 0 1 2 5
set -euo pipefail
bin=$(cd "${1:?the directory of the built programs}" && pwd)
taps=${2:-20}
shift $(($# < 2 ? $# : 2))
delays=("$@")
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/fare-round-trips-XXXXXX)
trap '"$here/tools/cluster.sh" down --dir "$work/cluster" >/dev/null; rm -rf "$work"' EXIT

delay_option=()
[ ${#delays[@]} -gt 0 ] && delay_option=(--delay-ms "${delays[0]}")
"$here/tools/cluster.sh" up --dir "$work/cluster" --clients 1 --bin "$bin" "${delay_option[@]}" >/dev/null
volume=$(sed -n 's/^volume=//p' "$work/cluster/cluster.env")
net=$work/cluster/host1
gluster --mode=script volume profile "$volume" start >/dev/null

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

run() {
  local label=$1 out=$work/run-$1 card=$((5000 + RANDOM % 1000))
  mkdir -p "$out"
  "$bin/card_tool" --dir "$net" issue "$card" 1000000 >/dev/null
  python3 "$here/bench/tap_round_trips.py" --reader "$bin/subway_reader_s1" --dir "$net" \
    --card "$card" --taps $((taps + 1)) --out "$out" \
    --snapshot "gluster --mode=script volume profile $volume info incremental" >"$out/times"
  # The first tap, which opens the lock file and makes the reader's log,
  # is not counted.
  sed -i 1d "$out/times"
  echo "== $label: $taps taps by one reader on host 1 (after one more, not counted) =="
  echo "a tap's time (card number read to fare shown): median $(cut -d' ' -f2 "$out/times" | median) ms," \
    "min $(cut -d' ' -f2 "$out/times" | sort -n | head -1) ms, max $(cut -d' ' -f2 "$out/times" | sort -n | tail -1) ms"
  python3 "$here/bench/tap_round_trips.py" --summarize "$out" --taps "$taps" --bricks 3 --first 2
  if [ -s "$out/reader.err" ]; then
    echo "the reader's error stream:"
    sed 's/^/  /' "$out/reader.err"
  fi
}

if [ ${#delays[@]} -eq 0 ]; then
  run "no delay"
else
  for ms in "${delays[@]}"; do
    "$here/tools/cluster.sh" delay "$ms" --dir "$work/cluster"
    run "$ms ms per round trip"
  done
fi
