#!/usr/bin/env bash
# Runs the Python binding's tests (bindings/python/tests) with Debian's
# /usr/bin/python3 against the library and simulator of the default preset,
# building those two first when needed (and installing the packages they
# need). Arguments go to pytest.
# Exits non-zero when a test fails; pytest's summary is the last line.
set -euo pipefail
cd "$(dirname "$0")/.."
python=/usr/bin/python3

scripts/install-deps.sh build test

if [ ! -f build/default/CMakeCache.txt ]; then
  cmake --preset default >/dev/null
fi
# Incremental: does nothing when the library and the simulator are current.
cmake --build --preset default --target TessaraCan tessara-sim

cd bindings/python
status=0
"$python" -m pytest -p no:cacheprovider -ra "$@" || status=$?
if [ "$status" -eq 5 ]; then
  echo "python-tests: no test was collected" >&2
fi
exit "$status"
