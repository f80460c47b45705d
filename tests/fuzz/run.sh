#!/usr/bin/env bash
# Runs each fuzz target for a bounded time, starting from the seed corpus
# kept in the repository, and fails on any finding.
# Usage: tests/fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET]
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for target in card_tail_fuzz card_word_fuzz; do
  corpus=${target%_fuzz}
  mkdir -p "$work/$corpus"
  echo "== $target, $seconds s, seeds from tests/fuzz/corpus/$corpus"
  status=0
  (cd "$work" && "$build/bin/$target" -max_total_time="$seconds" -max_len=512 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz-findings-" \
      "$work/$corpus" "$here/corpus/$corpus") >"$work/$target.log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units|INITED|DONE' "$work/$target.log" || true
  if [ "$status" -ne 0 ]; then
    echo "FAIL: $target found an input that breaks it (kept as $build/fuzz-findings-*):"
    tail -n 40 "$work/$target.log"
    exit 1
  fi
done
echo "PASS: no findings"
