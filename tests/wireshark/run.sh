#!/usr/bin/env bash
# Runs the dissector's tests with Debian's python3 and pytest; exits 77 (a
# skipped test for CTest) with the reason when tshark or pytest is missing.
set -uo pipefail
python=/usr/bin/python3
if ! command -v tshark >/dev/null 2>&1; then
  echo "wireshark_dissector: skipped: tshark is not installed (scripts/install-deps.sh test)"
  exit 77
fi
if ! "$python" -c 'import pytest' 2>/dev/null; then
  echo "wireshark_dissector: skipped: python3-pytest is not installed"
  exit 77
fi
exec "$python" -m pytest -p no:cacheprovider -q -ra "$@"
