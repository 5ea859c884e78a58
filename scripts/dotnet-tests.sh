#!/usr/bin/env bash
# Builds the .NET binding with Mono and runs its tests against the library
# and simulator of the default preset, runs the .NET example against the
# simulator, and checks the 32-bit declarations against the export tables of
# TessaraCan.dll and TessaraCanVB6.dll (built with mingw-w64, the DLL targets
# only). Prints "N passed, N failed" per suite; exits non-zero on a failure.
#   scripts/dotnet-tests.sh [--no-dlls]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dlls=1
[ "${1:-}" = "--no-dlls" ] && dlls=0

groups=(build dotnet)
[ $dlls -eq 1 ] && groups+=(windows)
scripts/install-deps.sh "${groups[@]}"

[ -f build/default/CMakeCache.txt ] || cmake --preset default >/dev/null
cmake --build --preset default --target TessaraCan tessara-sim

python3 bindings/dotnet/generate.py --check

out=build/dotnet
mkdir -p "$out"
mcs -nologo -warnaserror -target:library -out:"$out/Tessara.Can.dll" bindings/dotnet/src/*.cs
mcs -nologo -warnaserror -out:"$out/TessaraTests.exe" -r:"$out/Tessara.Can.dll" \
  bindings/dotnet/tests/Tests.cs
mcs -nologo -warnaserror -out:"$out/Example.exe" -r:"$out/Tessara.Can.dll" \
  examples/dotnet/Example.cs

export LD_LIBRARY_PATH=$root/build/default/src${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
status=0
(cd "$out" && timeout 300 mono --debug TessaraTests.exe "$root/build/default" "$root") || status=1

# ---- the example against a simulator with traffic, on a loopback address of its own
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
address=
for _ in $(seq 20); do
  candidate=127.$((RANDOM % 254 + 1)).$((RANDOM % 256)).$((RANDOM % 254 + 1))
  build/default/sim/tessara-sim --bind "$candidate" --quiet --generate 100:20 >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -q "listening on" "$work/sim.log" && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
  done
  if grep -q "listening on" "$work/sim.log"; then address=$candidate; break; fi
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
done
[ -n "$address" ] || { cat "$work/sim.log"; echo "dotnet-tests: tessara-sim did not start" >&2; exit 1; }
if (cd "$out" && timeout 60 mono Example.exe "$address" 2) >"$work/example.log" 2>&1 &&
   grep -q "^library: Tessara CAN DLL V" "$work/example.log" &&
   grep -q "^frame 0x100: " "$work/example.log"; then
  echo "example: ok ($(grep -c '^frame ' "$work/example.log") frames)"
else
  cat "$work/example.log"
  echo "FAIL example"
  status=1
fi

# ---- the 32-bit declarations against the export tables of the built DLLs
if [ $dlls -eq 1 ]; then
  for pair in win32:cdecl:TessaraCan win32-vb6:stdcall:TessaraCanVB6; do
    IFS=: read -r preset kind dll <<<"$pair"
    [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    cmake --build "build/$preset" --target TessaraCanDll -j2 >/dev/null
    objdump -p "build/$preset/bin/$dll.dll" >"$work/$kind.txt"
    mono "$out/TessaraTests.exe" --exports "$kind" "$work/$kind.txt" || status=1
  done
fi
exit "$status"
