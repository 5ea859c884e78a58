"""The installed package with python-can's own programs: the entry point,
can.logger recording through the gateway and can.player replaying into it."""

import os
import signal
import sqlite3
import subprocess
import sys
import threading

import can
import pytest

from conftest import INSTALLED, LIBRARY, seconds, tool_environment, wait_until


def run_python(site, code):
    return subprocess.run([sys.executable, "-c", code], env=tool_environment(site),
                          cwd=os.path.dirname(site),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=seconds(60))


class Tool:
    """A python-can program in a process of its own, its output collected."""

    def __init__(self, site, *args):
        self.process = subprocess.Popen([sys.executable, "-m"] + list(args),
                                        env=tool_environment(site), cwd=os.path.dirname(site),
                                        stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        self.output = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.output.append(line)

    def text(self):
        return "".join(self.output)

    def wait(self, timeout):
        code = self.process.wait(timeout=seconds(timeout))
        self._reader.join(seconds(5))
        return code

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def test_installed_entry_point_names_the_interface(installed):
    result = run_python(installed, (
        "import can, tessara_can, os\n"
        "print(can.interfaces.BACKENDS['tessara'])\n"
        "print(os.path.dirname(tessara_can.__file__))\n"))
    assert result.returncode == 0, result.stdout
    backend, location = result.stdout.split("\n")[:2]
    assert backend == "('tessara_can.bus', 'TessaraBus')"
    assert location.startswith(installed)


@pytest.mark.skipif(INSTALLED, reason="a wheel's own copy of the library comes first")
def test_library_found_on_the_library_path_without_the_variable(installed):
    env = tool_environment(installed)
    del env["TESSARA_CAN_LIBRARY"]
    env["LD_LIBRARY_PATH"] = os.path.dirname(LIBRARY)
    result = subprocess.run([sys.executable, "-c", "import tessara_can; print("
                             "tessara_can.dll_info(), tessara_can.load_library().path)"],
                            env=env, cwd=os.path.dirname(installed), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, timeout=seconds(60))
    assert result.returncode == 0, result.stdout
    assert result.stdout.split()[:5] == ["Tessara", "CAN", "DLL", "V1.11-2.13",
                                         "libTessaraCan.so.1"]


FRAMES = [
    can.Message(arbitration_id=0x100 + i, is_extended_id=False, data=bytes([i] * (i % 9)))
    for i in range(12)
] + [
    can.Message(arbitration_id=0x1BCDE000 + i, is_extended_id=True, data=b"\xCA\xFE")
    for i in range(4)
] + [can.Message(arbitration_id=0x321, is_extended_id=False, is_remote_frame=True, dlc=3)]


def key(message):
    return (message.arbitration_id, message.is_extended_id, message.is_remote_frame,
            message.dlc, bytes(message.data))


def count_rows(path):
    try:
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=0.1) as db:
            return db.execute("SELECT COUNT(*) FROM messages").fetchone()[0]
    except sqlite3.Error:  # not created yet, or being written
        return 0


def test_logger_records_what_log_reader_reads_back(installed, sim, tmp_path):
    log_file = tmp_path / "recorded.db"
    logger = Tool(installed, "can.logger", "-i", "tessara", "-c", sim.channel(0),
                  "-f", str(log_file), "--timeout=%s" % seconds(2))
    try:
        wait_until(lambda: "Connected to TessaraBus" in logger.text() or
                   logger.process.poll() is not None, timeout=30, what="the logger to connect")
        assert logger.process.poll() is None, logger.text()
        with can.Bus(interface="tessara", channel=sim.channel(0)) as sender:
            for message in FRAMES:
                sender.send(message)
        # The sqlite writer commits what it received once the burst is over.
        wait_until(lambda: count_rows(log_file) >= len(FRAMES), timeout=20,
                   what="the logger to store the frames")
        logger.process.send_signal(signal.SIGINT)
        assert logger.wait(20) == 0, logger.text()
    finally:
        logger.stop()
    assert "Tessara CAN gateway %s, CAN port 0" % sim.address in logger.text()
    recorded = list(can.LogReader(str(log_file)))
    assert [key(m) for m in recorded] == [key(m) for m in FRAMES]
    stamps = [m.timestamp for m in recorded]
    assert stamps == sorted(stamps) and stamps[0] > 1e9


def test_player_replays_a_candump_log_through_the_gateway(installed, sim, tmp_path):
    log_file = tmp_path / "replay.log"
    lines = []
    for i, message in enumerate(FRAMES):
        identifier = ("%08X" if message.is_extended_id else "%03X") % message.arbitration_id
        payload = "R%d" % message.dlc if message.is_remote_frame else message.data.hex().upper()
        lines.append("(%.6f) can0 %s#%s\n" % (1700000000 + i * 0.001, identifier, payload))
    log_file.write_text("".join(lines))
    assert [key(m) for m in can.LogReader(str(log_file))] == [key(m) for m in FRAMES]

    with can.Bus(interface="tessara", channel=sim.channel(0), timeout=seconds(2)) as receiver:
        player = Tool(installed, "can.player", "-i", "tessara", "-c", sim.channel(0),
                      "--timeout=%s" % seconds(2), str(log_file))
        try:
            assert player.wait(60) == 0, player.text()
        finally:
            player.stop()
        received = [receiver.recv(seconds(2)) for _ in FRAMES]
        assert None not in received, player.text()
        assert [key(m) for m in received] == [key(m) for m in FRAMES]
        assert receiver.recv(0) is None


def test_player_over_udp(installed, sim, tmp_path):
    log_file = tmp_path / "short.log"
    log_file.write_text("(1700000000.000000) can0 123#0102\n(1700000000.001000) can0 456#\n")
    with can.Bus(interface="tessara", channel=sim.channel(1), timeout=seconds(2)) as receiver:
        player = Tool(installed, "can.player", "-i", "tessara", "-c", sim.channel(1),
                      "--transport=udp", str(log_file))
        try:
            assert player.wait(60) == 0, player.text()
        finally:
            player.stop()
        got = [receiver.recv(seconds(2)) for _ in range(2)]
        assert [(m.arbitration_id, bytes(m.data)) for m in got] == [(0x123, b"\x01\x02"),
                                                                   (0x456, b"")]
