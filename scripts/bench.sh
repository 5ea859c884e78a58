#!/usr/bin/env bash
# Builds the library and the benchmark in Release (the `default` preset, in
# build/bench) and measures the library against a raw-socket client doing the
# same work on this machine. A full run writes the table to bench/RESULTS.md;
# with --quick (1/50 of the counts, for CI) nothing is written and only lost
# frames or a failed scenario make it fail.
# Usage: scripts/bench.sh [--quick] [--rounds N] [--only a,b] [--verbose]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench
cmake --preset default -B "$build" -DTESSARA_BUILD_BENCH=ON -DTESSARA_BUILD_TESTS=OFF \
      -DTESSARA_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j2
quick=0
for arg in "$@"; do [ "$arg" = "--quick" ] && quick=1; done
if [ "$quick" -eq 1 ]; then
  exec "$build/bench/tessara-bench" --rounds 3 "$@"
fi
exec "$build/bench/tessara-bench" --markdown bench/RESULTS.md "$@"
