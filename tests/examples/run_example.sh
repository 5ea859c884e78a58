#!/usr/bin/env bash
# Runs one example program against a tessara-sim of its own on a random
# loopback address: the example gets HOST and CAN port 0 as its arguments,
# must exit with 0 and print a line matching each --expect pattern.
#   run_example.sh --sim PROGRAM [--sim-arg ARG]... [--expect REGEX]...
#                  [--needs-python-module M]... -- COMMAND [ARGS]...
# Exit status 77 (a skip for CTest) when a needed Python module is missing.
set -euo pipefail

sim="" sim_args=() expects=() modules=()
while [ $# -gt 0 ]; do
  case $1 in
    --sim) sim=$2; shift 2 ;;
    --sim-arg) sim_args+=("$2"); shift 2 ;;
    --expect) expects+=("$2"); shift 2 ;;
    --needs-python-module) modules+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "run_example: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$sim" ] && [ $# -gt 0 ] || { echo "usage: see $0" >&2; exit 2; }
for m in "${modules[@]+"${modules[@]}"}"; do
  /usr/bin/python3 -c "import $m" 2>/dev/null || { echo "skipped: no Python module $m"; exit 77; }
done

scale=${TESSARA_TEST_TIMEOUT_SCALE:-1}
work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# An address of its own, so that examples run in parallel with everything
# else; another address when this one is taken.
for attempt in 1 2 3 4 5; do
  address="127.$((RANDOM % 254 + 1)).$((RANDOM % 256)).$((RANDOM % 254 + 1))"
  "$sim" --bind "$address" --quiet "${sim_args[@]+"${sim_args[@]}"}" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  deadline=$((SECONDS + 10 * scale))
  while ! grep -q "listening on" "$work/sim.log" && kill -0 "$sim_pid" 2>/dev/null &&
        [ $SECONDS -lt $deadline ]; do
    sleep 0.05
  done
  grep -q "listening on" "$work/sim.log" && break
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
done
[ -n "$sim_pid" ] || { cat "$work/sim.log" >&2; echo "FAIL: the simulator did not start" >&2; exit 1; }

status=0
timeout $((60 * scale)) "$@" "$address" 0 >"$work/out.log" 2>&1 || status=$?
cat "$work/out.log"
[ "$status" -eq 0 ] || { echo "FAIL: $* $address 0 exited with $status" >&2; exit 1; }
for pattern in "${expects[@]+"${expects[@]}"}"; do
  grep -Eq -- "$pattern" "$work/out.log" || { echo "FAIL: no line matches /$pattern/" >&2; exit 1; }
done
echo "ok: $(basename "$1")"
