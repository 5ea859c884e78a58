#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and checks what an
# application gets from it: the shared library with its SONAME links, the
# header, the CMake package and the pkg-config file (a C consumer is built
# both ways and run), the two programs, the simulator's README, and no static
# library.
#   check_install.sh CMAKE BUILD_DIR SOURCE_DIR C_COMPILER VERSION RPATH [EMULATOR]
# RPATH is 1 when the installed programs find the library relative to
# themselves, 0 when they leave it to the loader (a tree configured for a
# system package): they must then carry no search path at all.
# A cross build passes the qemu-user command line its programs run under
# (words separated by spaces); the consumers are then built with the cross
# compiler and every program runs through it.
# Exit status 77 (a skip for CTest) when pkg-config is missing.
set -euo pipefail
cmake=$1 build=$2 source=$3 cc=$4 version=$5 install_rpath=$6
read -r -a emulator <<<"${7:-}"
major=${version%%.*}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" ||
  { cat "$work/install.log"; fail "cmake --install"; }

pc=$(find "$prefix" -name TessaraCan.pc)
[ -n "$pc" ] || fail "no TessaraCan.pc installed"
libdir=$(dirname "$(dirname "$pc")")

# ---- what lies in the prefix
for f in include/TessaraCan.h bin/tessara-can bin/tessara-sim share/doc/TessaraCan/tessara-sim.md; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
# The man pages come with the programs when help2man made them.
if [ -d "$build/man" ]; then
  for page in tessara-can.1 tessara-sim.1; do
    # compressed in a tree configured for a Debian package
    file=$prefix/share/man/man1/$page
    [ -f "$file" ] || file=$file.gz
    [ -f "$file" ] || fail "man page $page is not installed"
    zcat -f "$file" | grep -q '^\.SH SYNOPSIS' || fail "man page $page has no synopsis"
  done
fi
[ -f "$libdir/libTessaraCan.so.$version" ] || fail "libTessaraCan.so.$version is not installed"
[ "$(readlink "$libdir/libTessaraCan.so.$major")" = "libTessaraCan.so.$version" ] ||
  fail "libTessaraCan.so.$major does not point to libTessaraCan.so.$version"
[ "$(readlink "$libdir/libTessaraCan.so")" = "libTessaraCan.so.$major" ] ||
  fail "libTessaraCan.so does not point to libTessaraCan.so.$major"
readelf -d "$libdir/libTessaraCan.so.$version" | grep -q "SONAME.*\[libTessaraCan.so.$major\]" ||
  fail "the library's SONAME is not libTessaraCan.so.$major"
static=$(find "$prefix" -name '*.a')
[ -z "$static" ] || fail "static libraries installed: $static"
[ -f "$libdir/cmake/TessaraCan/TessaraCanConfig.cmake" ] || fail "no CMake package config"

# Programs of the target run behind launch[]: the emulator (or env) with
# loader_env and any further NAME=value words for the target's loader. ldd's
# list comes from the target's own loader, told through qemu's -E so that the
# emulator itself is not traced.
loader_env=()
launcher() {
  local setting
  if [ ${#emulator[@]} -gt 0 ]; then
    launch=("${emulator[@]}")
    for setting in "${loader_env[@]}" "$@"; do launch+=(-E "$setting"); done
  else
    launch=(env "${loader_env[@]}" "$@")
  fi
}
run() { launcher; "${launch[@]}" "$@"; }
libraries() {
  if [ ${#emulator[@]} -gt 0 ]; then
    launcher LD_TRACE_LOADED_OBJECTS=1
    "${launch[@]}" "$1"
  else
    launcher
    "${launch[@]}" ldd "$1"
  fi
}
# Where a program's loader finds the library, resolved.
loaded_from() {
  local path
  path=$(libraries "$1" | awk '/libTessaraCan[.]so/ { print $3 }')
  [ -n "$path" ] && readlink -f "$path"
}
installed=$(readlink -f "$libdir/libTessaraCan.so.$major")

# A consumer must name the installed shared library and find it there.
check_consumer() {
  local program=$1 how=$2 out
  out=$(run "$program" 0x224) || fail "$how consumer exits non-zero"
  grep -q "^version: Tessara CAN DLL V" <<<"$out" || fail "$how consumer printed: $out"
  grep -q "^0x224: CAN no valid baudrate$" <<<"$out" || fail "$how consumer printed: $out"
  readelf -d "$program" | grep -q "NEEDED.*\[libTessaraCan.so.$major\]" ||
    fail "$how consumer does not link libTessaraCan.so.$major"
  [ "$(loaded_from "$program")" = "$installed" ] ||
    fail "$how consumer loads the library from elsewhere: $(libraries "$program" | grep Tessara)"
  echo "$how consumer: ok"
}

# ---- CMake: find_package(TessaraCan) and TessaraCan::TessaraCan
"$cmake" -S "$source/tests/package/consumer" -B "$work/cmake-build" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" \
  >"$work/configure.log" || { cat "$work/configure.log"; fail "consumer configure"; }
"$cmake" --build "$work/cmake-build" >"$work/build.log" || { cat "$work/build.log"; fail "consumer build"; }
check_consumer "$work/cmake-build/consumer" "CMake"

# ---- pkg-config, looking at the installed file only
if ! command -v pkg-config >/dev/null; then
  echo "pkg-config is not installed: the pkg-config consumer is not checked"
  exit 77
fi
export PKG_CONFIG_LIBDIR=$(dirname "$pc") PKG_CONFIG_PATH=
[ "$(pkg-config --modversion TessaraCan)" = "$version" ] || fail "pkg-config --modversion"
# shellcheck disable=SC2046
"$cc" -Wall -Wextra -Werror $(pkg-config --cflags TessaraCan) "$source/tests/package/consumer/main.c" \
  -o "$work/consumer-pc" $(pkg-config --libs TessaraCan) -Wl,-rpath,"$libdir"
check_consumer "$work/consumer-pc" "pkg-config"

# ---- the installed programs run from the prefix with the installed library
if [ "$install_rpath" = 0 ]; then
  for program in tessara-can tessara-sim; do
    ! readelf -d "$prefix/bin/$program" | grep -qE '\((RPATH|RUNPATH)\)' ||
      fail "$program carries a library search path: $(readelf -d "$prefix/bin/$program" | grep PATH)"
  done
  # ahead of the target libraries an emulator's loader is given
  target_libraries=
  for word in "${emulator[@]}"; do
    case $word in LD_LIBRARY_PATH=*) target_libraries=${word#LD_LIBRARY_PATH=} ;; esac
  done
  loader_env=("LD_LIBRARY_PATH=$libdir${target_libraries:+:$target_libraries}")
fi
[ "$(loaded_from "$prefix/bin/tessara-can")" = "$installed" ] ||
  fail "tessara-can does not load the installed library: $(libraries "$prefix/bin/tessara-can" | grep Tessara)"
run "$prefix/bin/tessara-can" version | grep -q "^Tessara CAN DLL V" || fail "tessara-can version"
run "$prefix/bin/tessara-sim" --help | grep -q "^Usage: tessara-sim" || fail "tessara-sim --help"
echo "installed tree: ok"
