#!/usr/bin/env bash
# Runs a subset of the integration suite under valgrind memcheck, built
# without sanitizers in build/valgrind (Debug): any invalid access, use of
# uninitialised memory or definite leak fails the run (exit 99). The subset
# keeps the run within a few minutes; pass a gtest filter to choose another.
#
#   scripts/valgrind.sh [GTEST_FILTER]
set -euo pipefail
cd "$(dirname "$0")/.."
default="Connection.*:Stream.*:Engine.*:Fault*:LinkEnds*:Dispatch.*:CanCommands.*:DeviceCommands.*"
default+=":CanopenCommands.*:*FuzzRegressions.*:Resources.*"
default+="-Engine.IdsCountFromTwoAndWrap:Engine.EightThreads*:Fault.EightThreads*"
filter="${1:-$default}"
command -v valgrind >/dev/null || { echo "valgrind is not installed"; exit 1; }
cmake -S . -B build/valgrind -DCMAKE_BUILD_TYPE=Debug -DTESSARA_BUILD_TOOLS=OFF >/dev/null
cmake --build build/valgrind -j2 --target tessara_tests
# Valgrind runs the code some 20 to 50 times slower and one thread at a time:
# time-outs grow with it.
export TESSARA_TEST_TIMEOUT_SCALE="${TESSARA_TEST_TIMEOUT_SCALE:-8}"
exec valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --errors-for-leak-kinds=definite --show-leak-kinds=definite --track-origins=yes \
  --num-callers=30 --fair-sched=yes \
  build/valgrind/tests/tessara_tests --gtest_filter="$filter"
