#!/usr/bin/env bash
# Builds the Release configuration and runs the demo: an embedded gateway
# simulator on loopback and the library walking through its functions.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset default >/dev/null
cmake --build --preset default --target tessara-can
exec build/default/tools/tessara-can demo "$@"
