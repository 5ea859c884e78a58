#!/usr/bin/env bash
# Builds the Debian packages (cpack -G DEB in build/packages, with Debian's
# build flags), checks them with lintian, installs them with apt-get, builds
# the C consumer of tests/package against the installed packages (pkg-config
# and CMake find_package), runs the installed programs, and removes the
# packages again, checking that nothing of them is left.
#   scripts/packages.sh [--keep] [--arch ARCH]
#     --keep       leave the packages installed
#     --arch ARCH  arm64 or armhf: the packages of that architecture, from the
#                  tree of its cross preset (build/linux-arm64, build/linux-armhf),
#                  which .ci/cross.sh has built and tested; they are installed
#                  through multiarch and their programs run under qemu-user
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
keep=0
native=$(dpkg --print-architecture)
arch=$native
while [ $# -gt 0 ]; do
  case "$1" in
    --keep) keep=1 ;;
    --arch) arch=${2:?--arch needs an architecture}; shift ;;
    *) echo "usage: $0 [--keep] [--arch arm64|armhf]" >&2; exit 2 ;;
  esac
  shift
done

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo -n); fi
fail() { echo "FAIL: $*" >&2; exit 1; }

version=$(sed -n 's/^project(TessaraCan VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
packages=(libtessaracan1 libtessaracan-dev tessaracan-tools)
# the changelog's date: the last commit's, so that a rebuild gives the same files
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH

# ---- build the packages
if [ "$arch" = "$native" ]; then
  scripts/install-deps.sh build packages
  build=build/packages
  (
    eval "$(scripts/deb-buildflags.sh)"
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTESSARA_WERROR=ON \
      -DTESSARA_BUILD_TESTS=OFF -DTESSARA_DEB_PACKAGE=ON -DTESSARA_INSTALL_RPATH=OFF \
      -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
  )
  cmake --build "$build" -j2
  emulator=()
else
  case "$arch" in
    arm64) preset=linux-arm64 ;;
    armhf) preset=linux-armhf ;;
    *) fail "no cross preset builds packages for $arch" ;;
  esac
  case "$arch" in
    arm64) scripts/install-deps.sh build cross packages cross-packages ;;
    armhf) scripts/install-deps.sh build cross packages cross-packages-armhf ;;
  esac
  build=build/$preset
  # The preset sets the install prefix and the packaging options; Debian's
  # flags for the target reach the cache when the tree is first configured
  # (.ci/cross.sh), and a tree configured without them is not packaged.
  (
    eval "$(scripts/deb-buildflags.sh "$arch")"
    cmake --preset "$preset" >/dev/null
    cached=$(sed -n 's/^CMAKE_CXX_FLAGS:STRING=//p' "$build/CMakeCache.txt")
    [ "$cached" = "$CXXFLAGS" ] ||
      fail "$build was configured without Debian's build flags for $arch: remove it and run .ci/cross.sh $preset"
  )
  cmake --build --preset "$preset"
  read -r -a emulator <<<"$(sed -n 's/^TESSARA_QEMU_PROGRAM:FILEPATH=//p' "$build/CMakeCache.txt")"
  [ ${#emulator[@]} -gt 0 ] || fail "no qemu-user program in $build"
fi
rm -f "$build"/*.deb
(cd "$build" && DEB_HOST_ARCH=$arch cpack -G DEB >cpack.log) || { cat "$build/cpack.log"; fail "cpack"; }
debs=()
for package in "${packages[@]}"; do
  deb=$build/${package}_${version}_${arch}.deb
  [ -f "$deb" ] || fail "no package $package for $arch: $(ls "$build"/*.deb 2>/dev/null)"
  debs+=("$root/$deb")
  echo "== $(basename "$deb")"
  dpkg-deb --field "$deb" Package Version Architecture Depends | sed 's/^/   /'
  [ "$(dpkg-deb --field "$deb" Architecture)" = "$arch" ] || fail "$package is not of $arch"
done

# ---- what the packages say about themselves
shlibs=$(dpkg-deb --ctrl-tarfile "${debs[0]}" | tar -xO ./shlibs)
[ "$shlibs" = "libTessaraCan 1 libtessaracan1 (>= $version)" ] || fail "shlibs of libtessaracan1: $shlibs"
runtime_files=$(dpkg-deb --contents "${debs[0]}")
multiarch=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
grep -q "usr/lib/$multiarch/libTessaraCan.so.1 -> libTessaraCan.so.$version" <<<"$runtime_files" ||
  fail "libtessaracan1 lacks the SONAME link in /usr/lib/$multiarch"
runtime_depends=$(dpkg-deb --field "${debs[0]}" Depends)
for library in libc6 libstdc++6; do
  grep -q "$library (>= " <<<"$runtime_depends" || fail "no computed $library dependency: $runtime_depends"
done
# The packaged library itself: its SONAME, and machine code of the
# package's architecture (a tree of another target labelled this one shows).
unpacked=$(mktemp -d)
dpkg-deb -x "${debs[0]}" "$unpacked"
library=$unpacked/usr/lib/$multiarch/libTessaraCan.so.$version
readelf -d "$library" | grep -q "SONAME.*\[libTessaraCan.so.1\]" ||
  fail "the packaged library's SONAME is not libTessaraCan.so.1"
case "$arch" in
  amd64) machine="Advanced Micro Devices X86-64" ;;
  arm64) machine="AArch64" ;;
  armhf) machine="ARM" ;;
  *) machine="" ;;
esac
[ -z "$machine" ] || [ "$(readelf -h "$library" | sed -n 's/^ *Machine: *//p')" = "$machine" ] ||
  fail "the packaged library is not $arch code: $(readelf -h "$library" | grep Machine)"
[ "$arch" != armhf ] || readelf -h "$library" | grep -q "hard-float ABI" ||
  fail "the packaged library is not of the hard-float ABI"
rm -rf "$unpacked"
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
# Installed under their own architecture (name:arch); a foreign one through
# multiarch, its programs run by qemu-user with the target's loader and
# libraries from the machine's /lib/<triplet> (libc6:ARCH, libstdc++6:ARCH).
qualified=("${packages[@]/%/:$arch}")
apt_get() {
  # another engineer's or job's apt-get may hold the lock: wait for it
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 "$@"
}
removed=0
remove() {
  [ $removed -eq 0 ] || return 0
  removed=1
  apt_get purge -y -qq "${qualified[@]}" >/dev/null
}
work=$(mktemp -d)
trap 'rm -rf "$work"; [ $keep -eq 1 ] || remove' EXIT

apt_get install -y -qq --no-install-recommends "${debs[@]}" >/dev/null || fail "apt-get install"
for package in "${qualified[@]}"; do
  dpkg-query -W -f='${Status}' "$package" | grep -q "install ok installed" || fail "$package not installed"
done

# A program of the package's architecture, and the libraries its loader maps.
run() { "${emulator[@]}" "$@"; }
libraries() {
  if [ ${#emulator[@]} -gt 0 ]; then
    "${emulator[@]}" -E LD_TRACE_LOADED_OBJECTS=1 "$1"
  else
    ldd "$1"
  fi
}
installed=$(readlink -f "$(dpkg -L "libtessaracan1:$arch" | grep '/libTessaraCan[.]so[.]1$')")
[ "$installed" = "/usr/lib/$multiarch/libTessaraCan.so.$version" ] ||
  fail "libtessaracan1:$arch installed the library as $installed"
check_consumer() {
  local program=$1 how=$2 out loaded
  out=$(run "$program" 0x224) || fail "$how consumer exits non-zero"
  grep -q "^version: Tessara CAN DLL V" <<<"$out" || fail "$how consumer printed: $out"
  grep -q "^0x224: CAN no valid baudrate$" <<<"$out" || fail "$how consumer printed: $out"
  loaded=$(libraries "$program" | awk '/libTessaraCan[.]so/ { print $3 }')
  [ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$installed" ] ||
    fail "$how consumer does not load the packaged library: $(libraries "$program" | grep Tessara)"
  echo "$how consumer against the packages: ok"
}
export PKG_CONFIG_LIBDIR=/usr/lib/$multiarch/pkgconfig:/usr/share/pkgconfig PKG_CONFIG_PATH=
# (the file finds its prefix from where it lies: resolved, not compared as text)
[ "$(readlink -m "$(pkg-config --variable=libdir TessaraCan)")" = "/usr/lib/$multiarch" ] ||
  fail "TessaraCan.pc names libdir $(pkg-config --variable=libdir TessaraCan)"
if [ "$arch" = "$native" ]; then
  # shellcheck disable=SC2046
  cc -Wall -Wextra -Werror $(pkg-config --cflags TessaraCan) tests/package/consumer/main.c \
    -o "$work/consumer-pc" $(pkg-config --libs TessaraCan)
  check_consumer "$work/consumer-pc" "pkg-config"
  cmake -S tests/package/consumer -B "$work/cmake" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
  cmake --build "$work/cmake" >/dev/null
  check_consumer "$work/cmake/consumer" "CMake"
else
  # The cross compiler has the target's headers in its own tree and must not
  # see the machine's /usr/include: it gets the packaged header alone, and the
  # link line of the installed pkg-config file.
  mkdir "$work/include"
  ln -s /usr/include/TessaraCan.h "$work/include/"
  # shellcheck disable=SC2046
  "$multiarch-gcc" -Wall -Wextra -Werror -I"$work/include" tests/package/consumer/main.c \
    -o "$work/consumer-pc" $(PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 pkg-config --libs TessaraCan)
  check_consumer "$work/consumer-pc" "pkg-config ($arch)"
fi

[ -x /usr/bin/tessara-can ] && [ -x /usr/bin/tessara-sim ] || fail "the programs are not in /usr/bin"
[ "$(readlink -f "$(libraries /usr/bin/tessara-can | awk '/libTessaraCan[.]so/ { print $3 }')")" = "$installed" ] ||
  fail "tessara-can does not load the packaged library"
help=$(run /usr/bin/tessara-can --help) || fail "tessara-can --help exits non-zero"
grep -q "^Usage: tessara-can" <<<"$help" || fail "tessara-can --help printed: $help"
help=$(run /usr/bin/tessara-sim --help) || fail "tessara-sim --help exits non-zero"
grep -q "^Usage: tessara-sim" <<<"$help" || fail "tessara-sim --help printed: $help"
grep -q "^Tessara CAN DLL V" <<<"$(run /usr/bin/tessara-can version)" || fail "tessara-can version"
echo "installed programs ($arch): ok"

if [ $keep -eq 0 ]; then
  remove
  for package in "${qualified[@]}"; do
    ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      fail "$package is still installed"
  done
  [ ! -e /usr/bin/tessara-can ] && [ ! -e /usr/include/TessaraCan.h ] &&
    ! ls /usr/lib/*/libTessaraCan.so* >/dev/null 2>&1 || fail "files left after removal"
  echo "removed: ok"
fi
