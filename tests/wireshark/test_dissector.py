"""The Wireshark dissector (tools/wireshark/tessara.lua) run by tshark on
captures the simulator wrote (tessara-sim --pcap) while the library ran known
sessions, on captures built here byte by byte, and on a live loopback capture.
Expected values are what the sessions sent and the protocol's byte layout."""

import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("TESSARA_BUILD_DIR", os.path.join(REPO, "build", "default"))
SIMULATOR = os.environ.get("TESSARA_SIM") or os.path.join(BUILD, "sim", "tessara-sim")
LIBRARY = os.environ.get("TESSARA_CAN_LIBRARY") or os.path.join(BUILD, "src",
                                                                 "libTessaraCan.so.1")
TOOL = os.environ.get("TESSARA_CAN_TOOL") or os.path.join(BUILD, "tools", "tessara-can")
DISSECTOR = os.path.join(REPO, "tools", "wireshark", "tessara.lua")
SCALE = float(os.environ.get("TESSARA_TEST_TIMEOUT_SCALE", "1") or 1)

os.environ["TESSARA_CAN_LIBRARY"] = LIBRARY
sys.path.insert(0, os.path.join(REPO, "bindings", "python"))
import tessara_can.device as tdev  # noqa: E402
from tessara_can.flags import FLAG_EXTENDED, FLAG_REMOTE  # noqa: E402

if shutil.which("tshark") is None:
    pytest.skip("tshark is not installed (scripts/install-deps.sh test)",
                allow_module_level=True)


# ---------------------------------------------------------------- helpers

def tshark(capture, *args, two_pass=True):
    """Runs tshark with the dissector; fails on any Lua error."""
    command = ["tshark", "-n", "-X", "lua_script:" + DISSECTOR, "-r", str(capture)]
    if two_pass:
        command.append("-2")
    result = subprocess.run(command + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, timeout=120 * SCALE)
    output = result.stdout + result.stderr
    assert "Lua" not in result.stderr and "Lua Error" not in result.stdout, output[-3000:]
    assert result.returncode == 0, output[-3000:]
    return result.stdout


def telegrams(capture):
    """Every decoded telegram in capture order: a dict of field name to the
    list of its values (ints where the field is numeric), plus 'frame'."""
    root = ET.fromstring(tshark(capture, "-T", "pdml"))
    found = []
    for packet in root.iter("packet"):
        frame = None
        for proto in packet.findall("proto"):
            if proto.get("name") == "geninfo":
                for field in proto.iter("field"):
                    if field.get("name") == "num":
                        frame = int(field.get("show"))
            if proto.get("name") != "tessara":
                continue
            fields = {"frame": frame}
            for field in proto.iter("field"):
                name, show = field.get("name"), field.get("show")
                if not name or show is None:
                    continue
                try:
                    value = int(show, 0)
                except ValueError:
                    value = show
                fields.setdefault(name, []).append(value)
            for expert in proto.iter("field"):
                if expert.get("name") == "_ws.expert":
                    for inner in expert.iter("field"):
                        if inner.get("name", "").startswith("tessara."):
                            fields.setdefault("expert", []).append(inner.get("name"))
            found.append(fields)
    return found


def one(t, name):
    values = t.get(name, [])
    assert len(values) >= 1, "no %s in %s" % (name, t)
    return values[0]


def by_name(decoded, name, kind=None):
    kinds = {"request": 0, "confirmation": 1, "indication": 2}
    return [t for t in decoded if t.get("tessara.name") == [name]
            and (kind is None or t.get("tessara.kind") == [kinds[kind]])]


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout * SCALE
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.01)


class Simulator:
    """tessara-sim on a loopback address of its own, writing a capture."""

    def __init__(self, pcap, options=(), endpoint=None):
        """endpoint(): (address, further options) to try; by default an
        address of 127.0.0.0/8 and nothing further."""
        self.pcap = str(pcap)
        endpoint = endpoint or (lambda: ("127.%d.%d.%d" % (
            random.randint(1, 254), random.randint(0, 255), random.randint(1, 254)), []))
        for _ in range(20):
            self.lines = []
            self.address, self.extra = endpoint()
            self.process = subprocess.Popen(
                [SIMULATOR, "--bind", self.address, "--quiet", "--pcap", self.pcap] +
                list(options) + self.extra, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                text=True)
            threading.Thread(target=self._read, daemon=True).start()
            try:
                wait_for(lambda: any("listening" in l for l in self.lines)
                         or self.process.poll() is not None, 10, "the simulator")
            except AssertionError:
                self.process.kill()
                raise
            if self.process.poll() is None:
                return
        raise RuntimeError("tessara-sim did not start: %s" % "".join(self.lines))

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=10 * SCALE)
        assert self.process.returncode == 0, "".join(self.lines)


# ---------------------------------------------------------------- sessions

GENERATED = ["--generate", "123:20:DEADBEEF", "--generate", "085:20:0110FF0102030405",
             "--generate", "080:20:07"]


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    """One capture of the library running every command kind over TCP and
    UDP, with the gateway's keep-alive requests and generated traffic; the
    indications arrive while the port is in CANopen mode and out of it."""
    pcap = tmp_path_factory.mktemp("session") / "session.pcap"
    sim = Simulator(pcap, ["--node", "5", "--alive-ms", "400"] + GENERATED)
    try:
        with tdev.Device(sim.address, timeout=2.0) as dev:
            dev.set_queue_size(1000)
            dev.set_globals(250000, termination=True, timestamps=True)
            dev.get_globals()
            dev.set_filter([0x80000123, 0x7FF, 0x80000085, 0x7FF, 0xC0000000 | 0x18FEF100,
                            0x1FFFFF00, 0x80000080, 0x7FF] + [0] * 8)
            dev.get_filter()
            dev.set_time(1700000000, 123456)
            dev.get_time()
            # A generated frame arrives as a CAN frame indication before
            # CANopen mode turns frames into CANopen indications.
            wait_for(lambda: dev.get_message()[0] is not None, 5, "a received frame")
            dev.write(0x123, bytes([0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88]))
            dev.write(0x18FEF100, b"\x00\x11\x22", FLAG_EXTENDED)
            dev.write(0x7FF, b"", FLAG_REMOTE)
            dev.info()
            dev.status()
            dev.write_digital(0x5)
            dev.read_digital()
            dev.write_analog([100, 200])
            dev.read_analog()
            dev.power_status()
            dev.set_power_relay(False)
            dev.set_active_power_supplies(0x3)
            dev.start_alive(2)
            dev.canopen_set_config(1)
            dev.canopen_get_config()
            dev.send_nmt(5, tdev.NMT_START)
            dev.sdo_write(5, 0x1017, 0, 100, size=2)  # heartbeats: GUARD indications
            dev.send_time(14000, 3600000)
            dev.send_pdo(5, 5, b"\xAB\xCD")
            dev.send_sync()  # the node answers with its transmit PDO 1
            dev.sdo_read(5, 0x1018, 1)
            dev.sdo_read(5, 0x3000, 0)
            dev.sdo_write(5, 0x2000, 0, 0x1234, size=4)
            dev.sdo_read_block(5, 0x1008, 0)
            dev.sdo_write_block(5, 0x2001, 0, bytes(range(10)))
            dev.canopen_set_sync_mode(0)
            # Five heartbeats at 100 ms: the gateway's keep-alive (every
            # 200 ms) has come in between, twice.
            heartbeats = []
            wait_for(lambda: heartbeats.append(dev.get_guard()[0]) or
                     sum(g is not None and g.state == 0x05 for g in heartbeats) >= 5,
                     5, "heartbeats")
            dev.canopen_set_config(0)
        with tdev.Device(sim.address, timeout=2.0, transport="udp", confirm_data=True) as dev:
            dev.info()
            dev.write(0x321, b"\x01\x02")
        tdev.restart(sim.address)
        wait_for(lambda: sum("closed" in l for l in sim.lines) >= 3, 5, "the links to close")
    finally:
        sim.stop()
    return pcap, telegrams(pcap)


ALL_REQUESTS = [
    "CONNECT", "DISCONNECT", "WRITE", "SET_CONFIG", "SET_GLOBALS", "GET_GLOBALS", "INFO",
    "STATUS", "SET_TIME", "CLOSE", "ALIVE", "GET_TIME", "SET_FILTER", "GET_FILTER",
    "GET_POWERSTATUS", "SET_POWERRELAIS", "SET_POWERACTIVESUPPLIES", "READ_DIGITAL",
    "WRITE_DIGITAL", "READ_ANALOG", "WRITE_ANALOG", "CANOPEN_SET_CONFIG", "CANOPEN_GET_CONFIG",
    "CANOPEN_SYNC_MODE", "CANOPEN_NMT", "CANOPEN_SYNC", "CANOPEN_TIME", "CANOPEN_PDO",
    "CANOPEN_SDO_READ", "CANOPEN_SDO_WRITE", "CANOPEN_SDO_READ_BLOCK", "CANOPEN_SDO_WRITE_BLOCK"]
ALL_INDICATIONS = ["CAN_FRAME_IND", "CANOPEN_SYNC_IND", "CANOPEN_EMCY_IND", "CANOPEN_PDO_IND",
                   "CANOPEN_GUARD_IND", "CANOPEN_UNDEFINED_IND"]


def test_every_request_is_paired_with_its_confirmation(session):
    _, decoded = session
    frames = {}
    for t in decoded:
        frames.setdefault(t["frame"], []).append(t)
    for name in ALL_REQUESTS:
        requests = by_name(decoded, name, "request")
        assert requests, name
        for request in requests:
            if name == "WRITE" and "tessara.response_in" not in request:
                continue  # not confirmed on a link without ConfirmData
            if request.get("tessara.alive.period") == [400]:
                continue  # the gateway's, below
            answer = [t for t in frames[one(request, "tessara.response_in")]
                      if t.get("tessara.name") == [name] and t["tessara.id"] == request["tessara.id"]]
            assert len(answer) == 1, (name, request)
            assert one(answer[0], "tessara.kind") == 1
            assert one(answer[0], "tessara.response_to") == request["frame"]
            assert float(str(one(answer[0], "tessara.time")).split()[0]) >= 0
            assert one(answer[0], "tessara.cmd") == one(request, "tessara.cmd") | 0x8000
            assert one(answer[0], "tessara.checksum.status") == 1
    # The gateway's own keep-alive requests are confirmed by the library.
    gateway_alive = [t for t in by_name(decoded, "ALIVE", "request")
                     if t.get("tessara.alive.period") == [400]]
    # (One may cross the library's DISCONNECT and stay unanswered.)
    paired = sum("tessara.response_in" in t for t in gateway_alive)
    assert paired >= 1 and paired >= len(gateway_alive) - 1, gateway_alive
    assert not any("tessara.checksum.bad" in t.get("expert", []) for t in decoded)


def test_every_indication_kind_is_decoded(session):
    _, decoded = session
    for name in ALL_INDICATIONS:
        assert by_name(decoded, name, "indication"), name
    frame = [t for t in by_name(decoded, "CAN_FRAME_IND") if t["tessara.can.id"] == [0x123]]
    assert frame and one(frame[0], "tessara.can.length") == 4
    assert one(frame[0], "tessara.can.data").replace(":", "").lower() == "deadbeef"
    # Time stamps are on (SET_GLOBALS above): seconds near the clock set.
    assert one(frame[0], "tessara.can.timestamp_follows") == 1
    assert one(frame[0], "tessara.time.seconds") >= 1700000000
    emcy = by_name(decoded, "CANOPEN_EMCY_IND")[0]
    assert (one(emcy, "tessara.canopen.node"), one(emcy, "tessara.canopen.emcy.error_code"),
            one(emcy, "tessara.canopen.emcy.error_register")) == (5, 0x1001, 0xFF)
    assert one(emcy, "tessara.canopen.emcy.vendor").replace(":", "") == "0102030405"
    assert one(by_name(decoded, "CANOPEN_SYNC_IND")[0], "tessara.canopen.sync.value") == 7
    guard = by_name(decoded, "CANOPEN_GUARD_IND")
    assert any(g["tessara.canopen.node"] == [5] and g["tessara.canopen.guard.state"] == [0x05]
               for g in guard), guard
    pdo = by_name(decoded, "CANOPEN_PDO_IND")
    # Receive PDO 1 set the process image; transmit PDO 1 brings it back.
    assert any(p["tessara.canopen.pdo.type"] == [1] and
               p["tessara.canopen.pdo.data"][0].replace(":", "").startswith("abcd") for p in pdo)
    undefined = by_name(decoded, "CANOPEN_UNDEFINED_IND")
    assert any(u["tessara.can.id"] == [0x123] for u in undefined)


REQUEST_FIELDS = [
    ("SET_GLOBALS", {"tessara.globals.bitrate": 250000, "tessara.globals.mode": 0,
                     "tessara.globals.termination": 1, "tessara.globals.high_speed": 1,
                     "tessara.globals.timestamps": 1}),
    ("SET_TIME", {"tessara.time.set_seconds": 1700000000,
                  "tessara.time.set_microseconds": 123456}),
    ("WRITE_DIGITAL", {"tessara.io.digital_outputs": 5}),
    ("SET_POWERRELAIS", {"tessara.power.relay": 0}),
    ("SET_POWERACTIVESUPPLIES", {"tessara.power.active_supplies": 3}),
    ("ALIVE", {"tessara.alive.period": 2000}),
    ("CANOPEN_SET_CONFIG", {"tessara.canopen.mode": 1}),
    ("CANOPEN_NMT", {"tessara.canopen.node": 5, "tessara.canopen.nmt": 1}),
    ("CANOPEN_TIME", {"tessara.canopen.time.day": 14000, "tessara.canopen.time.ms": 3600000}),
    ("CANOPEN_PDO", {"tessara.canopen.node": 5, "tessara.canopen.pdo.type": 5,
                     "tessara.canopen.pdo.data": "ab:cd"}),
    ("CANOPEN_SDO_READ", {"tessara.canopen.node": 5, "tessara.canopen.sdo.index": 0x1018,
                          "tessara.canopen.sdo.subindex": 1}),
    ("CANOPEN_SDO_WRITE", {"tessara.canopen.sdo.index": 0x2000,
                           "tessara.canopen.sdo.write_type": 4,
                           "tessara.canopen.sdo.value": 0x1234}),
    ("CANOPEN_SDO_READ_BLOCK", {"tessara.canopen.sdo.index": 0x1008}),
    ("CANOPEN_SDO_WRITE_BLOCK", {"tessara.canopen.sdo.index": 0x2001,
                                 "tessara.canopen.sdo.data": "00:01:02:03:04:05:06:07:08:09"}),
    ("CANOPEN_SYNC_MODE", {"tessara.canopen.sync_period": 0}),
]

CONFIRMATION_FIELDS = [
    ("GET_GLOBALS", {"tessara.globals.bitrate": 250000, "tessara.globals.termination": 1}),
    ("INFO", {"tessara.info.serial": 0x12345, "tessara.info.hardware": 0x0102,
              "tessara.info.firmware": 0x020D, "tessara.info.name": "TESSIM",
              "tessara.info.analog_channels": 4, "tessara.info.power_supplies": 3}),
    ("READ_DIGITAL", {"tessara.io.digital_outputs": 5}),
    ("GET_TIME", {"tessara.time.flag": 1}),
    ("GET_POWERSTATUS", {"tessara.power.input_voltage": 24000, "tessara.power.temperature": 315,
                         "tessara.power.value_count": 3}),
    ("CANOPEN_GET_CONFIG", {"tessara.canopen.mode": 1}),
    ("CANOPEN_SDO_READ_BLOCK", {"tessara.canopen.sdo.reply": 0xC1}),
    ("CANOPEN_SDO_WRITE_BLOCK", {"tessara.canopen.sdo.reply": 0xA1}),
]


@pytest.mark.parametrize("name,expected", REQUEST_FIELDS, ids=[r[0] for r in REQUEST_FIELDS])
def test_request_fields_carry_what_the_session_sent(session, name, expected):
    candidates = by_name(session[1], name, "request")
    matching = [t for t in candidates
                if all(t.get(k, [None])[0] == v for k, v in expected.items())]
    assert matching, (expected, candidates)


@pytest.mark.parametrize("name,expected", CONFIRMATION_FIELDS,
                         ids=[c[0] for c in CONFIRMATION_FIELDS])
def test_confirmation_fields_carry_the_gateways_answer(session, name, expected):
    candidates = by_name(session[1], name, "confirmation")
    matching = [t for t in candidates
                if all(t.get(k, [None])[0] == v for k, v in expected.items())]
    assert matching, (expected, candidates)


def test_frames_filters_and_sdo_replies(session):
    pcap, decoded = session
    writes = by_name(decoded, "WRITE", "request")
    assert [(one(w, "tessara.can.id"), one(w, "tessara.can.extended"),
             one(w, "tessara.can.remote"), one(w, "tessara.can.length")) for w in writes] == [
        (0x123, 0, 0, 8), (0x18FEF100, 1, 0, 3), (0x7FF, 0, 1, 0), (0x321, 0, 0, 2)]
    # The filter table as written: entry words and masks, flags split out.
    sent = by_name(decoded, "SET_FILTER", "request")[0]
    assert sent["tessara.filter.id"][:4] == [0x123, 0x085, 0x18FEF100, 0x080]
    assert sent["tessara.filter.mask"][:4] == [0x7FF, 0x7FF, 0x1FFFFF00, 0x7FF]
    assert sent["tessara.filter.extended"][:4] == [0, 0, 1, 0]
    assert sent["tessara.filter.in_use"] == [1, 1, 1, 1, 0, 0, 0, 0]
    got = by_name(decoded, "GET_FILTER", "confirmation")[0]
    assert got["tessara.filter.id"] == sent["tessara.filter.id"]
    reads = by_name(decoded, "CANOPEN_SDO_READ", "confirmation")
    assert (one(reads[0], "tessara.canopen.sdo.reply"),
            one(reads[0], "tessara.canopen.sdo.value")) == (0x43, 0x00000A5C)
    assert (one(reads[1], "tessara.canopen.sdo.reply"),
            one(reads[1], "tessara.canopen.sdo.abort")) == (0x80, 0x06020000)
    block = by_name(decoded, "CANOPEN_SDO_READ_BLOCK", "confirmation")[0]
    assert bytes.fromhex(one(block, "tessara.canopen.sdo.data").replace(":", "")) == \
        b"TessaraSim Node"
    # The UDP link asked for ConfirmData: its WRITE is confirmed with the
    # gateway's send time.
    udp_write = writes[3]
    assert "tessara.response_in" in udp_write
    # Display filters and the packet list read as the issue shows them.
    out = tshark(pcap, "-Y", "tessara.can.id == 0x123 && tessara.kind == 0", "-T", "fields",
                 "-e", "tessara.can.data", "-e", "_ws.col.Info")
    # Telegrams the gateway read at once share a packet (and its line).
    data, column = out.strip().splitlines()[0].split("\t")
    assert data.split(",")[0] == "1122334455667788"
    assert "WRITE 0x123 [8] 11 22 33 44 55 66 77 88" in column.split(" | "), column
    out = tshark(pcap, "-Y", "tessara.cmd == 0x8268", "-T", "fields", "-e", "_ws.col.Info")
    assert "SDO_READ node 5 0x1018:1 -> confirmed, value 0xA5C" in out.splitlines()[0], out


def test_the_demo_is_decoded_named_and_paired(tmp_path):
    pcap = tmp_path / "demo.pcap"
    run = subprocess.run([TOOL, "demo", "--pcap", str(pcap)], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, timeout=120 * SCALE)
    assert run.returncode == 0, run.stdout
    decoded = telegrams(pcap)
    assert len(decoded) > 40
    for t in decoded:
        assert not one(t, "tessara.name").startswith("UNKNOWN"), t
        assert one(t, "tessara.checksum.status") == 1, t
        kind = one(t, "tessara.kind")
        if kind == 1:
            assert "tessara.response_to" in t and "tessara.time" in t, t
        elif kind == 0 and t["tessara.name"] != ["WRITE"]:
            assert "tessara.response_in" in t, t
    info = tshark(pcap, "-T", "fields", "-e", "_ws.col.Info", "-Y", "tessara").splitlines()
    assert "SDO_READ node 5 0x1000:0 -> confirmed, value 0x191" in info
    # The demo's NMT frame, handed to the CAN dissector, read as CANopen.
    nmt = tshark(pcap, "-d", "can.subdissector,canopen", "-Y", "canopen.nmt_ctrl.cd", "-T",
                 "fields", "-e", "tessara.name", "-e", "can.id", "-e", "canopen.nmt_ctrl.cd",
                 "-e", "canopen.nmt_ctrl.node_id")
    assert nmt.splitlines() == ["CANOPEN_UNDEFINED_IND\t0\t0x01\t0x05"], nmt  # start node 5


def test_ipv6_capture_on_a_port_outside_the_registered_range(tmp_path):
    """IPv6 headers, and Decode As for a CAN port above 15."""
    pcap = tmp_path / "ipv6.pcap"
    try:
        sim = Simulator(pcap, endpoint=lambda: ("::1", ["--ports", str(random.randint(20, 99))]))
    except RuntimeError as e:
        pytest.skip("cannot serve ::1 here: %s" % e)
    can_port = int(sim.extra[1])
    try:
        with tdev.Device("::1", can_port=can_port) as dev:
            dev.info()
        wait_for(lambda: any("closed" in l for l in sim.lines), 5, "the link to close")
    finally:
        sim.stop()
    assert telegrams(pcap) == []
    port = 5001 + 100 * can_port
    out = tshark(pcap, "-d", "tcp.port==%d,tessara" % port, "-Y", "tessara.cmd == 0x8209",
                 "-T", "fields", "-e", "ipv6.src", "-e", "tessara.info.serial",
                 "-e", "tessara.response_to")
    source, serial, request = out.split()
    assert (source, int(serial, 16)) == ("::1", 0x12345) and int(request) > 0


# ---------------------------------------------------------------- built captures

def telegram(word, tid, data=b"", checksum=None, length=None):
    body = struct.pack("<HH", word, tid) + bytes(data)
    x = 0
    for b in body:
        x ^= b
    return struct.pack("<H", len(body) + 1 if length is None else length) + body + \
        bytes([x if checksum is None else checksum])


class PcapFile:
    """A pcap written here: IPv4 TCP streams and UDP datagrams between a
    client and a gateway on port 5001."""

    def __init__(self, path):
        self.path = path
        self.out = open(path, "wb")
        self.out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        self.t = 1000000

    def packet(self, sport, dport, payload, tcp=None):
        if tcp is not None:
            seq, ack, flags = tcp
            l4 = struct.pack(">HHIIBBHHH", sport, dport, seq, ack, 0x50, flags, 65535, 0, 0)
            proto = 6
        else:
            l4 = struct.pack(">HHHH", sport, dport, 8 + len(payload), 0)
            proto = 17
        client, gateway = bytes([127, 0, 0, 1]), bytes([127, 0, 0, 2])
        src, dst = (gateway, client) if sport == 5001 else (client, gateway)
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(l4) + len(payload), 0, 0, 64, proto,
                         0, src, dst)
        frame = b"\x02\x00\x00\x00\x00\x02\x02\x00\x00\x00\x00\x01\x08\x00" + ip + l4 + payload
        self.t += 1000
        self.out.write(struct.pack("<IIII", self.t // 1000000, self.t % 1000000, len(frame),
                                   len(frame)) + frame)

    def tcp_stream(self, cport, segments):
        """segments: (from_client, bytes); a handshake first, FINs last."""
        c, g = 1000, 5000
        self.packet(cport, 5001, b"", (c, 0, 0x02))
        self.packet(5001, cport, b"", (g, c + 1, 0x12))
        c, g = c + 1, g + 1
        self.packet(cport, 5001, b"", (c, g, 0x10))
        for from_client, data in segments:
            if from_client:
                self.packet(cport, 5001, data, (c, g, 0x18))
                c += len(data)
            else:
                self.packet(5001, cport, data, (g, c, 0x18))
                g += len(data)
        self.packet(cport, 5001, b"", (c, g, 0x11))
        self.packet(5001, cport, b"", (g, c + 1, 0x11))

    def close(self):
        self.out.close()


def names_per_stream(decoded):
    return [t["tessara.name"][0] for t in decoded]


def test_a_stream_cut_at_every_position_decodes_the_same(tmp_path):
    request = telegram(0x0207, 7, bytes([0]) + struct.pack("<I", 500000) + b"\x01\x01\x00")
    answer = telegram(0x8207, 7, b"\x00")
    frame = telegram(0x0203, 0, struct.pack("<IB", 0x18FEF100, 1) + b"\x11\x22\x33")
    gateway_bytes = answer + frame
    pcap = PcapFile(tmp_path / "cuts.pcap")
    cuts = range(1, len(gateway_bytes))
    for n, cut in enumerate(cuts):
        pcap.tcp_stream(40000 + n, [(True, request), (False, gateway_bytes[:cut]),
                                    (False, gateway_bytes[cut:])])
    pcap.close()
    decoded = telegrams(pcap.path)
    per_stream = [decoded[i:i + 3] for i in range(0, len(decoded), 3)]
    assert len(decoded) == 3 * len(cuts), [t.get("tessara.name") for t in decoded]
    for cut, stream in zip(cuts, per_stream):
        assert names_per_stream(stream) == ["SET_GLOBALS", "SET_GLOBALS", "CAN_FRAME_IND"], cut
        assert one(stream[1], "tessara.response_to") == stream[0]["frame"], cut
        assert one(stream[2], "tessara.can.id") == 0x18FEF100, cut
        assert one(stream[2], "tessara.can.data") == "11:22:33", cut
        assert all(one(t, "tessara.checksum.status") == 1 for t in stream), cut


def test_bad_checksum_and_bad_length_raise_expert_info(tmp_path):
    pcap = PcapFile(tmp_path / "bad.pcap")
    info = telegram(0x0209, 2)
    # A checksum off by one bit.
    pcap.tcp_stream(41000, [(True, telegram(0x0209, 2, checksum=0x08))])
    # A length field one more than the telegram holds, then a good telegram.
    pcap.tcp_stream(41001, [(True, telegram(0x020A, 3, length=6) + info + info)])
    # A datagram shorter than its length field says.
    pcap.packet(41002, 5001, telegram(0x0209, 2, length=9))
    # A length field below the smallest telegram.
    pcap.packet(41003, 5001, b"\x03\x00\x09\x02\x02\x00\x09")
    # Two good telegrams in one datagram.
    pcap.packet(41004, 5001, info + telegram(0x020A, 3))
    pcap.close()
    decoded = telegrams(pcap.path)
    two = decoded[-2:]
    assert [t["tessara.name"] for t in two] == [["INFO"], ["STATUS"]]
    assert two[0]["frame"] == two[1]["frame"] and all("expert" not in t for t in two)
    decoded = decoded[:-2]
    experts = [t.get("expert", []) for t in decoded]
    assert "tessara.checksum.bad" in experts[0]
    assert "tessara.length.bad" not in experts[0]
    assert "tessara.length.bad" in experts[1] and "tessara.checksum.bad" in experts[1]
    udp = [t for t in decoded if t["frame"] == decoded[-1]["frame"] - 1 or t is decoded[-1]]
    assert all("tessara.length.bad" in t.get("expert", []) for t in udp[-2:])
    out = tshark(pcap.path, "-Y", "tessara.checksum.bad", "-T", "fields", "-e", "frame.number")
    assert out.split() == [str(decoded[0]["frame"]), str(decoded[1]["frame"])]


KNOWN_CODES = [0x01, 0x02, 0x03, 0x05, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x20, 0x21,
               0x22, 0x23, 0x24, 0x40, 0x41, 0x42, 0x43] + list(range(0x60, 0x6E))


def test_random_bytes_raise_no_lua_error(tmp_path):
    rng = random.Random(17)
    pcap = PcapFile(tmp_path / "random.pcap")
    for n in range(300):
        segments = [(rng.random() < 0.5, bytes(rng.randrange(256) for _ in range(rng.randrange(1, 90))))
                    for _ in range(rng.randrange(1, 6))]
        # Plausible starts: short length fields and headers with random tails.
        if n % 2:
            segments.insert(0, (True, struct.pack("<H", rng.randrange(0, 12)) +
                                bytes(rng.randrange(256) for _ in range(rng.randrange(0, 12)))))
        pcap.tcp_stream(42000 + n, segments)
        pcap.packet(43000 + n, 5001, bytes(rng.randrange(256) for _ in range(rng.randrange(1, 60))))
        # Gateway telegrams of every known code, confirmations with result 0
        # (whose layouts the dissector reads) included, random data after.
        code = rng.choice(KNOWN_CODES + [rng.randrange(256)])
        word = rng.choice([0x0200, 0x8200]) | code
        data = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 40)))
        if word & 0x8000 and data:
            data = b"\x00" + data[1:]
        pcap.packet(5001, 43000 + n, telegram(word, rng.randrange(65536), data))
        pcap.packet(43000 + n, 5001, telegram(0x0200 | code, rng.randrange(65536), data))
    pcap.close()
    tshark(pcap.path, "-V")  # asserts on Lua errors itself
    tshark(pcap.path, "-V", two_pass=False)


# ---------------------------------------------------------------- live capture

def test_live_loopback_capture(tmp_path):
    if shutil.which("dumpcap") is None:
        pytest.skip("dumpcap is not installed")
    sim = Simulator(tmp_path / "unused.pcap", ["--no-udp"])
    live = tmp_path / "live.pcapng"
    capture = subprocess.Popen(["dumpcap", "-i", "lo", "-f", "host %s" % sim.address,
                                "-w", str(live)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    said = []
    threading.Thread(target=lambda: said.extend(capture.stderr), daemon=True).start()
    try:
        # dumpcap says "Capturing on" once its filter is set.
        wait_for(lambda: capture.poll() is not None or any("Capturing on" in l for l in said),
                 10, "dumpcap to start")
        if capture.poll() is not None:
            capture.wait()
            reason = [l.strip() for l in said if l.strip()]
            pytest.skip("dumpcap cannot capture on lo here: %s" % (reason[-1] if reason else "?"))

        def frames(display_filter):
            seen = subprocess.run(
                ["tshark", "-n", "-X", "lua_script:" + DISSECTOR, "-r", str(live), "-Y",
                 display_filter, "-T", "fields", "-e", "frame.number"],
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            return len(seen.stdout.split())

        # The capture is live once a probe datagram (to the discard port of
        # the simulator's own address) shows up in the file.
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

        def probed():
            probe.sendto(b"probe", (sim.address, 9))
            return frames("udp.dstport == 9") > 0
        try:
            wait_for(probed, 10, "dumpcap to capture")
        finally:
            probe.close()
        with tdev.Device(sim.address) as dev:
            dev.info()
            dev.write(0x456, b"\x42")
        wait_for(lambda: sum("closed" in l for l in sim.lines) >= 1, 5, "the link to close")

        # The kernel hands captured packets over in blocks; stopping dumpcap
        # before the last is handed over would lose it.
        wait_for(lambda: frames("tessara.cmd == 0x8209 || tessara.cmd == 0x8202") >= 2, 10,
                 "dumpcap to write the session")
    finally:
        sim.stop()
        if capture.poll() is None:
            capture.send_signal(signal.SIGINT)
            capture.wait(timeout=10 * SCALE)
    decoded = telegrams(live)
    info = by_name(decoded, "INFO", "confirmation")
    assert info and one(info[0], "tessara.info.serial") == 0x12345
    assert "tessara.response_to" in info[0]
    assert any(t.get("tessara.can.id") == [0x456] for t in by_name(decoded, "WRITE", "request"))
