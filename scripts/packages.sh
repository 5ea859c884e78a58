#!/usr/bin/env bash
# Builds the Debian packages (cpack -G DEB in build/packages, with Debian's
# build flags), checks them with lintian, installs them with apt-get, builds
# the C consumer of tests/package against the installed packages (pkg-config
# and CMake find_package), runs the installed programs, and removes the
# packages again, checking that nothing of them is left.
#   scripts/packages.sh [--keep]      --keep: leave the packages installed
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
keep=0
[ "${1:-}" = "--keep" ] && keep=1

scripts/install-deps.sh build packages

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo -n); fi
fail() { echo "FAIL: $*" >&2; exit 1; }

build=build/packages
version=$(sed -n 's/^project(TessaraCan VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
packages=(libtessaracan1 libtessaracan-dev tessaracan-tools)

# ---- build the packages
(
  eval "$(dpkg-buildflags --export=sh)"
  # the changelog's date: the last commit's, so that a rebuild gives the same files
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
  export SOURCE_DATE_EPOCH
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTESSARA_WERROR=ON \
    -DTESSARA_BUILD_TESTS=OFF -DTESSARA_DEB_PACKAGE=ON -DTESSARA_INSTALL_RPATH=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
)
cmake --build "$build" -j2
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >cpack.log) || { cat "$build/cpack.log"; fail "cpack"; }
debs=()
for package in "${packages[@]}"; do
  deb=$(ls "$build/${package}_${version}_"*.deb 2>/dev/null | head -1)
  [ -n "$deb" ] || fail "no package $package"
  debs+=("$root/$deb")
  echo "== $(basename "$deb")"
  dpkg-deb --field "$deb" Package Version Depends | sed 's/^/   /'
done

# ---- what the packages say about themselves
shlibs=$(dpkg-deb --ctrl-tarfile "${debs[0]}" | tar -xO ./shlibs)
[ "$shlibs" = "libTessaraCan 1 libtessaracan1 (>= $version)" ] || fail "shlibs of libtessaracan1: $shlibs"
runtime_files=$(dpkg-deb --contents "${debs[0]}")
grep -q "libTessaraCan.so.1 -> libTessaraCan.so.$version" <<<"$runtime_files" ||
  fail "libtessaracan1 lacks the SONAME link"
development_files=$(dpkg-deb --contents "${debs[1]}")
for f in include/TessaraCan.h "libTessaraCan.so -> libTessaraCan.so.1" pkgconfig/TessaraCan.pc \
         cmake/TessaraCan/TessaraCanConfig.cmake; do
  grep -qF "$f" <<<"$development_files" || fail "libtessaracan-dev lacks $f"
done
tools_depends=$(dpkg-deb --field "${debs[2]}" Depends)
grep -qF "libtessaracan1 (= $version)" <<<"$tools_depends" ||
  fail "tessaracan-tools does not depend on libtessaracan1"
grep -q "libc6 (>= " <<<"$tools_depends" || fail "no computed libc6 dependency"

# Every file the install rules give is in one of the packages (an install
# component that cmake/Packaging.cmake does not map would be left out).
stage=$(mktemp -d)
DESTDIR=$stage cmake --install "$build" >/dev/null
installed_files=$(cd "$stage" && find . ! -type d | sed 's|^\./|/|' | sort)
rm -rf "$stage"
packaged_files=$(for deb in "${debs[@]}"; do dpkg-deb --contents "$deb"; done |
  awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./|/|' | sort)
unpackaged=$(comm -23 <(echo "$installed_files") <(echo "$packaged_files"))
[ -z "$unpackaged" ] || fail "installed but in no package: $unpackaged"

# Tags that remain and why: libtessaracan1 ships its overrides; the programs'
# manual pages are checked for when the tools package has none yet.
suppress=()
tools_files=$(dpkg-deb --contents "${debs[2]}")
if ! grep -q "usr/share/man/man1/" <<<"$tools_files"; then
  echo "lintian: the tools package has no manual pages yet: no-manual-page is not counted"
  suppress=(--suppress-tags no-manual-page)
fi
lintian --fail-on error,warning "${suppress[@]}" "${debs[@]}" || fail "lintian"
echo "lintian: ok"

# ---- install, use, remove
apt_get() {
  # another engineer's or job's apt-get may hold the lock: wait for it
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 "$@"
}
removed=0
remove() {
  [ $removed -eq 0 ] || return 0
  removed=1
  apt_get purge -y -qq "${packages[@]}" >/dev/null
}
work=$(mktemp -d)
trap 'rm -rf "$work"; [ $keep -eq 1 ] || remove' EXIT

apt_get install -y -qq --no-install-recommends "${debs[@]}" >/dev/null || fail "apt-get install"
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" | grep -q "install ok installed" || fail "$package not installed"
done

installed=$(readlink -f "$(dpkg -L libtessaracan1 | grep '/libTessaraCan[.]so[.]1$')")
check_consumer() {
  local program=$1 how=$2 out loaded
  out=$("$program" 0x224) || fail "$how consumer exits non-zero"
  grep -q "^version: Tessara CAN DLL V" <<<"$out" || fail "$how consumer printed: $out"
  grep -q "^0x224: CAN no valid baudrate$" <<<"$out" || fail "$how consumer printed: $out"
  loaded=$(ldd "$program" | awk '/libTessaraCan[.]so/ { print $3 }')
  [ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$installed" ] ||
    fail "$how consumer does not load the packaged library: $(ldd "$program" | grep Tessara)"
  echo "$how consumer against the packages: ok"
}
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror $(pkg-config --cflags TessaraCan) tests/package/consumer/main.c \
  -o "$work/consumer-pc" $(pkg-config --libs TessaraCan)
check_consumer "$work/consumer-pc" "pkg-config"
cmake -S tests/package/consumer -B "$work/cmake" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/cmake" >/dev/null
check_consumer "$work/cmake/consumer" "CMake"

[ "$(command -v tessara-can)" = /usr/bin/tessara-can ] || fail "tessara-can is not /usr/bin/tessara-can"
help=$(tessara-can --help) || fail "tessara-can --help exits non-zero"
grep -q "^usage: tessara-can" <<<"$help" || fail "tessara-can --help printed: $help"
help=$(tessara-sim --help) || fail "tessara-sim --help exits non-zero"
grep -q "^usage: tessara-sim" <<<"$help" || fail "tessara-sim --help printed: $help"
grep -q "^Tessara CAN DLL V" <<<"$(tessara-can version)" || fail "tessara-can version"
echo "installed programs: ok"

if [ $keep -eq 0 ]; then
  remove
  for package in "${packages[@]}"; do
    ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      fail "$package is still installed"
  done
  [ ! -e /usr/bin/tessara-can ] && [ ! -e /usr/include/TessaraCan.h ] &&
    ! ls /usr/lib/*/libTessaraCan.so* >/dev/null 2>&1 || fail "files left after removal"
  echo "removed: ok"
fi
