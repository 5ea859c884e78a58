#!/usr/bin/env bash
# Builds the API reference (Doxygen, every warning an error: an undocumented
# function, parameter or result fails it) and the programs' man pages
# (help2man), checks the man pages with groff's warnings on, and runs the
# header_docs test. Output: build/default/docs/html/index.html,
# build/default/man/*.1.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build docs

cmake --preset default -DTESSARA_DOCS_WERROR=ON >/dev/null
cmake --build --preset default --target docs man-pages

status=0
for page in build/default/man/*.1; do
  warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null || true)
  if [ -n "$warnings" ]; then
    echo "docs: $page: $warnings" >&2
    status=1
  fi
  grep -q '^\.SH SYNOPSIS' "$page" || { echo "docs: $page has no synopsis" >&2; status=1; }
done
ctest --preset default -L docs --output-on-failure || status=1
[ "$status" -eq 0 ] && echo "docs: reference in build/default/docs/html/index.html, man pages in build/default/man"
exit "$status"
