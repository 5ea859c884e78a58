#!/usr/bin/env bash
# Builds the soak program in one configuration and runs it for a bounded time
# with a fixed seed: 16 handles, frames both ways, requests, CANopen traffic,
# random faults, then the accounting of every frame, and 1000 open/close
# cycles. Leaks are reported by LeakSanitizer in the asan configuration.
#
#   scripts/soak.sh [SECONDS] [PRESET]   (default 120 s, asan)
#   TESSARA_SOAK_SEED=N picks another seed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-120}"
preset="${2:-asan}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target tessara_soak
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
[ "$preset" = tsan ] && export TESSARA_TEST_TIMEOUT_SCALE="${TESSARA_TEST_TIMEOUT_SCALE:-3}"
"build/${preset}/tests/tessara_soak" --seconds="$seconds" --seed="${TESSARA_SOAK_SEED:-20240611}"
