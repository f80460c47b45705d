#!/usr/bin/env bash
# The network on many hosts, measured on a cluster tools/cluster.sh makes:
# a whole tap on a host's mount against the same tap in a local directory
# (reader_bench, in one run, interleaved), the taps per second of the six
# readers (the real tap, no pause) spread over 1, 3 and 6 hosts, each on a
# card of its own, and how long a host cut off mid-tap holds its card.
# Usage: bench/cluster_bench.sh BIN [SECONDS]   (root; BIN holds the programs)
set -euo pipefail
bin=$(cd "${1:?the directory of the built programs}" && pwd)
seconds=${2:-10}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/fare-cluster-bench-XXXXXX)
trap '"$here/tools/cluster.sh" down --dir "$work/cluster" >/dev/null; rm -rf "$work"' EXIT

"$here/tools/cluster.sh" up --dir "$work/cluster" --clients 6 --bin "$bin" >/dev/null
mkdir -p "$work/local"

echo "== a whole tap: local directory and cluster, medians of 10 =="
FARE_BENCH_NETWORKS="local=$work/local,cluster=$work/cluster/host1" "$bin/reader_bench" \
  --benchmark_filter='BM_WholeTapIn' --benchmark_repetitions=10 \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true 2>/dev/null |
  grep -E 'median|^Benchmark'

echo "== six readers on 1, 3 and 6 hosts, $seconds s each =="
readers=(S1 S2 S3 S4 S5 B)
net=$work/cluster/host1
for hosts in 1 3 6; do
  for i in 0 1 2 3 4 5; do
    printf '20260306080000,SUBWAY,OUT,2000000000,I_1\r\n20260306080000,SUBWAY,OUT,2000000000,I_2' \
      >"$net/Card/9$i.txt"
  done
  pids=()
  for i in 0 1 2 3 4 5; do
    taps=$(for _ in $(seq 1 20000); do printf '9%d ' "$i"; done)
    (cd "$work/cluster/host$(( i % hosts + 1 ))" &&
      exec "$bin/crash_reader" "${readers[$i]}" <<<"$taps" >/dev/null 2>&1) &
    pids+=($!)
  done
  sleep "$seconds"
  kill -9 "${pids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  records=0
  for i in 0 1 2 3 4 5; do
    records=$(( records + $(grep -c , "$net/Card/9$i.txt") - 2 ))
  done
  echo "readers on $hosts host(s): $records taps in $seconds s, $(( records / seconds )) taps/s"
done
