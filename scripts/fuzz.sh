#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang, ASan + UBSan) and runs
# each for a bounded time, starting from its seed corpus (fuzz/corpus/<target>)
# and the inputs that failed before (fuzz/regressions/<target>). New corpus
# entries go to build/fuzz/work/<target>; an input that fails is written to
# build/fuzz/artifacts/<target>/ and the script exits non-zero: copy it into
# fuzz/regressions/<target>/ with a descriptive name, so that the test suite
# (tests/fuzz_regressions_test.cpp) replays it in every build from then on.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 60 s, all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(receive confirmation time_text candump_log socketcand)

scripts/install-deps.sh build fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target $(printf 'fuzz_%s ' "${targets[@]}")

# Largest input per target: the stream target needs room for telegrams of
# 65 537 bytes and what surrounds them.
declare -A max_len=([receive]=200000 [confirmation]=70000 [time_text]=256 [candump_log]=4096 [socketcand]=4096)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
for target in "${targets[@]}"; do
  work="build/fuzz/work/${target}"
  artifacts="build/fuzz/artifacts/${target}"
  mkdir -p "$work" "$artifacts" "fuzz/regressions/${target}"
  echo "=== fuzz_${target}: ${seconds} s"
  log="build/fuzz/${target}.log"
  if ! "build/fuzz/fuzz/fuzz_${target}" -max_total_time="${seconds}" -timeout=10 -rss_limit_mb=2048 \
       -max_len="${max_len[$target]:-4096}" -print_final_stats=1 -artifact_prefix="${artifacts}/" \
       "$work" "fuzz/corpus/${target}" "fuzz/regressions/${target}" >"$log" 2>&1; then
    status=1
    echo "fuzz_${target} FAILED; the input is in ${artifacts}/:"
    grep -E "ERROR|check failed|SUMMARY|Test unit written" "$log" | head -20 || true
    ls -1 "$artifacts"
  fi
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|^Done" "$log" || true
done
exit $status
