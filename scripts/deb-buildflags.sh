#!/usr/bin/env bash
# Prints the export lines of Debian's build flags for one architecture
# (dpkg-buildflags with DEB_HOST_ARCH), for a build whose objects go into a
# Debian package: the native packages and the arm64/armhf cross builds.
# CMake reads CFLAGS, CXXFLAGS and LDFLAGS but not CPPFLAGS: the
# preprocessor flags (_FORTIFY_SOURCE) go in front of the compiler flags.
#   eval "$(scripts/deb-buildflags.sh [ARCH])"     ARCH: default the machine's
set -euo pipefail
arch=${1:-$(dpkg --print-architecture)}
eval "$(DEB_HOST_ARCH=$arch dpkg-buildflags --export=sh)"
printf 'export CFLAGS=%q CXXFLAGS=%q LDFLAGS=%q\n' \
  "$CPPFLAGS $CFLAGS" "$CPPFLAGS $CXXFLAGS" "$LDFLAGS"
