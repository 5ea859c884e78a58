"""Test set-up: the library and simulator of the build tree, a simulator per
test on its own loopback address, and an installed copy of the package for
the python-can command-line tools.

With TESSARA_TEST_INSTALLED=1 the tests run against the package installed
in the running Python (a wheel with its bundled library) instead of the
source tree and the build tree's library; only the simulator comes from the
build tree then."""

import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_ROOT = os.path.dirname(HERE)
REPO = os.path.dirname(os.path.dirname(PACKAGE_ROOT))
BUILD = os.environ.get("TESSARA_BUILD_DIR", os.path.join(REPO, "build", "default"))
LIBRARY = os.environ.get("TESSARA_CAN_LIBRARY") or os.path.join(BUILD, "src", "libTessaraCan.so.1")
SIMULATOR = os.environ.get("TESSARA_SIM") or os.path.join(BUILD, "sim", "tessara-sim")
HEADER = os.path.join(REPO, "include", "TessaraCan.h")
EXPORTS = os.path.join(REPO, "src", "exports", "exports.txt")


def _timeout_scale():
    """TESSARA_TEST_TIMEOUT_SCALE as the C and C++ tests read it: a whole
    number from 1 to 1000, 1 when unset or out of range."""
    try:
        value = int(os.environ.get("TESSARA_TEST_TIMEOUT_SCALE", "1"))
    except ValueError:
        return 1
    return value if 1 <= value <= 1000 else 1


TIMEOUT_SCALE = _timeout_scale()

INSTALLED = os.environ.get("TESSARA_TEST_INSTALLED") == "1"

if not INSTALLED:
    os.environ["TESSARA_CAN_LIBRARY"] = LIBRARY
    sys.path.insert(0, PACKAGE_ROOT)

import tessara_can  # noqa: E402
from tessara_can.bus import register  # noqa: E402

if INSTALLED:
    INSTALLED_PACKAGE = os.path.dirname(os.path.abspath(tessara_can.__file__))
    if INSTALLED_PACKAGE.startswith(PACKAGE_ROOT + os.sep) or "TESSARA_CAN_LIBRARY" in os.environ:
        raise RuntimeError("TESSARA_TEST_INSTALLED: tessara_can comes from %s and "
                           "TESSARA_CAN_LIBRARY is %s; run from outside the source tree without "
                           "the variable" % (INSTALLED_PACKAGE,
                                             os.environ.get("TESSARA_CAN_LIBRARY")))
    LIBRARY = os.path.join(INSTALLED_PACKAGE, "libTessaraCan.so.1")

register()  # interface="tessara" in this process


def seconds(value):
    """A test time-out, scaled for slow runs."""
    return value * TIMEOUT_SCALE


def waiting_recv(bus):
    """Starts a thread in `bus.recv(None)`; returns the thread and a list that
    receives what the call returned or the CanOperationError it raised."""
    import can

    outcome = []

    def wait():
        try:
            outcome.append(bus.recv(None))
        except can.CanOperationError as error:
            outcome.append(error)

    thread = threading.Thread(target=wait)
    thread.start()
    return thread, outcome


def wait_until(predicate, timeout=2.0, what="condition"):
    """Polls `predicate` until it is true or the deadline passes."""
    deadline = time.monotonic() + seconds(timeout)
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out waiting for %s" % what)
        time.sleep(0.01)


def pytest_sessionstart(session):
    missing = [path for path in (LIBRARY, SIMULATOR) if not os.path.exists(path)]
    if missing:
        pytest.exit("not built: %s (cmake --preset default && cmake --build --preset default)"
                    % ", ".join(missing), returncode=2)


class Simulator:
    """A tessara-sim process listening on a loopback address of its own."""

    def __init__(self, ports="0-1", options=()):
        self.ports = ports
        self.options = list(options)
        self.process = None
        self.address = None
        self.lines = []
        self._changed = threading.Condition()

    def start(self, attempts=20):
        for _ in range(attempts):
            address = "127.%d.%d.%d" % (random.randint(1, 254), random.randint(0, 255),
                                        random.randint(1, 254))
            if self._start_on(address):
                self.address = address
                return self
        raise RuntimeError("tessara-sim did not start: %s" % "".join(self.lines[-5:]))

    def _start_on(self, address):
        self.lines = []
        process = subprocess.Popen(
            [SIMULATOR, "--bind", address, "--ports", self.ports, "--quiet"] + self.options,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        threading.Thread(target=self._read, args=(process,), daemon=True).start()
        deadline = time.monotonic() + seconds(10)
        with self._changed:
            while True:
                if any("listening on" in line for line in self.lines):
                    self.process = process
                    return True
                if process.poll() is not None or time.monotonic() >= deadline:
                    break
                self._changed.wait(0.1)
        if process.poll() is None:
            process.kill()
        process.wait()
        return False

    def _read(self, process):
        for line in process.stdout:
            with self._changed:
                self.lines.append(line)
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    def count(self, text):
        with self._changed:
            return sum(text in line for line in self.lines)

    def channel(self, can_port=0):
        return "%s:%d" % (self.address, can_port)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=seconds(10))
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None


@pytest.fixture
def sim():
    """A simulator with CAN ports 0 and 1 and CANopen node 5 on port 0."""
    simulator = Simulator(options=["--node", "5"]).start()
    yield simulator
    simulator.stop()


@pytest.fixture
def make_sim():
    """Starts simulators with other options; all are stopped afterwards."""
    started = []

    def make(ports="0-1", options=()):
        simulator = Simulator(ports, options).start()
        started.append(simulator)
        return simulator

    yield make
    for simulator in started:
        simulator.stop()


@pytest.fixture(scope="session")
def installed(tmp_path_factory):
    """The package built and installed by pip into a directory of its own
    (from a copy of the sources, so the tree stays clean): what the entry
    point of pyproject.toml gives a user. Returns that directory; with
    TESSARA_TEST_INSTALLED, the directory the package is installed in."""
    if INSTALLED:
        return os.path.dirname(INSTALLED_PACKAGE)
    root = tmp_path_factory.mktemp("installed")
    source = root / "source"
    target = root / "site"
    shutil.copytree(PACKAGE_ROOT, source,
                    ignore=shutil.ignore_patterns("tests", "__pycache__", "*.egg-info", "build"))
    result = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-deps",
         "--no-index", "--disable-pip-version-check", "--no-cache-dir", "--quiet",
         "--target", str(target), str(source)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        timeout=seconds(300))
    assert result.returncode == 0, result.stdout
    return str(target)


def tool_environment(site):
    """Environment for a python-can tool that sees only the installed copy."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("CAN_")}
    env["PYTHONPATH"] = site
    env["PYTHONUNBUFFERED"] = "1"
    env["TESSARA_CAN_LIBRARY"] = LIBRARY
    env.pop("PYTHONSTARTUP", None)
    return env
