#!/usr/bin/env bash
# Every test of the project, on a fresh Debian machine too: installs what the
# build and the tests need (tools/ensure-packages.sh), then builds and runs
# the unit, end-to-end, terminal and exhaustive tests, the reliability tests,
# the explorer's seeded random episodes, the many-host tests on a GlusterFS
# cluster (root and /dev/fuse; they skip, and say why, elsewhere), every
# test again under AddressSanitizer with UndefinedBehaviorSanitizer and under
# ThreadSanitizer, and each fuzz target for a minute. The workflows it runs
# one by one: docs/development.md.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/ensure-packages.sh

# The fast clock's wrapper names its semaphore and shared memory after its
# process id, and refuses to start where one of that name is left (by a
# wrapper killed before it could remove them): a test would fail at once
# with "sem_open: File exists" on a machine that ran tests before. Those of
# processes that are gone are removed.
for stale in /dev/shm/sem.faketime_sem_* /dev/shm/faketime_shm_*; do
  pid=${stale##*_}
  if [[ -e $stale && $pid =~ ^[0-9]+$ ]] && ! kill -0 "$pid" 2>/dev/null; then
    rm -f -- "$stale" || true
  fi
done

cmake --workflow --preset default
cmake --workflow --preset reliability
cmake --workflow --preset explore
cmake --workflow --preset multihost
cmake --workflow --preset sanitize
cmake --workflow --preset tsan

cmake --preset fuzz
cmake --build --preset fuzz
tests/fuzz/run.sh build/fuzz 60
