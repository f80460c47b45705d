#!/usr/bin/env bash
# Drives the demo network as a person would: starts it detached in tmux,
# types a card number into the S1, S3 and bus panes, reads each pane, and
# checks that it shows the fare and balance in legible Korean and that the
# card holds the three new records.
# Usage: demo_terminal_test.sh REPOSITORY_ROOT PROGRAMS_DIR
set -euo pipefail
root=$1
bin=$2

command -v tmux >/dev/null || { echo "FAIL: tmux is not installed (tools/ensure-packages.sh installs it)"; exit 1; }

scratch=$(mktemp -d)
# A tmux server of the test's own, away from any the user runs and from
# the user's tmux configuration.
export TMUX_TMPDIR=$scratch HOME=$scratch XDG_CONFIG_HOME=$scratch
unset TMUX
session=demo-test
trap 'tmux kill-server 2>/dev/null || true; rm -rf "$scratch"' EXIT

"$root/tools/demo.sh" --bin "$bin" --dir "$scratch/network" --session "$session" --detach >/dev/null

# The pane titled $1.
pane() { tmux list-panes -t "$session" -F '#{pane_id} #{pane_title}' | awk -v t="$1" '$0 ~ " " t "$" { print $1 }'; }

# Waits until pane $1 shows every one of the following lines.
expect_screen() {
  local pane=$1 screen=""
  shift
  for _ in $(seq 100); do
    screen=$(tmux capture-pane -p -J -t "$pane" | sed "s/ *$//")
    local line missing=""
    for line in "$@"; do
      grep -qxF -- "$line" <<<"$screen" || missing=$line
    done
    [ -z "$missing" ] && return 0
    sleep 0.1
  done
  echo "FAIL: pane $pane never showed '$missing'. It shows:"
  echo "$screen"
  exit 1
}

tap() { tmux send-keys -t "$1" 1001 Enter; }

s1=$(pane "S1 Tollvane") s3=$(pane "S3 Quillbay") bus=$(pane "B Bus")
[ -n "$s1" ] && [ -n "$s3" ] && [ -n "$bus" ] || { echo "FAIL: panes are not titled with their stations"; exit 1; }
for pane in "$s1" "$s3" "$bus"; do expect_screen "$pane" "Input Card :"; done
# Let every reader's operating period begin before the first tap.
sleep 1

tap "$s1"
expect_screen "$s1" "Subway Reader (Tollvane)" "Input Card : 1001" "요금 : 1050" "잔액 : 8950"
tap "$s3"
expect_screen "$s3" "Subway Reader (Quillbay)" "Input Card : 1001" "요금 : 200" "잔액 : 8750"
tap "$bus"
expect_screen "$bus" "Bus Redaer" "Input Card : 1001" "요금 : 0" "잔액 : 8750"
grep -q "현재 시간 : " <<<"$(tmux capture-pane -p -J -t "$bus")" ||
  { echo "FAIL: the bus pane shows no current time"; exit 1; }

# The record follows the display: wait for it.
for _ in $(seq 50); do
  [ "$(wc -l <"$scratch/network/Card/1001.txt")" -ge 4 ] && break
  sleep 0.1
done
card=$(tail -n 3 "$scratch/network/Card/1001.txt" | tr -d '\r')
expected='^[0-9]{14},SUBWAY,IN,8950,S1_1
[0-9]{14},SUBWAY,OUT,8750,S3_1
[0-9]{14},BUS,IN,8750,B_1$'
if ! grep -Ezq "$expected" <<<"$card"; then
  echo "FAIL: card 1001 ends with:"
  echo "$card"
  exit 1
fi
[ "$(wc -l <"$scratch/network/Card/1001.txt")" -eq 4 ] ||
  { echo "FAIL: card 1001 does not hold exactly its two issued and three new records"; exit 1; }

# The office tops up 1002, as the tour does; the back office finds the
# three taps in the card and the logs alike, and the top-up apart.
"$bin/card_tool" --dir "$scratch/network" topup 1002 5000 >/dev/null ||
  { echo "FAIL: the top-up of 1002 was refused"; exit 1; }
audit=$("$bin/card_tool" --dir "$scratch/network" audit) ||
  { echo "FAIL: the audit of the demo network found anomalies:"; echo "$audit"; exit 1; }
grep -qx "Total: 3 taps, revenue 1,250" <<<"$audit" ||
  { echo "FAIL: the audit does not total the three taps:"; echo "$audit"; exit 1; }
grep -qx "Top-ups, not in the revenue: 1 top-up, 5,000 loaded" <<<"$audit" ||
  { echo "FAIL: the audit does not tell the top-up apart:"; echo "$audit"; exit 1; }

# The status line tells the operating period the readers are in.
tmux show-options -t "$session" status-right | grep -q -- '--period-clock [0-9]' ||
  { echo "FAIL: the status line does not show the operating period"; exit 1; }
clock=$("$root/tools/demo.sh" --period-clock $(( $(date +%s) - 185 )))
grep -Eq '^operating period 2: began [0-9]{2}:[0-9]{2}:[0-9]{2}, 2:5[67] left$' <<<"$clock" ||
  { echo "FAIL: the period clock 185 s after the start says: $clock"; exit 1; }
# Run again, the demo touches nothing it did not make: not a directory of
# someone else's (an operator's network), not a session of another program,
# and not its own network while its readers run and it has no terminal.
mkdir "$scratch/theirs" && echo notes >"$scratch/theirs/notes"
if "$root/tools/demo.sh" --bin "$bin" --dir "$scratch/theirs" --session other --detach 2>/dev/null; then
  echo "FAIL: the demo reset a directory it did not make"; exit 1
fi
[ "$(cat "$scratch/theirs/notes")" = notes ] || { echo "FAIL: a directory the demo did not make changed"; exit 1; }
tmux new-session -d -s foreign 'sleep 600'
if "$root/tools/demo.sh" --bin "$bin" --dir "$scratch/other" --session foreign --detach 2>/dev/null; then
  echo "FAIL: the demo took over a session it did not start"; exit 1
fi
tmux has-session -t =foreign || { echo "FAIL: the demo closed a session it did not start"; exit 1; }
if "$root/tools/demo.sh" --bin "$bin" --dir "$scratch/network" --session "$session" </dev/null >/dev/null 2>&1; then
  echo "FAIL: the demo reset its network under its running readers"; exit 1
fi
tmux has-session -t "=$session" || { echo "FAIL: the demo closed its running session with no terminal"; exit 1; }
echo "PASS: S1, S3 and the bus charged 1050, 200 and 0 on screen, on the card and in the audit; the top-up is apart; nothing the demo did not make was touched"
