#!/usr/bin/env python3
"""Python bus benchmark: two TessaraBus on one CAN port of a tessara-sim,
side by side with two of python-can's in-process `virtual` buses in the same
run. Figures: end-to-end frames/s (a sender thread against a receiving
recv() loop) and send-to-receive latency (one frame in flight at a time),
with the process's CPU per second of wall time, for each receive mode.

    /usr/bin/python3 bench/python/bench_bus.py [--frames N] [--pings P]
        [--repeat K] [--modes callback,queue] [--profile MODE] [--quick]
        [--markdown FILE --label TEXT]

Every row is checked for loss and order (each frame carries its sequence
number); a lost or reordered frame makes the exit status 1. --quick is the
CI run: few frames, one round, only the loss and order check matters.
--markdown writes the table with its targets (scripts/bench.sh collects it
into bench/RESULTS.md). Needs the library and the simulator of the default
build (or TESSARA_BUILD_DIR, TESSARA_CAN_LIBRARY and TESSARA_SIM).
"""

import argparse
import os
import random
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("TESSARA_BUILD_DIR", os.path.join(REPO, "build", "default"))
os.environ.setdefault("TESSARA_CAN_LIBRARY", os.path.join(BUILD, "src", "libTessaraCan.so.1"))
SIMULATOR = os.environ.get("TESSARA_SIM") or os.path.join(BUILD, "sim", "tessara-sim")
sys.path.insert(0, os.path.join(REPO, "bindings", "python"))

import can  # noqa: E402

from tessara_can.bus import register  # noqa: E402

register()


def start_simulator():
    """A tessara-sim on a loopback address of its own: (process, address)."""
    for _ in range(20):
        address = "127.%d.%d.%d" % (random.randint(1, 254), random.randint(0, 255),
                                    random.randint(1, 254))
        process = subprocess.Popen([SIMULATOR, "--bind", address, "--ports", "0", "--quiet"],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = process.stdout.readline()
        if "listening on" in line:
            threading.Thread(target=process.stdout.read, daemon=True).start()
            return process, address
        process.kill()
        process.wait()
    raise RuntimeError("tessara-sim did not start")


def make_pair(kind, address, mode):
    if kind == "virtual":
        channel = "bench-%d" % random.getrandbits(32)
        return (can.Bus(interface="virtual", channel=channel),
                can.Bus(interface="virtual", channel=channel))
    return (can.Bus(interface="tessara", channel=address + ":0", receive=mode),
            can.Bus(interface="tessara", channel=address + ":0", receive=mode))


def frame(sequence):
    return can.Message(arbitration_id=0x123, is_extended_id=False,
                       data=sequence.to_bytes(4, "little") + b"\xA5\x5A\x00\xFF")


class Cpu:
    """CPU seconds of this process per wall second over a `with` block."""

    def __enter__(self):
        self.cpu, self.wall = time.process_time(), time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.wall_seconds = time.perf_counter() - self.wall
        self.load = (time.process_time() - self.cpu) / self.wall_seconds


def throughput(sender, receiver, count):
    """(frames/s, lost, out of order): `count` frames through as fast as
    the sender can write them and the receiver take them."""
    errors = []

    def send():
        try:
            for sequence in range(count):
                sender.send(frame(sequence))
        except Exception as error:  # reported with the row
            errors.append(error)

    thread = threading.Thread(target=send)
    got, disorder, expected = 0, 0, 0
    start = time.perf_counter()
    thread.start()
    last = start
    while got < count:
        message = receiver.recv(1.0)
        if message is None:
            break  # a second of silence: the rest is lost
        sequence = int.from_bytes(message.data[:4], "little")
        disorder += sequence != expected
        expected = sequence + 1
        got += 1
        last = time.perf_counter()
    thread.join()
    if errors:
        raise errors[0]
    return got / (last - start), count - got, disorder


def latency(sender, receiver, pings):
    """Send-to-receive seconds of `pings` frames, one in flight at a time,
    and the lost and reordered count."""
    times, lost, disorder = [], 0, 0
    for sequence in range(pings):
        message = frame(sequence)
        start = time.perf_counter()
        sender.send(message)
        received = receiver.recv(1.0)
        end = time.perf_counter()
        if received is None:
            lost += 1
            continue
        disorder += int.from_bytes(received.data[:4], "little") != sequence
        times.append(end - start)
    return times, lost, disorder


def run_row(kind, address, mode, args):
    sender, receiver = make_pair(kind, address, mode)
    try:
        # Warm-up: connections settled, code paths taken once.
        throughput(sender, receiver, 200)
        with Cpu() as cpu_rate:
            rate, lost, disorder = throughput(sender, receiver, args.frames)
        with Cpu() as cpu_ping:
            times, ping_lost, ping_disorder = latency(sender, receiver, args.pings)
        ping_cpu = cpu_ping.load * cpu_ping.wall_seconds / args.pings
        while receiver.recv(0) is not None:
            pass
        # Idle: a recv() that waits for nothing must not use the CPU.
        with Cpu() as cpu_idle:
            receiver.recv(args.idle)
    finally:
        sender.shutdown()
        receiver.shutdown()
    times.sort()
    return dict(rate=rate, lost=lost + ping_lost, disorder=disorder + ping_disorder,
                median=statistics.median(times) if times else float("nan"),
                p99=times[int(0.99 * (len(times) - 1))] if times else float("nan"),
                cpu_rate=cpu_rate.load, cpu_ping=ping_cpu * 1e6, cpu_idle=cpu_idle.load)


def spread(values):
    return "%s (%s..%s)" % (fmt(statistics.median(values)), fmt(min(values)), fmt(max(values)))


def fmt(value):
    return "%.0f" % value if value >= 100 else "%.2f" % value


def cpu_times():
    """(all, steal) CPU ticks of the machine so far, or None without /proc/stat."""
    try:
        with open("/proc/stat") as stat:
            fields = stat.readline().split()
    except OSError:
        return None
    if len(fields) < 9 or fields[0] != "cpu":
        return None
    counts = [int(v) for v in fields[1:9]]  # guest times are inside user and nice
    return sum(counts), counts[7]


def steal_text(start, end):
    """The host's share of the CPU time from start to end (on a virtual machine
    it runs other guests meanwhile), as a sentence; empty when unknown."""
    if start is None or end is None or end[0] <= start[0]:
        return ""
    return " CPU time taken by the host (steal): %.1f%%." % (
        100.0 * (end[1] - start[1]) / (end[0] - start[0]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    # Rounds of half a second or more: shorter ones measure the machine's
    # moods more than the buses.
    parser.add_argument("--frames", type=int, default=50000)
    parser.add_argument("--pings", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--idle", type=float, default=1.0, help="seconds of the idle recv()")
    parser.add_argument("--modes", default="callback,queue")
    parser.add_argument("--profile", metavar="MODE",
                        help="one throughput run of tessara in MODE under cProfile")
    parser.add_argument("--quick", action="store_true",
                        help="2000 frames, 200 pings, one round, 0.2 s idle")
    parser.add_argument("--markdown", metavar="FILE",
                        help="also write the table as a Markdown section to FILE")
    parser.add_argument("--label", default="Python bus",
                        help="the Markdown section's heading")
    args = parser.parse_args()
    if args.quick:
        args.frames, args.pings, args.repeat, args.idle = 2000, 200, 1, 0.2
    load_start = os.getloadavg()[0]
    cpu_start = cpu_times()
    process, address = start_simulator()
    try:
        if args.profile:
            import cProfile
            import pstats
            sender, receiver = make_pair("tessara", address, args.profile)
            profile = cProfile.Profile()
            profile.enable()
            print(throughput(sender, receiver, args.frames))
            profile.disable()
            sender.shutdown()
            receiver.shutdown()
            pstats.Stats(profile).sort_stats("tottime").print_stats(25)
            return 0
        rows = [("virtual", None)] + [("tessara", m) for m in args.modes.split(",")]
        results = {row: [] for row in rows}
        for _ in range(args.repeat):
            for kind, mode in rows:  # interleaved, so that load changes hit every row
                results[(kind, mode)].append(run_row(kind, address, mode, args))
    finally:
        process.terminate()
        process.wait()
    steal = steal_text(cpu_start, cpu_times())
    print("load average %s, %d CPUs, python-can %s, %d frames, %d pings, %d rounds; "
          "median (min..max).%s" % (" ".join("%.2f" % v for v in os.getloadavg()),
                                    os.cpu_count(), can.__version__, args.frames, args.pings,
                                    args.repeat, steal))
    # cpu/s: CPU seconds of the process per second while streaming;
    # cpu us/ping: CPU per frame sent and received one at a time (sender,
    # receiver and the library's threads together); idle: CPU seconds per
    # second of a recv() waiting for nothing.
    print("%-18s %-26s %-8s %-22s %-22s %-6s %-8s %-6s %s" % (
        "bus", "frames/s", "of virt", "latency median us", "latency p99 us",
        "cpu/s", "us/ping", "idle", "lost/reordered"))
    virtual_rate = statistics.median(r["rate"] for r in results[("virtual", None)])
    bad = 0
    table = []
    for kind, mode in rows:
        rs = results[(kind, mode)]
        lost = sum(r["lost"] for r in rs)
        disorder = sum(r["disorder"] for r in rs)
        bad += lost + disorder
        row = dict(name=kind if mode is None else "%s %s" % (kind, mode), mode=mode,
                   rate=spread([r["rate"] for r in rs]),
                   ratio=statistics.median(r["rate"] for r in rs) / virtual_rate,
                   median_us=statistics.median(r["median"] * 1e6 for r in rs),
                   median=spread([r["median"] * 1e6 for r in rs]),
                   p99=spread([r["p99"] * 1e6 for r in rs]),
                   cpu_rate=statistics.median(r["cpu_rate"] for r in rs),
                   cpu_ping=statistics.median(r["cpu_ping"] for r in rs),
                   cpu_idle=statistics.median(r["cpu_idle"] for r in rs),
                   lost=lost, disorder=disorder)
        table.append(row)
        print("%-18s %-26s %-8.2f %-22s %-22s %-6.2f %-8.1f %-6.3f %d/%d" % (
            row["name"], row["rate"], row["ratio"], row["median"], row["p99"], row["cpu_rate"],
            row["cpu_ping"], row["cpu_idle"], lost, disorder))
    if args.markdown:
        write_markdown(args, table, load_start, steal)
    return 1 if bad else 0


# What the rows are held to: the callback mode's end-to-end rate against the
# two virtual buses, the queue mode's send-to-receive median, and no frame
# lost or reordered in any row.
RATE_TARGET = 0.80
LATENCY_TARGET_US = 200.0


def verdict(met):
    return "met" if met else "missed"


def write_markdown(args, table, load_start, steal):
    lines = ["## %s" % args.label, "",
             "%d rounds of %d frames and %d pings, %s UTC. %d CPUs, Python %s, python-can %s. "
             "Load average (1 min): %.2f at the start, %.2f at the end.%s" % (
                 args.repeat, args.frames, args.pings,
                 time.strftime("%Y-%m-%d %H:%M", time.gmtime()), os.cpu_count(),
                 sys.version.split()[0], can.__version__, load_start, os.getloadavg()[0],
                 steal),
             "",
             "| bus | frames/s (spread) | of virtual | latency median µs (spread) | p99 µs (spread) "
             "| CPU µs per ping | idle CPU | lost/reordered | target | |",
             "|---|---|---:|---|---|---:|---:|---|---|---|"]
    for row in table:
        target, met = "", None
        if row["mode"] == "callback":
            target, met = "≥ %.2f of virtual" % RATE_TARGET, row["ratio"] >= RATE_TARGET
        elif row["mode"] == "queue":
            target = "latency median ≤ %.0f µs" % LATENCY_TARGET_US
            met = row["median_us"] <= LATENCY_TARGET_US
        if row["mode"] is not None and (row["lost"] or row["disorder"]):
            met = False
        lines.append("| %s | %s | %.2f | %s | %s | %.1f | %.3f | %d/%d | %s | %s |" % (
            row["name"], row["rate"], row["ratio"], row["median"], row["p99"], row["cpu_ping"],
            row["cpu_idle"], row["lost"], row["disorder"], target,
            "" if met is None else verdict(met)))
    with open(args.markdown, "w") as out:
        out.write("\n".join(lines) + "\n\n")


if __name__ == "__main__":
    sys.exit(main())
