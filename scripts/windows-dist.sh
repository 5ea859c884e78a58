#!/usr/bin/env bash
# The Windows distribution of one or both architectures: the SDK archive
# (CPack ZIP, cmake/WindowsPackage.cmake) and an installer of the same files
# (NSIS, cmake/windows/TessaraCan.nsi). The 32-bit SDK holds
# TessaraCan.dll and TessaraCanVB6.dll, so it builds presets win32-vb6 and
# win32; the 64-bit one builds win64.
#
#   scripts/windows-dist.sh [win32] [win64]      (default: both)
#
# Writes build/<arch>/dist/TessaraCan-<version>-<arch>.zip and -setup.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(win32 win64)
scripts/install-deps.sh build windows docs dotnet

build() {  # build PRESET [TARGET...]
  local preset=$1; shift
  cmake --preset "$preset" >/dev/null
  if [ $# -gt 0 ]; then
    cmake --build --preset "$preset" --target "$@"
  else
    cmake --build --preset "$preset"
  fi
}

for arch in "${archs[@]}"; do
  case $arch in
    win32) build win32-vb6 TessaraCanDll ;;
    win64) ;;
    *) echo "windows-dist: no architecture '$arch' (win32, win64)" >&2; exit 2 ;;
  esac
  build "$arch" sdk
  dist="build/$arch/dist"
  version=$(sed -n 's/^project(TessaraCan VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  name="TessaraCan-$version-$arch"
  [ -f "$dist/$name.zip" ] || { echo "windows-dist: no $dist/$name.zip" >&2; exit 1; }

  # The installer holds exactly the archive's files; its uninstaller removes
  # them by name, then the folders deepest first.
  stage="build/$arch/installer"
  rm -rf "$stage"
  mkdir -p "$stage"
  (cd "$stage" && cmake -E tar xf "../dist/$name.zip")
  (
    cd "$stage/$name"
    find . -type f | sort | sed 's|^\./||; s|/|\\|g; s|.*|  Delete "$INSTDIR\\&"|'
    find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|.*|  RMDir "$INSTDIR\\&"|'
  ) >"$stage/uninstall-files.nsh"
  makensis -V2 -DVERSION="$version" -DARCH="$arch" -DSTAGE="$PWD/$stage/$name" \
    -DOUTFILE="$PWD/$dist/$name-setup.exe" -DFILELIST="$PWD/$stage/uninstall-files.nsh" \
    cmake/windows/TessaraCan.nsi
  echo "windows-dist: $dist/$name.zip, $dist/$name-setup.exe"
done
