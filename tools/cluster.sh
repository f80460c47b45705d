#!/usr/bin/env bash
# The network on many hosts, on one machine: a GlusterFS volume (replica 3,
# three bricks) served from a network namespace of its own, and N clients,
# each a FUSE mount whose client process runs in a network namespace of its
# own, standing for one station's host. `up` makes all of it, with the
# volume and mount options the readers need, prepares Card/ and Reader_txt/
# with sample cards, and can start the six readers spread over the clients
# in tmux; `down` removes all it made and nothing else. The same set-up on
# real hosts is told in docs/many-hosts.md.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
dir="$root/cluster"
clients=3
bin=""
plain=0
readers=0
session="fare-cluster"
detach=""
declare -a volume_overrides=()
mount_options=""
delay_ms=""

usage() {
  cat <<'EOF'
Usage: tools/cluster.sh up [--dir DIR] [--clients N] [--bin DIR] [--readers [--detach]]
                           [--plain] [--volume-option NAME=VALUE]... [--mount-options OPTS]
                           [--delay-ms MS]
       tools/cluster.sh down [--dir DIR]
       tools/cluster.sh status [--dir DIR]
       tools/cluster.sh cut K | join K [--dir DIR]      (host K's network, for tests)
       tools/cluster.sh brick kill N | brick start | brick pause | brick resume [--dir DIR]
       tools/cluster.sh daemon restart | heal [--dir DIR]
       tools/cluster.sh client kill K | client unmount K | client mount K [--dir DIR]
       tools/cluster.sh delay MS [--dir DIR]             (a cluster made with --delay-ms)

Runs as root, with /dev/fuse and GlusterFS (tools/ensure-packages.sh installs
it). `up` starts a GlusterFS daemon in a network namespace of its own, makes
a replica-3 volume on three brick folders under DIR/bricks, sets the volume
options the readers need, and mounts N clients (default 3) at DIR/host1 ...
DIR/hostN, each from a network namespace of its own (one host each), with
the mount options the readers need. The network directory (Card/,
Reader_txt/, cards 1001, 1002 and 1003) is the volume's root, seen from every
host. With --readers it opens the six readers in tmux (session fare-cluster),
spread over the hosts, as tools/demo.sh does.

`down` stops the readers, unmounts the clients, deletes the volume, stops the
daemon and removes the namespaces and DIR: only what `up` made.

For tests: `cut K` drops host K's packets and `join K` lets them through
again; `brick kill N` kills brick N's process and `brick start` starts every
brick again; `brick pause` stops every brick's process where it is (SIGSTOP:
what a client sent them stays unanswered) and `brick resume` lets them go on; `daemon restart` restarts the GlusterFS daemon (bricks and
mounts stay up); `heal` waits until every host is connected to every
brick and no brick has entries left to heal. `client kill K` kills host K's
GlusterFS client (its mount answers "Transport endpoint is not connected"),
`client unmount K` unmounts host K's mount, and `client mount K` mounts the
volume there again (a dead mount is first unmounted, lazily): what an
operator does on a host whose client died, or whose volume is mounted late.

`--delay-ms MS` puts a fixed delay of MS milliseconds (0 and fractions too)
on every operation each brick serves, before it serves it: every round trip
from a host to the servers then takes that much longer, as it does for a
station across a city from its storage. It is GlusterFS's delay-gen
translator in each brick's graph (this kernel has no netem); `delay MS`
changes it on the running cluster.

  --dir DIR                 where the bricks, mounts and state go (default: cluster/)
  --clients N               how many hosts mount the volume (1 to 6)
  --bin DIR                 the programs (default: build them)
  --readers                 open the six readers in tmux; --detach leaves it in the background
  --plain                   no volume options and a plain mount, to see what the readers refuse
  --volume-option NAME=VALUE  set one volume option otherwise (repeatable)
  --mount-options OPTS      the clients' mount options instead of the needed ones (-: none)
  --delay-ms MS             a delay of MS ms on every operation of every brick
EOF
}

# The volume options and the mount options the readers need; docs/many-hosts.md
# says why each is needed.
needed_volume_options=(
  performance.stat-prefetch=off
  performance.write-behind=off
  network.ping-timeout=10
  server.tcp-user-timeout=10
  server.keepalive-time=5
  server.keepalive-interval=1
  server.keepalive-count=5
  client.strict-locks=on
)
needed_mount_options="entry-timeout=0,direct-io-mode=enable"

fail() {
  echo "cluster.sh: $*" >&2
  exit 2
}

# Exit 3 (and nothing made) when the machine cannot run a cluster.
check_machine() {
  local missing=()
  [ "$(id -u)" -eq 0 ] || missing+=("root")
  [ -c /dev/fuse ] || missing+=("/dev/fuse")
  for command in glusterd gluster mount.glusterfs ip nsenter; do
    command -v "$command" >/dev/null || missing+=("$command")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "cluster.sh: cannot run a cluster here: missing ${missing[*]}" >&2
    exit 3
  fi
  if pgrep -x glusterd >/dev/null; then
    echo "cluster.sh: a GlusterFS daemon already runs on this machine; this tool starts its own" >&2
    exit 3
  fi
}

# The names of a cluster made in $dir, derived from its path so that two
# runs never mistake each other's.
names() {
  dir=$(realpath -m "$dir")
  id=$(printf '%s' "$dir" | sha1sum | cut -c1-6)
  volume="fare-$id"
  server_ns="fare-$id-srv"
  address="10.213.0.1"
  state="$dir/cluster.env"
}

host_ns() { echo "fare-$id-h$1"; }

in_server() { nsenter --net="/run/netns/$server_ns" "$@"; }

wait_for() {
  local what=$1
  shift
  for _ in $(seq 1 100); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  fail "$what did not come up"
}

# One host: a namespace joined to the server's by a veth pair, and the
# volume mounted from it.
add_host() {
  local k=$1 ns
  ns=$(host_ns "$k")
  ip netns add "$ns"
  ip -n "$ns" link set lo up
  ip link add "f${id}s$k" netns "$server_ns" type veth peer name "f${id}h$k" netns "$ns"
  ip -n "$server_ns" addr add "10.213.$k.1/24" dev "f${id}s$k"
  ip -n "$ns" addr add "10.213.$k.2/24" dev "f${id}h$k"
  ip -n "$server_ns" link set "f${id}s$k" up
  ip -n "$ns" link set "f${id}h$k" up
  ip -n "$ns" route add default via "10.213.$k.1"
  mkdir -p "$dir/host$k"
  mount_host "$k"
  echo "mounts+=($(printf '%q' "$dir/host$k"))" >>"$state"
}

# Mounts the volume at host K's mount point, from host K's namespace, with
# the mount options of the cluster.
mount_host() {
  local options=(-t glusterfs)
  [ -n "$mount_options" ] && [ "$mount_options" != - ] && options+=(-o "$mount_options")
  nsenter --net="/run/netns/$(host_ns "$1")" mount "${options[@]}" "$address:/$volume" "$dir/host$1"
}

up() {
  check_machine
  names
  [ -e "$state" ] && fail "a cluster is up in $dir already (tools/cluster.sh down --dir $dir)"
  if [ -d "$dir" ] && [ -n "$(ls -A "$dir")" ]; then fail "$dir is not empty"; fi
  [ "$clients" -ge 1 ] && [ "$clients" -le 6 ] || fail "--clients takes 1 to 6"
  if [ $plain -eq 0 ] && [ -z "$mount_options" ]; then mount_options=$needed_mount_options; fi
  if [ -z "$bin" ]; then
    (cd "$root" && cmake --preset default >/dev/null &&
      cmake --build --preset default --target subway_reader_s1 subway_reader_s2 subway_reader_s3 \
        subway_reader_s4 subway_reader_s5 bus_reader card_tool euckr_to_utf8 >/dev/null)
    bin="$root/build/default/bin"
  fi
  bin=$(cd "$bin" && pwd)

  mkdir -p "$dir/bricks/b1" "$dir/bricks/b2" "$dir/bricks/b3"
  echo "# what tools/cluster.sh made here; read by its down" >"$state"
  echo "volume=$volume" >>"$state"
  ip netns add "$server_ns"
  ip -n "$server_ns" link set lo up
  ip -n "$server_ns" addr add "$address/32" dev lo
  in_server glusterd -p "$dir/glusterd.pid"
  echo "glusterd=1" >>"$state"
  wait_for "the GlusterFS daemon" gluster --mode=script pool list
  gluster --mode=script volume create "$volume" replica 3 "$address:$dir/bricks/b1" \
    "$address:$dir/bricks/b2" "$address:$dir/bricks/b3" force >/dev/null
  for option in "${needed_volume_options[@]}"; do
    gluster --mode=script volume set "$volume" "${option%%=*}" "${option#*=}" >/dev/null
  done
  gluster --mode=script volume start "$volume" >/dev/null

  # The network directory, the volume's root, is prepared through a mount
  # made as the readers need it (the card tool writes on no other); then the
  # volume and the hosts' mounts are made as asked.
  local net="$dir/prepare"
  mkdir -p "$net"
  in_server mount -t glusterfs -o "$needed_mount_options" "$address:/$volume" "$net"
  mkdir -p "$net/Card" "$net/Reader_txt"
  "$bin/card_tool" --dir "$net" issue 1001 10000 >/dev/null
  "$bin/card_tool" --dir "$net" issue 1002 1249 >/dev/null
  local minute_ago
  minute_ago=$(date -d '-1 minute' +%Y%m%d%H%M%S)
  printf '%s,SUBWAY,IN,100,S3_1\r\n%s,SUBWAY,OUT,-500,S1_1' "$minute_ago" "$minute_ago" \
    >"$net/Card/1003.txt"
  umount "$net"
  rmdir "$net"
  [ $plain -eq 1 ] && gluster --mode=script volume reset "$volume" force >/dev/null
  for option in "${volume_overrides[@]}"; do
    gluster --mode=script volume set "$volume" "${option%%=*}" "${option#*=}" >/dev/null
  done
  if [ -n "$delay_ms" ]; then
    gluster --mode=script volume set "$volume" debug.delay-gen "$delay_above" >/dev/null
    set_delay "$delay_ms"
    # The translator joins the bricks' graphs when they start again.
    gluster --mode=script volume stop "$volume" force >/dev/null
    gluster --mode=script volume start "$volume" >/dev/null
    for n in 1 2 3; do wait_for "brick $n" brick_online "$n"; done
  fi
  for k in $(seq 1 "$clients"); do add_host "$k"; done
  echo "clients=$clients" >>"$state"
  echo "mount_options=$(printf '%q' "$mount_options")" >>"$state"

  echo "The network runs on $clients hosts: $dir/host1 ... $dir/host$clients (volume $volume)."
  if [ $readers -eq 1 ]; then
    local on=()
    for k in $(seq 1 "$clients"); do on+=("$dir/host$k"); done
    echo "session=$session" >>"$state"
    "$here/demo.sh" --bin "$bin" --session "$session" --on "$(IFS=,; echo "${on[*]}")" $detach
  fi
}

# Where the delay goes in a brick's graph: on top of the lock translator, so
# that lock requests wait as every other operation does, and below the
# brick's worker threads, so that a delayed operation holds up no other.
delay_above=locks
# Every operation a reader's tap can make a brick serve.
delayed_operations=LOOKUP,OPEN,CREATE,READ,WRITE,FLUSH,FSYNC,FSTAT,STAT,LK,INODELK,FINODELK,ENTRYLK,FENTRYLK,XATTROP,FXATTROP,GETXATTR,FGETXATTR,SETXATTR,FSETXATTR,OPENDIR,READDIR,READDIRP,STATFS,RENAME,LINK,UNLINK,TRUNCATE,FTRUNCATE,SETATTR,FSETATTR,ACCESS,FSYNCDIR,MKDIR

# Sets the delay of every brick operation to MS milliseconds.
set_delay() {
  local us
  us=$(awk -v ms="$1" 'BEGIN { if (ms !~ /^[0-9]+(\.[0-9]+)?$/) exit 1; printf "%d", ms * 1000 }') ||
    fail "a delay is a number of milliseconds"
  gluster --mode=script volume set "$volume" delay-gen.delay-percentage 100 >/dev/null
  gluster --mode=script volume set "$volume" delay-gen.enable "$delayed_operations" >/dev/null
  gluster --mode=script volume set "$volume" delay-gen.delay-duration "$us" >/dev/null
}

# Changes the delay of a cluster made with --delay-ms. The bricks take a new
# delay only when they start: they are restarted, and the hosts' clients
# connect to them again before this returns.
delay() {
  names
  [ -e "$state" ] || fail "no cluster is up in $dir"
  gluster --mode=script volume get "$volume" debug.delay-gen 2>/dev/null | grep -q "$delay_above" ||
    fail "the cluster was made without --delay-ms"
  set_delay "$1"
  gluster --mode=script volume stop "$volume" force >/dev/null
  gluster --mode=script volume start "$volume" >/dev/null
  for n in 1 2 3; do wait_for "brick $n" brick_online "$n"; done
  heal
}

# Stops the GlusterFS daemon and waits (up to 10 s) until it is gone.
stop_daemon() {
  local pid
  pid=$(cat "$dir/glusterd.pid")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null && [ "$(ps -o stat= -p "$pid")" != Z ] || break
    sleep 0.1
  done
}

down() {
  names
  [ -e "$state" ] || { echo "No cluster is up in $dir."; return 0; }
  local mounts=() session="" glusterd=0
  # shellcheck disable=SC1090
  source "$state"
  if [ -n "$session" ] && command -v tmux >/dev/null; then
    tmux kill-session -t "$session" 2>/dev/null || true
  fi
  for mount in "${mounts[@]}"; do
    umount "$mount" 2>/dev/null || umount -l "$mount" 2>/dev/null || true
  done
  if gluster --mode=script volume info "$volume" >/dev/null 2>&1; then
    gluster --mode=script volume stop "$volume" force >/dev/null 2>&1 || true
    gluster --mode=script volume delete "$volume" >/dev/null 2>&1 || true
  fi
  # Paused bricks go on, so that the volume can be stopped.
  if [ -e "$dir/paused" ]; then xargs kill -CONT <"$dir/paused" 2>/dev/null || true; fi
  # Gone before this returns, so that the next `up` can start its own.
  if [ "$glusterd" = 1 ] && [ -e "$dir/glusterd.pid" ]; then stop_daemon; fi
  # What the daemon started in the server's namespace goes with it.
  if [ -e "/run/netns/$server_ns" ]; then
    for pid in $(ip netns pids "$server_ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
  fi
  for k in 1 2 3 4 5 6; do
    ns=$(host_ns "$k")
    if [ -e "/run/netns/$ns" ]; then
      for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
      ip netns del "$ns" 2>/dev/null || true
    fi
  done
  ip netns del "$server_ns" 2>/dev/null || true
  rm -rf "$dir"
  echo "The cluster in $dir is down."
}

status() {
  names
  [ -e "$state" ] || { echo "No cluster is up in $dir."; return 1; }
  local mounts=()
  # shellcheck disable=SC1090
  source "$state"
  echo "volume $volume, served from namespace $server_ns at $address"
  for mount in "${mounts[@]}"; do
    if mountpoint -q "$mount"; then echo "  mounted: $mount"; else echo "  NOT mounted: $mount"; fi
  done
  gluster --mode=script volume status "$volume" 2>/dev/null | grep -E '^Brick|^Self' || true
}

# Cuts host K off the servers (its packets are dropped), or joins it again
# and waits until its mount answers.
link() {
  names
  [ -e "$state" ] || fail "no cluster is up in $dir"
  ip -n "$server_ns" link set "f${id}s$2" "$1"
  if [ "$1" = up ]; then
    for _ in $(seq 1 300); do
      stat "$dir/host$2/Card" >/dev/null 2>&1 && return 0
      sleep 0.1
    done
    fail "host $2 did not come back"
  fi
}

# Kills the process of brick N (1 to 3), or starts every brick again, or
# stops every brick's process where it is, or lets them go on.
brick() {
  names
  [ -e "$state" ] || fail "no cluster is up in $dir"
  if [ "$1" = start ]; then
    gluster --mode=script volume start "$volume" force >/dev/null
    for n in 1 2 3; do wait_for "brick $n" brick_online "$n"; done
    return
  fi
  # The paused bricks' processes are kept in a file: the daemon may not
  # answer for them while they are stopped.
  if [ "$1" = pause ]; then
    local n pid
    : >"$dir/paused"
    for n in 1 2 3; do
      pid=$(brick_pid "$n")
      [ -n "$pid" ] && [ "$pid" -gt 0 ] || fail "brick $n is not running"
      echo "$pid" >>"$dir/paused"
    done
    xargs kill -STOP <"$dir/paused"
    return
  fi
  if [ "$1" = resume ]; then
    [ -e "$dir/paused" ] || fail "no brick is paused"
    xargs kill -CONT <"$dir/paused"
    rm -f "$dir/paused"
    return
  fi
  local pid
  pid=$(brick_pid "$2")
  [ -n "$pid" ] && [ "$pid" -gt 0 ] || fail "brick $2 is not running"
  kill -9 "$pid"
  # The daemon takes a brick whose pid file still stands for one that runs,
  # and would not start it again: the file goes with the process.
  local pidfile
  pidfile="/var/run/gluster/vols/$volume/$address-$(echo "$dir/bricks/b$2" | sed 's|^/||; s|/|-|g').pid"
  [ "$(cat "$pidfile" 2>/dev/null)" = "$pid" ] && rm -f "$pidfile"
  for _ in $(seq 1 100); do
    brick_online "$2" || return 0
    sleep 0.1
  done
}

# Restarts the GlusterFS daemon (the bricks and the mounts stay up) and
# waits until it answers again.
daemon() {
  names
  [ -e "$state" ] || fail "no cluster is up in $dir"
  [ "$1" = restart ] || fail "daemon takes: restart"
  stop_daemon
  in_server glusterd -p "$dir/glusterd.pid"
  wait_for "the GlusterFS daemon" gluster --mode=script volume status "$volume"
}

# Waits (up to two minutes) until every host's client is connected to every
# brick again and no brick has entries left to heal: the cluster whole.
heal() {
  names
  [ -e "$state" ] || fail "no cluster is up in $dir"
  local mounts=() clients=0
  # shellcheck disable=SC1090
  source "$state"
  for _ in $(seq 1 400); do
    local status info whole=1
    status=$(gluster --mode=script volume status "$volume" clients 2>/dev/null) || status=""
    for k in $(seq 1 "$clients"); do
      [ "$(echo "$status" | grep -c "^10\.213\.$k\.2:")" -ge 3 ] || whole=0
    done
    # The heal report is made by a client that fetches its volume file from
    # the daemon by address: it runs where the daemon listens.
    info=$(in_server gluster --mode=script volume heal "$volume" info 2>/dev/null) || info=""
    if [ $whole = 1 ] && [ -n "$info" ] && ! echo "$info" | grep -q 'Number of entries: [1-9-]'; then
      return 0
    fi
    sleep 0.2
  done
  fail "the cluster was not whole again within two minutes"
}

# Host K's GlusterFS client: killed (its mount stays, answering that it is
# not connected), unmounted, or mounted again (a mount left dead by a killed
# client, or held by a program that runs in it, is unmounted lazily first).
client() {
  names
  [ -e "$state" ] || fail "no cluster is up in $dir"
  local mounts=() clients=0 mount_options="" k=$2 pid
  # shellcheck disable=SC1090
  source "$state"
  [ -n "$k" ] && [ "$k" -ge 1 ] && [ "$k" -le "$clients" ] || fail "client takes a host, 1 to $clients"
  case "$1" in
    kill)
      for pid in $(ip netns pids "$(host_ns "$k")"); do
        [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = glusterfs ] && kill -9 "$pid"
      done
      for _ in $(seq 1 100); do
        stat "$dir/host$k/Card" >/dev/null 2>&1 || return 0
        sleep 0.1
      done
      fail "host $k's client did not end"
      ;;
    unmount) umount "$dir/host$k" 2>/dev/null || umount -l "$dir/host$k" ;;
    mount)
      if mountpoint -q "$dir/host$k" 2>/dev/null || ! stat "$dir/host$k" >/dev/null 2>&1; then
        umount -l "$dir/host$k"
      fi
      mount_host "$k"
      wait_for "host $k's mount" stat "$dir/host$k/Card"
      ;;
    *) fail "client takes: kill, unmount or mount" ;;
  esac
}

brick_pid() {
  gluster --mode=script volume status "$volume" "$address:$dir/bricks/b$1" --xml 2>/dev/null |
    sed -n 's|.*<pid>\(-*[0-9]*\)</pid>.*|\1|p' | head -1
}

brick_online() {
  gluster --mode=script volume status "$volume" "$address:$dir/bricks/b$1" --xml 2>/dev/null |
    grep -q '<status>1</status>'
}

[ $# -gt 0 ] || { usage >&2; exit 2; }
command=$1
shift
arguments=()
while [ $# -gt 0 ]; do
  case "$1" in
    --dir) dir=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    --readers) readers=1; shift ;;
    --detach) detach="--detach"; shift ;;
    --session) session=$2; shift 2 ;;
    --plain) plain=1; shift ;;
    --volume-option) volume_overrides+=("$2"); shift 2 ;;
    --mount-options) mount_options=$2; shift 2 ;;
    --delay-ms) delay_ms=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    -*) fail "unknown option '$1'" ;;
    *) arguments+=("$1"); shift ;;
  esac
done
case "$command" in
  up) up ;;
  down) down ;;
  status) status ;;
  cut) link down "${arguments[0]:?which host}" ;;
  join) link up "${arguments[0]:?which host}" ;;
  brick) brick "${arguments[0]:?kill, start, pause or resume}" "${arguments[1]:-}" ;;
  daemon) daemon "${arguments[0]:?restart}" ;;
  heal) heal ;;
  client) client "${arguments[0]:?kill, unmount or mount}" "${arguments[1]:-}" ;;
  delay) delay "${arguments[0]:?how many milliseconds}" ;;
  -h|--help|help) usage ;;
  *) fail "unknown command '$command'" ;;
esac
