#!/usr/bin/env bash
# Windows builds: cross-compiles TessaraCan.dll, TessaraCanVB6.dll and
# TessaraCan64.dll with mingw-w64 (presets win32, win32-vb6, win64) and runs
# their tests under wine: the GoogleTest suite for TessaraCan and
# TessaraCan64, and for every DLL the export/import check, the import
# libraries and the loader test against the tessara-sim program. Then, per
# architecture, the programs (.ci/windows-programs.sh), the SDK archive and
# the installer (scripts/windows-dist.sh, .ci/windows-installer.sh). Installs
# what it needs on Debian 12.
#
#   .ci/windows.sh [PRESET...]      (default: win32 win32-vb6 win64)
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(win32 win32-vb6 win64)

t0=$(date +%s)
stamp() { echo "== $(( $(date +%s) - t0 ))s: $*"; }

# ---- packages (Debian 12): the posix-thread mingw-w64 compilers, because the
# simulator and the tests use std::thread; wine, and for the 32-bit presets
# its 32-bit half.
stamp "packages"
groups=(build windows)
for preset in "${presets[@]}"; do
  case $preset in
    win32|win32-vb6) groups+=(windows32); break ;;
  esac
done
scripts/install-deps.sh "${groups[@]}"

# ---- wine: a prefix of its own, one wineserver for the whole run.
export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono/Gecko prompts at prefix creation
export TESSARA_TEST_TIMEOUT_SCALE=4 TESSARA_UNDER_WINE=1
mkdir -p "$WINEPREFIX"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  stamp "creating the wine prefix"
  wineboot -i >/dev/null 2>&1 || true
fi
wineserver -p 2>/dev/null || true
# Start the prefix's background services now, detached from our output: when
# the first test program starts them instead, they inherit CTest's pipe and
# CTest waits for them to end.
wineboot >/dev/null 2>&1 </dev/null || true
trap 'wineserver -k 2>/dev/null || true' EXIT

status=0
for preset in "${presets[@]}"; do
  stamp "configure $preset"
  cmake --preset "$preset" >/dev/null
  stamp "build $preset"
  cmake --build --preset "$preset"
  stamp "test $preset"
  if ! ctest --preset "$preset"; then
    status=1
  fi
done

# ---- the programs, the SDK archives and the installers of each architecture
archs=()
for preset in "${presets[@]}"; do
  case $preset in
    win32|win64) archs+=("$preset") ;;
  esac
done
for arch in "${archs[@]}"; do
  stamp "programs $arch"
  .ci/windows-programs.sh "$arch" || status=1
done
if [ ${#archs[@]} -gt 0 ]; then
  stamp "SDK archives and installers: ${archs[*]}"
  if scripts/windows-dist.sh "${archs[@]}"; then
    for arch in "${archs[@]}"; do
      stamp "installer $arch"
      .ci/windows-installer.sh "$arch" || status=1
    done
  else
    status=1
  fi
fi
stamp "done (status $status)"
exit $status
