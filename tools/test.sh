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

cmake --workflow --preset default
cmake --workflow --preset reliability
cmake --workflow --preset explore
cmake --workflow --preset multihost
cmake --workflow --preset sanitize
cmake --workflow --preset tsan

cmake --preset fuzz
cmake --build --preset fuzz
tests/fuzz/run.sh build/fuzz 60
