"""TessaraBus(reconnect=True): across a gateway restart and a gateway that is
gone for a while, against tessara-sim."""

import time

import can
import pytest

import tessara_can
from tessara_can import Device

from conftest import Simulator, seconds, wait_until


def counter(message):
    return int.from_bytes(bytes(message.data), "little")


def open_bus(sim, **options):
    return can.Bus(interface="tessara", channel=sim.channel(0), timeout=seconds(2),
                   reconnect=True, **options)


def test_a_restart_gives_back_settings_and_filter_and_loses_nothing_while_connected(make_sim):
    sim = make_sim("0", ["--generate", "123:50", "--generate", "456:50:AA"])
    bus = open_bus(sim, bitrate=250000, can_filters=[{"can_id": 0x123, "can_mask": 0x7FF}])
    try:
        before = [bus.recv(seconds(2)) for _ in range(5)]
        # The restart closes every link and puts the port back to power-up:
        # 500 kbit/s, no filter.
        tessara_can.device.restart(sim.address, timeout=seconds(2))
        wait_until(lambda: bus.reconnections == 1, 5, "the reconnect")
        assert bus.last_gap > 0 and bus.gap is None
        assert bus.state == can.BusState.ACTIVE
        with Device(sim.address, 0, timeout=seconds(2)) as other:
            assert other.get_globals().bitrate == 250000
            assert other.get_filter()[:2] != [0, 0], "the gateway's filter is not back"
        after = [bus.recv(seconds(2)) for _ in range(20)]
    finally:
        bus.shutdown()
    messages = before + after
    assert all(m is not None and m.arbitration_id == 0x123 for m in messages)
    # The counter runs on, but for one jump over the gap.
    jumps = sum(counter(b) != counter(a) + 1 for a, b in zip(messages, messages[1:]))
    assert jumps <= 1


def test_while_the_gateway_is_gone_send_raises_recv_waits_and_state_tells_the_gap(make_sim):
    sim = make_sim("0", ["--generate", "123:50"])
    address = sim.address
    bus = open_bus(sim)
    replacement = None
    try:
        assert bus.recv(seconds(2)) is not None
        sim.stop()
        wait_until(lambda: bus.gap is not None, 3, "the loss")
        assert bus.state == can.BusState.ERROR
        started = time.monotonic()
        with pytest.raises(can.CanOperationError):
            bus.send(can.Message(arbitration_id=0x321, is_extended_id=False, data=b"\x01"))
        assert time.monotonic() - started < 0.5, "send blocked in the gap"
        assert bus.recv(0.3) is None  # waits, does not raise

        replacement = Simulator("0", ["--generate", "456:50:BB"])
        assert replacement._start_on(address), "the address could not be served again"
        message = bus.recv(seconds(10))
        assert message is not None and message.arbitration_id == 0x456
        assert bus.state == can.BusState.ACTIVE and bus.gap is None
        assert bus.last_gap >= 0.3
        bus.send(can.Message(arbitration_id=0x321, is_extended_id=False, data=b"\x01"))
    finally:
        bus.shutdown()
        if replacement is not None:
            replacement.stop()


def test_without_reconnect_a_lost_link_ends_recv(make_sim):
    sim = make_sim("0", ["--generate", "123:50"])
    bus = can.Bus(interface="tessara", channel=sim.channel(0), timeout=seconds(2))
    try:
        assert bus.recv(seconds(2)) is not None
        sim.stop()
        with pytest.raises(can.CanOperationError):
            deadline = time.monotonic() + seconds(5)
            while time.monotonic() < deadline:
                bus.recv(0.5)
    finally:
        bus.shutdown()
