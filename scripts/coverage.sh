#!/usr/bin/env bash
# Line and branch coverage of src/ by the test suite: builds the coverage
# preset (gcc --coverage, -O0), runs CTest and prints gcovr's summary.
#
#   scripts/coverage.sh [CTEST ARGUMENTS...]    e.g. -LE oom
#
# Counted: the files of src/ that a Linux build compiles (the Win32 platform
# and load hook are left out). Not counted: the branches gcc adds for the
# exception edge of every call that may throw (--exclude-throw-branches) and
# the branches on lines without source code (--exclude-unreachable-branches).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build test coverage

# A compiler cache's base directory would turn the source names the notes
# files keep into relative ones, which gcov cannot find again.
unset CCACHE_BASEDIR
cmake --preset coverage >/dev/null
cmake --build --preset coverage
# Counts from an earlier run would add up with this one.
find build/coverage -name '*.gcda' -delete
status=0
ctest --preset coverage "$@" || status=$?

filters=(--root . --object-directory build/coverage --filter 'src/'
         --exclude 'src/transport/win32/' --exclude 'src/exports/.*win32.*'
         --exclude-throw-branches --exclude-unreachable-branches)
echo "--- branches of src/ per file"
gcovr "${filters[@]}" --branches --sort-percentage
echo "--- summary of src/"
gcovr "${filters[@]}" --print-summary --txt build/coverage/summary.txt
# The test stage is the gate; the instrumented build (-O0, counters on every
# branch) is slow enough for a timing bound to miss, so a failure here is
# reported and the figures still count what ran.
if [ "$status" -ne 0 ]; then
  echo "coverage: the instrumented suite had failures (ctest exit $status); see above" >&2
fi
exit 0
