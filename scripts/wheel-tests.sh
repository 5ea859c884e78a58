#!/usr/bin/env bash
# Builds the Python wheel with libTessaraCan.so.1 of the default preset
# bundled, installs it into a fresh virtual environment (with the system's
# site packages, for python-can and pytest), and runs the binding's tests
# against the installed wheel: no library installed on the system, none named
# by TESSARA_CAN_LIBRARY or LD_LIBRARY_PATH, only the simulator from the build
# tree. Arguments go to pytest. The wheel is left in build/wheel/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=/usr/bin/python3

scripts/install-deps.sh build test wheel
fail() { echo "FAIL: $*" >&2; exit 1; }

[ -f build/default/CMakeCache.txt ] || cmake --preset default >/dev/null
cmake --build --preset default --target TessaraCan tessara-sim

# ---- the wheel
dist=build/wheel
rm -rf "$dist"
mkdir -p "$dist"
"$python" -m pip wheel --no-deps --no-index --disable-pip-version-check --quiet \
  --config-settings library="$root/build/default/src/libTessaraCan.so.1" \
  --wheel-dir "$dist" bindings/python
wheel=$(ls "$dist"/tessara_can-*-py3-none-linux_*.whl 2>/dev/null | head -1)
[ -n "$wheel" ] || fail "no platform wheel in $dist: $(ls "$dist")"
"$python" - "$wheel" <<'PY' || fail "the wheel's contents"
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    names = wheel.namelist()
    library = wheel.read("tessara_can/libTessaraCan.so.1")
    info = [n for n in names if n.endswith(".dist-info/WHEEL")][0]
    text = wheel.read(info).decode()
assert library[:4] == b"\x7fELF", "the bundled library is no ELF file"
assert b"libTessaraCan.so.1\0" in library, "the bundled library does not carry its SONAME"
assert "Root-Is-Purelib: false" in text, text
print("wheel: %d files, library %d bytes" % (len(names), len(library)))
PY

# ---- a fresh virtual environment without any other copy of the library
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset TESSARA_CAN_LIBRARY LD_LIBRARY_PATH PYTHONPATH
if /sbin/ldconfig -p | grep -q libTessaraCan; then
  fail "libTessaraCan is installed on the system; the wheel would not be tested alone"
fi
"$python" -m venv --system-site-packages "$work/venv"
venv_python=$work/venv/bin/python
"$venv_python" -m pip install --no-deps --no-index --disable-pip-version-check --quiet "$wheel"
(cd "$work" && "$venv_python" - <<'PY') || fail "the installed wheel"
import os, sys
import can
import tessara_can
library = tessara_can.load_library()
assert library.path.startswith(sys.prefix), library.path
print("installed:", os.path.dirname(tessara_can.__file__), "|", tessara_can.dll_info())
bus = can.Bus  # the interface is found through the wheel's entry point
from can.interfaces import BACKENDS
assert "tessara" in BACKENDS, sorted(BACKENDS)
PY

# The tests' own directory is the working directory, so that the source tree's
# package is not on the path; conftest checks where tessara_can came from.
cd bindings/python/tests
status=0
TESSARA_TEST_INSTALLED=1 TESSARA_BUILD_DIR="$root/build/default" \
  "$venv_python" -m pytest -p no:cacheprovider -ra "$@" . || status=$?
[ "$status" -ne 5 ] || echo "wheel-tests: no test was collected" >&2
exit "$status"
