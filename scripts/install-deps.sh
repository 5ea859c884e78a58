#!/usr/bin/env bash
# Installs the Debian 12 packages a job needs and the machine lacks; the one
# package list of the project. Every script that needs packages calls this
# with the groups it needs, and .ci/run calls it with all of them.
#
#   scripts/install-deps.sh GROUP...      groups: see the table below
#   scripts/install-deps.sh --list GROUP...   print the packages, install nothing
#
# Runs apt-get as root, or through sudo; stops with a message naming the
# missing packages when it can do neither.
set -euo pipefail

# group      package                      why
table='
build      build-essential              C and C++ compilers, make
build      cmake                        the build
build      pkgconf                      the pkg-config file check of the install rules
build      googletest                   the test suite (GoogleTest, GoogleMock sources)
build      libgtest-dev                 the test suite (GoogleTest)
build      libbenchmark-dev             the benchmark harness
build      libncurses-dev               the live bus view of tessara-can
build      tzdata                       the time tests read zone rules
test       can-utils                    the tool tests read dump output with log2asc
test       python3                      the Python binding and its tests
test       python3-can                  the python-can interface and its tests
test       python3-pytest               the Python tests
test       python3-pip                  the Python package build
test       python3-setuptools           the Python package build
test       tshark                       the Wireshark dissector tests (tshark, dumpcap); debconf answers no to capture privileges
fuzz       clang-14                     libFuzzer targets
fuzz       libclang-rt-14-dev           libFuzzer and sanitizer runtimes for clang
coverage   gcovr                        the line and branch coverage summary of scripts/coverage.sh
docs       doxygen                      the HTML API reference from the header
docs       help2man                     the man pages from the programs --help texts
windows    g++-mingw-w64-i686-posix     the 32-bit Windows builds
windows    g++-mingw-w64-x86-64-posix   the 64-bit Windows build
windows    wine                         running the Windows tests
windows    wine64                       running the 64-bit Windows tests
windows32  wine32:i386                  running the 32-bit Windows tests (needs the i386 package lists)
windows    nsis                         the Windows installer (makensis)
windows    procps                       the Windows program tests find the process of a program (pgrep)
packages   dpkg-dev                     the Debian packages: dpkg-shlibdeps computes their dependencies
packages   file                         the Debian packages: CPack finds the ELF files with it
packages   lintian                      the Debian packages are checked with it
wheel      python3-venv                 the wheel is tested in a fresh virtual environment
dotnet     mono-complete                the .NET binding: mcs compiles it, mono runs its tests
dotnet     python3                      the .NET binding: generate.py checks its declarations are current
cross      g++-aarch64-linux-gnu        the linux-arm64 build
cross      g++-arm-linux-gnueabihf      the linux-armhf build
cross      g++-s390x-linux-gnu          the linux-s390x build (big-endian)
cross      qemu-user                    running the cross-built tests and programs
cross-packages libc6:arm64              the arm64 packages: dpkg-shlibdeps finds the target libc registered with dpkg
cross-packages libstdc++6:arm64         the arm64 packages: dpkg-shlibdeps finds the target libstdc++ registered with dpkg
cross-packages-armhf libc6:armhf        the armhf packages: dpkg-shlibdeps finds the target libc registered with dpkg
cross-packages-armhf libstdc++6:armhf   the armhf packages: dpkg-shlibdeps finds the target libstdc++ registered with dpkg
'

list_only=0
if [ "${1:-}" = "--list" ]; then
  list_only=1
  shift
fi
[ $# -gt 0 ] || { echo "usage: $0 [--list] GROUP..." >&2; exit 2; }

known_groups=$(awk 'NF { print $1 }' <<<"$table" | sort -u)
for group in "$@"; do
  grep -qx "$group" <<<"$known_groups" || { echo "install-deps: no group '$group'" >&2; exit 2; }
done

missing=()
reasons=()
while read -r group package why; do
  [ -n "$group" ] || continue
  for wanted in "$@"; do
    [ "$group" = "$wanted" ] || continue
    if [ $list_only -eq 1 ]; then
      echo "$package"
    elif ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
      reasons+=("  $package: $why")
    fi
  done
done <<<"$table"
[ $list_only -eq 0 ] || exit 0
[ ${#missing[@]} -gt 0 ] || exit 0

echo "install-deps: installing ${#missing[@]} Debian package(s):"
printf '%s\n' "${reasons[@]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  sudo=(sudo)
elif command -v sudo >/dev/null 2>&1 && [ -t 0 ]; then
  sudo=(sudo)
else
  echo "install-deps: cannot install (not root, no sudo). As root, run:" >&2
  echo "  apt-get install ${missing[*]}" >&2
  exit 1
fi
# A package of another architecture (name:arch) needs that architecture
# enabled in dpkg first (multiarch); apt-get update below fetches its lists.
native=$(dpkg --print-architecture)
for package in "${missing[@]}"; do
  case "$package" in
    *:*)
      arch=${package##*:}
      [ "$arch" = "$native" ] || [ "$arch" = all ] ||
        dpkg --print-foreign-architectures | grep -qx "$arch" ||
        "${sudo[@]}" dpkg --add-architecture "$arch"
      ;;
  esac
done
export DEBIAN_FRONTEND=noninteractive
# tshark's wireshark-common asks whether non-root users may capture: no.
if printf '%s\n' "${missing[@]}" | grep -qx tshark; then
  echo "wireshark-common wireshark-common/install-setuid boolean false" |
    "${sudo[@]}" debconf-set-selections
fi
# A mirror caught mid-sync fails the update of one list now and then: tried
# again after a pause, and when it still fails the install goes on with the
# lists that did arrive (it fails itself if a package is then missing).
for attempt in 1 2 3; do
  "${sudo[@]}" apt-get update -qq && break
  echo "install-deps: apt-get update failed (attempt $attempt of 3)" >&2
  [ "$attempt" -eq 3 ] || sleep 20
done
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
