#!/usr/bin/env bash
# Linux builds for other architectures: cross-compiles the library, the
# simulator, the tool and the tests for aarch64, armhf and s390x (presets
# linux-arm64, linux-armhf, linux-s390x) and runs the suite under qemu-user,
# each test program in one emulator process. s390x is big-endian: it is the
# run that shows a protocol field read or written in host byte order.
# The arm64 and armhf trees are configured for the Debian packages (Debian's
# build flags for the target, prefix /usr); after their tests the packages
# are made from the same tree and checked by scripts/packages.sh --arch.
# Installs what it needs on Debian 12.
#
#   .ci/cross.sh [PRESET...]      (default: linux-s390x linux-arm64 linux-armhf)
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux-s390x linux-arm64 linux-armhf)

t0=$(date +%s)
stamp() { echo "== $(( $(date +%s) - t0 ))s: $*"; }

stamp "packages"
scripts/install-deps.sh build cross

# Each test program runs as one CTest test, which passes with skipped cases
# inside it: name them with their reasons, from the log of the run.
report_skips() {
  local log=build/$1/Testing/Temporary/LastTest.log
  [ -f "$log" ] || return 0
  awk -v preset="$1" '
    /^\[ RUN      \] / { name = $4 }
    /: Skipped$/ { getline reason; printf "skipped under %s: %s: %s\n", preset, name, reason; n++ }
    END { if (n == 0) printf "skipped under %s: none\n", preset }' "$log"
}

# The Debian architecture whose packages a preset's tree makes, or nothing.
deb_arch() {
  case "$1" in
    linux-arm64) echo arm64 ;;
    linux-armhf) echo armhf ;;
  esac
}

status=0
for preset in "${presets[@]}"; do
  arch=$(deb_arch "$preset")
  stamp "configure $preset"
  (
    [ -z "$arch" ] || eval "$(scripts/deb-buildflags.sh "$arch")"
    cmake --preset "$preset" >/dev/null
  )
  stamp "build $preset"
  cmake --build --preset "$preset"
  stamp "test $preset"
  passed=1
  if ! ctest --preset "$preset"; then
    status=1
    passed=0
  fi
  report_skips "$preset"
  # packages only from a tree whose suite passed
  if [ -n "$arch" ] && [ $passed -eq 1 ]; then
    stamp "Debian packages $arch"
    scripts/packages.sh --arch "$arch" || status=1
  fi
done
stamp "done (status $status)"
exit $status
