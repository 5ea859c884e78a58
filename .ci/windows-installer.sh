#!/usr/bin/env bash
# The SDK archive and the installer of one architecture under wine: the
# archive holds every file a Windows developer needs; the installer, run
# silently with /ADDTOPATH, puts them under Program Files, registers its
# uninstaller and the PATH entry; tessara-can.exe --help runs from the
# install folder; the silent uninstall leaves nothing behind. Run by
# .ci/windows.sh after scripts/windows-dist.sh (WINEPREFIX exported).
#
#   .ci/windows-installer.sh ARCH      (win32 or win64)
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: $0 win32|win64}
version=$(sed -n 's/^project(TessaraCan VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="TessaraCan-$version-$arch"
dist="build/$arch/dist"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok:   $*"; }

# ---- the archive
if [ "$arch" = win64 ]; then
  dlls=(TessaraCan64)
  wine_dir="C:\\Program Files\\Tessara CAN $arch"
  unix_dir="$WINEPREFIX/drive_c/Program Files/Tessara CAN $arch"
else
  dlls=(TessaraCan TessaraCanVB6)
  wine_dir="C:\\Program Files (x86)\\Tessara CAN $arch"
  unix_dir="$WINEPREFIX/drive_c/Program Files (x86)/Tessara CAN $arch"
fi
expected=(bin/tessara-can.exe bin/tessara-sim.exe include/TessaraCan.h include/TessaraCan.bas
          doc/README.txt doc/reference/index.html doc/tessara-sim.md
          dotnet/Tessara.Can.dll dotnet/src/Native.g.cs examples/c/frames.c)
for dll in "${dlls[@]}"; do
  expected+=("bin/$dll.dll" "lib/$dll.lib" "lib/lib$dll.dll.a")
done
listing=$(cmake -E tar tf "$dist/$name.zip")
missing=0
for f in "${expected[@]}"; do
  grep -qx "$name/$f" <<<"$listing" || { fail "the archive lacks $f"; missing=1; }
done
[ $missing -eq 0 ] && ok "$name.zip holds the ${#expected[@]} expected files"
if grep -E '\.(o|obj|a)$' <<<"$listing" | grep -v '\.dll\.a$' | grep -q .; then
  fail "the archive holds build objects"
fi

# ---- install silently, with the PATH entry. The installer is a 32-bit
# program whatever it installs, so it needs the 32-bit half of wine.
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed'; then
  echo "=== SKIPPED: installing and uninstalling $name under wine (the installer is a 32-bit program; wine32:i386 is not installed)"
  echo "windows-installer $arch: $failures failure(s)"
  [ $failures -eq 0 ]
  exit
fi
reg_path() { wine reg query 'HKCU\Environment' /v Path 2>/dev/null | tr -d '\r' || true; }
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TessaraCan-'"$arch"
reg_view=()
[ "$arch" = win64 ] && reg_view=(/reg:64)
rm -rf "$unix_dir"
# A PATH of the user's own, which must come out of the uninstall as it went in.
user_path='C:\Tools;C:\Program Files\Other;%USERPROFILE%\bin'
wine reg add 'HKCU\Environment' /v Path /t REG_EXPAND_SZ /d "$user_path" /f >/dev/null
rc=0
wine "$dist/$name-setup.exe" /S /ADDTOPATH || rc=$?
[ $rc -eq 0 ] && ok "silent install" || fail "silent install: exit code $rc"
installed=$(cd "$unix_dir" 2>/dev/null && find . -type f | sed 's|^\./||' | sort || true)
from_zip=$(sed -n "s|^$name/||p" <<<"$listing" | grep -v '/$' | sort)
if [ "$installed" = "$(printf '%s\nuninstall.exe\n' "$from_zip" | sort)" ]; then
  ok "the install folder holds the archive's $(wc -l <<<"$from_zip") files and uninstall.exe"
else
  fail "install folder and archive differ:"; diff <(echo "$installed") <(printf '%s\nuninstall.exe\n' "$from_zip" | sort) | head -20
fi
if wine "$wine_dir\\bin\\tessara-can.exe" --help </dev/null | grep -q '^Usage: tessara-can'; then
  ok "tessara-can.exe --help from the install folder"
else
  fail "tessara-can.exe --help from the install folder"
fi
grep -qF "$user_path;$wine_dir\\bin" <<<"$(reg_path)" \
  && ok "the user's PATH holds the programs' folder after its own entries" \
  || fail "the user's PATH is not '$user_path;$wine_dir\\bin': $(reg_path)"
wine reg query "$key" "${reg_view[@]}" /v UninstallString >/dev/null 2>&1 \
  && ok "the uninstaller is registered" || fail "no uninstaller registration under $key"

# ---- uninstall silently. The uninstaller runs from a copy of itself and
# returns at once: wait for the folder to go.
wine "$wine_dir\\uninstall.exe" /S || fail "uninstall.exe /S: exit code $?"
deadline=$(( $(date +%s) + 60 ))
while [ -e "$unix_dir" ] && [ "$(date +%s)" -lt "$deadline" ]; do sleep 0.2; done
[ ! -e "$unix_dir" ] && ok "uninstall removed the install folder" \
  || { fail "left behind:"; find "$unix_dir" | head; }
path_after=$(reg_path | sed -n 's/^ *Path *REG_EXPAND_SZ *//p')
[ "$path_after" = "$user_path" ] && ok "uninstall removed its PATH entry and kept the user's" \
  || fail "the user's PATH after uninstall is '$path_after', not '$user_path'"
wine reg delete 'HKCU\Environment' /v Path /f >/dev/null 2>&1 || true
wine reg query "$key" "${reg_view[@]}" >/dev/null 2>&1 && fail "the registration is left" \
  || ok "uninstall removed the registration"

echo "windows-installer $arch: $failures failure(s)"
[ $failures -eq 0 ]
