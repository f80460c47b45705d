#!/usr/bin/env bash
# The demo network: builds the readers, prepares a fresh network directory
# with sample cards, and opens all six readers side by side in one tmux
# session, a pane per reader. Each reader's EUC-KR output goes through the
# console converter (fare-euckr-to-utf8 as installed, euckr_to_utf8 in a
# build tree), so the Korean messages read correctly on a UTF-8 terminal.
set -euo pipefail
# Any step that fails (the build, the card tool, tmux) ends the demo with
# status 1, as its help says; it has said why on the error stream.
trap 'exit 1' ERR

hosts=()
here=$(cd "$(dirname "$0")" && pwd)
session="fare-demo"
bin=""
mode="attach"
if [ -x "$here/bus_reader" ]; then
  # Installed beside the programs (as fare-demo): the network goes in ./demo.
  root=""
  bin=$here
  dir="$PWD/demo"
else
  # In the source tree: build first, and use demo/ in the repository.
  root=$(cd "$here/.." && pwd)
  dir="$root/demo"
fi

# The name the demo was run by (tools/demo.sh, or fare-demo as installed),
# for its usage line and messages.
me=$(basename "$0")

usage() {
  cat <<EOF
Usage: $me [--dir DIR] [--session NAME] [--bin DIR] [--detach] [--on DIR1,DIR2,...]

Builds the readers, resets the network directory DIR (default: demo/ in the
repository, or ./demo when installed) with Card/, Reader_txt/ and three
sample cards, and opens the six readers in the tmux session NAME (default:
fare-demo), one pane each. The status line shows the operating period.
Without tmux or a terminal it prepares DIR and says how to run a reader.

Sample cards: 1001 holds 10000; 1002 holds 1249, just under the subway's
ride threshold; 1003 is 500 in debt.

Options:
  --dir DIR       the network directory to reset and run the readers in (one
                  the demo made, or a new or empty one: no other is reset)
  --session NAME  the tmux session to open (an earlier demo's for the same
                  directory is closed first; no other session is touched)
  --bin DIR       use the programs already built in DIR instead of building
  --detach        start the session without attaching to it
  --on DIRS       run the readers in a network already prepared, seen through
                  these directories (one per host: tools/cluster.sh), spread
                  over them in turn; nothing is reset
  -h, --help      print this help and exit

Exit status:
  0  the readers run in tmux, or DIR is ready and how to run a reader by
     hand is said
  1  a step failed: building, preparing the network or starting tmux
  2  an unknown option, or a directory or tmux session the demo did not
     make, which it leaves alone
EOF
}

# Every reader begins an operating period when it starts and a new one
# each time more than 180 s have passed, checking once a second: 181 s
# apart. The readers of the demo all start within a second, so one clock
# tells where all of them are.
period_clock() {
  local elapsed=$(( $(date +%s) - $1 ))
  local left=$(( 181 - elapsed % 181 ))
  printf 'operating period %d: began %s, %d:%02d left' $(( elapsed / 181 + 1 )) \
    "$(date -d "@$(( $1 + elapsed / 181 * 181 ))" +%H:%M:%S)" $(( left / 60 )) $(( left % 60 ))
}

while [ $# -gt 0 ]; do
  case "$1" in
    --dir) dir=$2; shift 2 ;;
    --session) session=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    --detach) mode="detach"; shift ;;
    --on) IFS=, read -r -a hosts <<<"$2"; shift 2 ;;
    --period-clock) period_clock "$2"; exit 0 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "$me: unknown option '$1'" >&2; usage >&2; exit 2 ;;
  esac
done

if [ -z "$bin" ]; then
  # A fresh machine gets what the build needs first.
  "$root/tools/ensure-packages.sh"
  (cd "$root" && cmake --preset default >/dev/null &&
    cmake --build --preset default --target installable)
  bin="$root/build/default/bin"
fi
bin=$(cd "$bin" && pwd)
# The card tool and the converter go by their installed names where those
# are (beside an installed demo, or in a build tree), else by their build names.
tool() { if [ -x "$bin/fare-$1" ]; then echo "$bin/fare-$1"; else echo "$bin/$2"; fi; }
card_tool=$(tool card-tool card_tool)
converter=$(tool euckr-to-utf8 euckr_to_utf8)

# What marks a directory, and a tmux session, as the demo's: it resets and
# closes only what it made, never an operator's network or a session of
# another program (or of another demo network).
marker=".fare-demo"
session_mark="@fare-demo"
if [ ${#hosts[@]} -gt 0 ]; then target=$(realpath -m "${hosts[0]}"); else target=$(realpath -m "$dir"); fi
# Whether the readers will open in tmux, or are left to be run by hand.
in_tmux=yes
if ! command -v tmux >/dev/null || { [ "$mode" = attach ] && { [ ! -t 0 ] || [ ! -t 1 ]; }; }; then
  in_tmux=no
fi
if command -v tmux >/dev/null && tmux has-session -t "=$session" 2>/dev/null; then
  owner=$(tmux show-options -t "$session" -qv "$session_mark" 2>/dev/null || true)
  if [ "$owner" != "$target" ]; then
    if [ "$in_tmux" = yes ]; then
      echo "$me: tmux session '$session' was not started by the demo for $target; it is" \
        "left alone: give another --session, or close it yourself (tmux kill-session -t" \
        "$session)." >&2
      exit 2
    fi
  elif [ "$in_tmux" = no ]; then
    echo "$me: the demo network in $target runs in tmux session '$session'; it is not reset" \
      "under its readers: close it first (tmux kill-session -t $session)." >&2
    exit 2
  else
    # Readers of an earlier demo still hold the directory: stop them first.
    tmux kill-session -t "=$session"
  fi
fi
if [ ${#hosts[@]} -gt 0 ]; then
  # A network prepared elsewhere (many hosts): nothing is reset.
  dir=${hosts[0]}
else
  # Only a directory the demo made is ever reset, never an operator's
  # network or some other folder.
  if [ -e "$dir" ] && [ -n "$(ls -A "$dir" 2>/dev/null || echo x)" ] && [ ! -f "$dir/$marker" ]; then
    echo "$me: $dir was not made by the demo (it has no $marker); it is not reset: give" \
      "--dir a new or empty directory." >&2
    exit 2
  fi
  rm -rf "$dir"
  mkdir -p "$dir/Card" "$dir/Reader_txt"
  echo "Made by the demo (tools/demo.sh), which resets this directory when it runs again." \
    >"$dir/$marker"
  dir=$(cd "$dir" && pwd)
  hosts=("$dir")

  "$card_tool" --dir "$dir" issue 1001 10000 >/dev/null
  "$card_tool" --dir "$dir" issue 1002 1249 >/dev/null
  # The card tool issues no card in debt; this one has ridden into it.
  minute_ago=$(date -d '-1 minute' +%Y%m%d%H%M%S)
  printf '%s,SUBWAY,IN,100,S3_1\r\n%s,SUBWAY,OUT,-500,S1_1' "$minute_ago" "$minute_ago" \
    > "$dir/Card/1003.txt"
fi

# Pane title, program.
readers=(
  "S1 Tollvane|subway_reader_s1" "S2 Merrowick|subway_reader_s2" "S3 Quillbay|subway_reader_s3"
  "S4 Farnsett|subway_reader_s4" "S5 Doveholm|subway_reader_s5" "B Bus|bus_reader"
)

by_hand() {
  cat <<EOF
The network directory $dir is ready, with cards 1001, 1002 and 1003.
Run one reader by hand:

  cd $dir && $bin/subway_reader_s1 | $converter

(any of subway_reader_s1 ... subway_reader_s5 and bus_reader; end it with Ctrl-D)
EOF
}

if ! command -v tmux >/dev/null; then
  echo "tmux is not installed."
  by_hand
  exit 0
fi
if [ "$mode" = attach ] && { [ ! -t 0 ] || [ ! -t 1 ]; }; then
  echo "There is no terminal to show the readers in."
  by_hand
  exit 0
fi

# Panes are addressed by their ids, whatever base index the user's tmux uses.
first=""
started=$(date +%s)
n=0
for reader in "${readers[@]}"; do
  title=${reader%%|*}
  # Spread over the hosts in turn; a host is named when there are several.
  where=${hosts[$(( n % ${#hosts[@]} ))]}
  [ ${#hosts[@]} -gt 1 ] && title="$title (host $(( n % ${#hosts[@]} + 1 )))"
  n=$(( n + 1 ))
  command="$(printf '%q' "$bin/${reader##*|}") | $(printf '%q' "$converter")"
  if [ -z "$first" ]; then
    pane=$(tmux -u new-session -d -P -F '#{pane_id}' -s "$session" -x 200 -y 50 -c "$where" "$command")
    first=$pane
  else
    pane=$(tmux split-window -P -F '#{pane_id}' -t "$pane" -c "$where" "$command")
    tmux select-layout -t "$first" tiled >/dev/null
  fi
  tmux select-pane -t "$pane" -T "$title"
done
tmux set-option -t "$session" "$session_mark" "$target" >/dev/null
tmux set-option -t "$session" pane-border-status top >/dev/null
tmux set-option -t "$session" pane-border-format " #{pane_title} " >/dev/null
tmux set-option -t "$session" status-interval 1 >/dev/null
tmux set-option -t "$session" status-right-length 80 >/dev/null
tmux set-option -t "$session" status-right \
  "#($(printf '%q' "$here/$(basename "$0")") --period-clock $started) " >/dev/null
tmux select-pane -t "$first"

if [ "$mode" = attach ]; then
  # From inside tmux, move this client over instead of nesting sessions;
  # a pane with no client attached has nothing to move.
  if [ -n "${TMUX:-}" ] && tmux switch-client -t "$session" 2>/dev/null; then exit 0; fi
  if [ -z "${TMUX:-}" ]; then exec tmux -u attach-session -t "$session"; fi
fi
echo "The demo network runs in tmux session '$session': tmux attach -t $session"
