#!/usr/bin/env bash
# Builds the library, the simulator and the tests in each configuration and
# runs the whole suite: Release, AddressSanitizer + UndefinedBehaviorSanitizer,
# ThreadSanitizer. Usage: scripts/test.sh [preset ...] (default: all three).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build test
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan tsan)
for preset in "${presets[@]}"; do
  echo "=== ${preset}: configure and build"
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}"
  echo "=== ${preset}: tests"
  ctest --preset "${preset}"
done
