#!/usr/bin/env bash
# The Windows programs under wine: tessara-can.exe against tessara-sim.exe
# (info, config, send and dump across two bridged ports, an SDO read, exit
# codes, Ctrl-C ending dump, send and the simulator, the demo), then
# tessara-can.exe against the Linux simulator (info, send, SDO, sniff,
# busload, play). Run by .ci/windows.sh once the preset is built and the
# wine prefix is up (WINEPREFIX, WINEDEBUG exported).
#
#   .ci/windows-programs.sh PRESET      (win32 or win64)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:?usage: $0 win32|win64}
bin="build/$preset/bin"
work=$(mktemp -d)
# A loopback address of this run's own, so that other runs may go on beside it.
octet=$(( $$ % 200 + 20 ))
[ "$preset" = win64 ] && host_win="127.78.$octet.1" || host_win="127.79.$octet.1"
host_linux="${host_win%.1}.2"

pids=()
cleanup() {
  for p in "${pids[@]}" $(cat "$work/windows-pids" 2>/dev/null); do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() {  # check WHAT EXPECTED-RC RC [OUTPUT-FILE PATTERN]
  local what=$1 want=$2 got=$3
  if [ "$got" != "$want" ]; then
    echo "FAIL: $what: exit code $got, not $want"; failures=$((failures + 1))
    [ -n "${4:-}" ] && sed 's/^/    /' "$4"
    return 0
  fi
  # Windows programs end their lines with CR LF.
  if [ -n "${4:-}" ] && ! tr -d '\r' <"$4" | grep -Eq -- "$5"; then
    echo "FAIL: $what: no line matching '$5' in:"; sed 's/^/    /' "$4"
    failures=$((failures + 1)); return 0
  fi
  echo "ok:   $what"
}

# wait_for FILE PATTERN SECONDS: until a line of FILE matches.
wait_for() {
  local deadline=$(( $(date +%s) + $3 ))
  until grep -Eq -- "$2" "$1" 2>/dev/null; do
    [ "$(date +%s)" -lt "$deadline" ] || { echo "FAIL: no '$2' in $1 within $3 s:"; sed 's/^/    /' "$1"; return 1; }
    sleep 0.1
  done
}

# The Unix process of a running Windows program, found by its command line
# (wine starts it apart from the `wine` command), which begins with the
# program, with or without a path; Ctrl-C reaches its console control
# handler as SIGINT.
windows_pid() {
  local deadline=$(( $(date +%s) + 20 )) p=""
  while [ -z "$p" ] && [ "$(date +%s)" -lt "$deadline" ]; do
    p=$(pgrep -f "^([^ ]*[\\\\/])?$1" | head -1) || true
    [ -n "$p" ] || sleep 0.1
  done
  echo "$p"
  [ -z "$p" ] || echo "$p" >>"$work/windows-pids"
}

# finish PID SECONDS: waits for a background job; its exit code in $rc, 124
# when it did not end in time.
finish() {
  local deadline=$(( $(date +%s) + $2 ))
  while kill -0 "$1" 2>/dev/null; do
    [ "$(date +%s)" -lt "$deadline" ] || { rc=124; return; }
    sleep 0.1
  done
  rc=0
  wait "$1" || rc=$?
}

tool() { wine "$bin/tessara-can.exe" "$@"; }
run() {  # run NAME ARGS...: the tool's output in $work/NAME, its exit code in $rc
  local name=$1; shift
  rc=0
  tool "$@" >"$work/$name" 2>&1 </dev/null || rc=$?
}

# ---- against tessara-sim.exe: two CAN ports on one bus, node 5 on port 0
# TCP only: wine binds a datagram socket of a loopback address to the
# wildcard address, which other runs' simulators would then collide with.
wine "$bin/tessara-sim.exe" --bind "$host_win" --ports 0-1 --bridge 0:1 --node 5 --quiet --no-udp \
  >"$work/sim" 2>&1 </dev/null &
sim_job=$!
pids+=("$sim_job")
wait_for "$work/sim" "listening on $host_win" 60
sim_pid=$(windows_pid "tessara-sim.exe --bind $host_win")

run info --host "$host_win" info
check "info" 0 $rc "$work/info" "^name +TESSIM"
run config_set --host "$host_win" config set --bitrate 250000 --termination on
check "config set --bitrate 250000 --termination on" 0 $rc
run config_get --host "$host_win" config get
check "config get after set" 0 $rc "$work/config_get" "250000"
run bad_rate --host "$host_win" config set --bitrate 12345
check "config set with a bit rate the gateway refuses" 1 $rc "$work/bad_rate" "0x224"
run usage --host "$host_win" send 12#00
check "send with a malformed frame" 2 $rc

# send on port 0 until Ctrl-C; dump on port 1 takes two frames and ends.
wine "$bin/tessara-can.exe" --host "$host_win" --port 1 dump --count 2 >"$work/dump" 2>&1 </dev/null &
dump_job=$!
pids+=("$dump_job")
wine "$bin/tessara-can.exe" --host "$host_win" send 123#DEADBEEF --count 0 --rate 20 \
  >"$work/send" 2>&1 </dev/null &
send_job=$!
pids+=("$send_job")
finish $dump_job 60
check "dump --count 2 of the frames sent on the bridged port" 0 $rc \
  "$work/dump" "^\([0-9]+\.[0-9]{6}\) tessara1 123#DEADBEEF$"
[ "$(grep -c '123#DEADBEEF' "$work/dump")" = 2 ] ||
  { echo "FAIL: dump --count 2 printed other than 2 frames"; failures=$((failures + 1)); }
send_pid=$(windows_pid "tessara-can.exe --host $host_win send 123#DEADBEEF")
kill -INT "$send_pid"
finish $send_job 30
check "Ctrl-C ends send --count 0" 0 $rc

# dump without a count: only Ctrl-C ends it. It is in its receive loop (and
# takes Ctrl-C) once it has printed a frame.
wine "$bin/tessara-can.exe" --host "$host_win" --port 1 dump >"$work/dump_open" 2>&1 </dev/null &
open_job=$!
pids+=("$open_job")
deadline=$(( $(date +%s) + 60 ))
until grep -q '456#01' "$work/dump_open" || [ "$(date +%s)" -ge "$deadline" ]; do
  tool --host "$host_win" send 456#01 >/dev/null 2>&1 </dev/null || true
done
dump_pid=$(windows_pid "tessara-can.exe --host $host_win --port 1 dump *$")
kill -INT "$dump_pid"
finish $open_job 30
check "Ctrl-C ends dump" 0 $rc

run canopen_on --host "$host_win" canopen on
check "canopen on" 0 $rc
run sdo --host "$host_win" sdo read 5 1018:4
check "sdo read 5 1018:4 (the serial number: the node id)" 0 $rc "$work/sdo" "= 0x00000005 \(5\)$"
run sdo_absent --host "$host_win" --timeout 3000 sdo read 9 1018:4
check "sdo read of a node that is not there" 1 $rc "$work/sdo_absent" "0x2FD"

# demo: its own simulator in the process, and the library's calls in turn.
run demo demo
check "demo" 0 $rc "$work/demo" "^[0-9]+ steps, 0 failed$"

kill -INT "$sim_pid"
finish $sim_job 30
check "Ctrl-C ends tessara-sim.exe" 0 $rc "$work/sim" "tessara-sim: stopped"

# ---- against the Linux simulator
linux_sim=build/default/sim/tessara-sim
if [ ! -x "$linux_sim" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target tessara-sim
fi
"$linux_sim" --bind "$host_linux" --node 5 --generate 321:100:11223344 --quiet --no-udp \
  >"$work/lsim" 2>&1 </dev/null &
lsim=$!
pids+=("$lsim")
wait_for "$work/lsim" "listening on $host_linux" 30
run linfo --host "$host_linux" info
check "info from the Linux simulator" 0 $rc "$work/linfo" "^name +TESSIM"
run lsend --host "$host_linux" send 7FF#R 1ABCDEF0#00.11.22 --count 3 --confirm
check "send --confirm to the Linux simulator" 0 $rc
# sniff, busload and play: a live screen needs curses, so sniff prints its
# plain table here; the simulator puts 0x321 on the bus 100 times a second
# (until CANopen mode is switched on below).
run lsniff --host "$host_linux" sniff --once 1
check "sniff --once 1: the plain table" 0 $rc "$work/lsniff" "^321 +[0-9]+ .* 11 22 33 44$"
run lbusload --host "$host_linux" busload --count 1 --interval 500
check "busload --count 1" 0 $rc "$work/lbusload" "^[0-9:.]+ +[1-9][0-9.]* frames/s +load"
printf '(1700000000.000000) can0 123#11\n(1700000000.010000) can0 124#2233\n' >"$work/play.log"
run lplay --host "$host_linux" play "$work/play.log" --map can0=0
check "play of a candump log" 0 $rc "$work/lplay" "^played 2 frames"
run lsdo_off --host "$host_linux" sdo read 5 1018:4
check "sdo read before canopen on" 1 $rc "$work/lsdo_off" "0x2FE"
run lcanopen --host "$host_linux" canopen on
run lsdo --host "$host_linux" sdo read 5 1018:1
check "sdo read 5 1018:1 from the Linux simulator" 0 $rc "$work/lsdo" "^node 5 1018:1 = 0x"
kill -INT "$lsim"
finish $lsim 30
check "SIGINT ends the Linux simulator" 0 $rc

echo "windows-programs $preset: $failures failure(s)"
[ $failures -eq 0 ]
