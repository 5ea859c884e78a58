"""can.Bus(interface="tessara") between two buses on one simulated CAN port."""

import threading
import time

import can
import pytest

import tessara_can
from tessara_can import Device, flags

from conftest import seconds, wait_until, waiting_recv


def open_bus(sim, can_port=0, **options):
    return can.Bus(interface="tessara", channel=sim.channel(can_port), timeout=seconds(2),
                   **options)


@pytest.fixture
def buses(sim):
    sender, receiver = open_bus(sim), open_bus(sim)
    yield sender, receiver
    sender.shutdown()
    receiver.shutdown()


def barrier(sender, receiver):
    """Every frame `sender` sent before has reached `receiver` (see the
    device tests: the gateway serves a connection's requests in order)."""
    sender.device.read_digital()
    receiver.device.read_digital()


def drain(bus):
    messages = []
    while True:
        message = bus.recv(0)
        if message is None:
            return messages
        messages.append(message)


def same_frame(a, b):
    return (a.arbitration_id, a.is_extended_id, a.is_remote_frame, a.dlc, bytes(a.data)) == \
        (b.arbitration_id, b.is_extended_id, b.is_remote_frame, b.dlc, bytes(b.data))


FRAMES = [
    can.Message(arbitration_id=0x123, is_extended_id=False, data=b"\x01\x02\x03"),
    can.Message(arbitration_id=0x000, is_extended_id=False, data=b""),
    can.Message(arbitration_id=0x1FFFFFFF, is_extended_id=True, data=bytes(range(8))),
    can.Message(arbitration_id=0x7FF, is_extended_id=False, is_remote_frame=True, dlc=4),
    can.Message(arbitration_id=0x18DA00F1, is_extended_id=True, is_remote_frame=True, dlc=0),
]


class TestSendAndReceive:
    @pytest.mark.parametrize("receive", ["callback", "queue"])
    def test_frames_reach_the_other_bus(self, sim, receive):
        with open_bus(sim) as sender, open_bus(sim, receive=receive) as receiver:
            assert isinstance(receiver, tessara_can.bus.TessaraBus)
            for message in FRAMES:
                sender.send(message)
            received = [receiver.recv(seconds(2)) for _ in FRAMES]
            for sent, got in zip(FRAMES, received):
                assert got is not None and same_frame(sent, got), (sent, got)
                assert got.channel == sim.channel(0) and got.is_rx
                assert abs(got.timestamp - time.time()) < seconds(5)

    def test_long_frames_are_flagged_fd(self, buses):
        sender, receiver = buses
        sender.send(can.Message(arbitration_id=0x10, is_fd=True, is_extended_id=False,
                                data=bytes(range(64))))
        got = receiver.recv(seconds(2))
        assert got.is_fd and bytes(got.data) == bytes(range(64))

    def test_gateway_time_stamps_become_float_seconds(self, sim):
        with open_bus(sim, gateway_timestamps=True) as sender, open_bus(sim) as receiver:
            sender.device.set_time(1_500_000_000, 250_000)
            sender.send(can.Message(arbitration_id=0x10, is_extended_id=False))
            got = receiver.recv(seconds(2))
            assert 1_500_000_000.25 <= got.timestamp < 1_500_000_000.25 + seconds(5)

    def test_recv_honours_its_timeout(self, buses):
        _, receiver = buses
        start = time.monotonic()
        assert receiver.recv(0.2) is None
        assert 0.2 <= time.monotonic() - start < seconds(1.5)

    def test_recv_wakes_for_a_frame_sent_while_waiting(self, buses):
        sender, receiver = buses
        timer = threading.Timer(0.1, sender.send, [FRAMES[0]])
        timer.start()
        start = time.monotonic()
        got = receiver.recv(seconds(5))
        timer.join()
        assert same_frame(got, FRAMES[0]) and time.monotonic() - start < seconds(2)

    def test_own_messages_come_back_only_when_asked(self, sim):
        with open_bus(sim, receive_own_messages=True) as echoing, open_bus(sim) as quiet:
            echoing.send(FRAMES[0])
            assert same_frame(echoing.recv(seconds(2)), FRAMES[0])
            quiet.send(FRAMES[2])
            assert same_frame(echoing.recv(seconds(2)), FRAMES[2])
            barrier(echoing, quiet)
            assert [m.arbitration_id for m in drain(quiet)] == [FRAMES[0].arbitration_id]

    def test_a_lost_gateway_ends_a_waiting_recv(self, buses, sim):
        _, receiver = buses
        thread, outcome = waiting_recv(receiver)
        tessara_can.restart(sim.address, seconds(2))
        thread.join(seconds(5))
        assert not thread.is_alive() and isinstance(outcome[0], can.CanOperationError)

    def test_notifier_with_buffered_reader(self, buses):
        sender, receiver = buses
        reader = can.BufferedReader()
        notifier = can.Notifier(receiver, [reader], timeout=0.1)
        try:
            for message in FRAMES:
                sender.send(message)
            received = [reader.get_message(seconds(2)) for _ in FRAMES]
        finally:
            notifier.stop()
        assert all(same_frame(a, b) for a, b in zip(FRAMES, received))


class TestSendFailures:
    def test_error_frames_cannot_be_sent(self, buses):
        sender, _ = buses
        with pytest.raises(can.CanOperationError):
            sender.send(can.Message(is_error_frame=True))

    def test_passive_port_refuses_confirmed_sends(self, sim):
        with open_bus(sim, 1, confirm=True) as bus:
            assert bus.state == can.BusState.ACTIVE
            bus.state = can.BusState.PASSIVE
            assert bus.state == can.BusState.PASSIVE
            with pytest.raises(can.CanOperationError) as caught:
                bus.send(FRAMES[0])
            assert caught.value.error_code == 0x221
            assert "CAN transmit error" in str(caught.value)

class TestPortSettings:
    def test_bitrate_and_flags_through_set_globals(self, sim):
        with open_bus(sim, 1, bitrate=250000, termination=True, gateway_timestamps=True) as bus:
            assert bus.device.get_globals() == (250000, 0, True, True, True)
            assert bus.channel_info == "Tessara CAN gateway %s, CAN port 1 (tcp)" % sim.address
        with open_bus(sim, 1, listen_only=True) as bus:  # the rest is kept
            assert bus.device.get_globals() == (250000, 1, True, True, True)

    def test_refused_bitrate_fails_initialisation(self, sim):
        with pytest.raises(can.CanInitializationError) as caught:
            open_bus(sim, bitrate=33333)
        assert caught.value.error_code == 0x224
        with pytest.raises(can.CanInitializationError) as caught:
            can.Bus(interface="tessara", channel=sim.channel(9), timeout=seconds(1))
        assert caught.value.error_code == 0x30000


class TestFilters:
    def send_mix(self, sender):
        for identifier, extended in ((0x105, False), (0x205, False), (0x105, True),
                                     (0x10F, False), (0x1ABCD105, True)):
            sender.send(can.Message(arbitration_id=identifier, is_extended_id=extended))

    def test_gateway_filter_when_the_filters_map(self, buses, sim):
        sender, receiver = buses
        receiver.set_filters([{"can_id": 0x100, "can_mask": 0x7F0, "extended": False}])
        assert flags.decode_filter_table(receiver.device.get_filter()) == [
            (0x100, 0x7F0, False)]
        self.send_mix(sender)
        barrier(sender, receiver)
        # the gateway dropped the others: they never reached this connection
        assert len(receiver._buffer) == 2
        message, filtered = receiver._recv_internal(0)
        assert filtered and (message.arbitration_id, message.is_extended_id) == (0x105, False)
        assert [(m.arbitration_id, m.is_extended_id) for m in drain(receiver)] == [
            (0x10F, False)]
        receiver.shutdown()  # puts the port's filter back
        with Device(sim.address, 0) as other:
            assert other.get_filter() == [0] * 16

    def test_filter_without_kind_takes_both_kinds(self, buses):
        sender, receiver = buses
        receiver.set_filters([{"can_id": 0x105, "can_mask": 0x1FFFFFFF}])
        self.send_mix(sender)
        barrier(sender, receiver)
        assert [(m.arbitration_id, m.is_extended_id) for m in drain(receiver)] == [
            (0x105, False), (0x105, True)]

    def test_software_filter_when_the_gateway_cannot_hold_them(self, buses):
        sender, receiver = buses
        many = [{"can_id": 0x700 + i, "can_mask": 0x7FF, "extended": False} for i in range(8)]
        receiver.set_filters(many + [{"can_id": 0x105, "can_mask": 0x1FFFFFF0, "extended": True},
                                     {"can_id": 0x205, "can_mask": 0x7FF, "extended": False}])
        assert receiver.device.get_filter() == [0] * 16
        self.send_mix(sender)
        barrier(sender, receiver)
        message, filtered = receiver._recv_internal(0)
        assert not filtered and message.arbitration_id == 0x105  # python-can checks it
        assert [(m.arbitration_id, m.is_extended_id) for m in [message] + drain(receiver)
                if receiver._matches_filters(m)] == [(0x205, False), (0x105, True)]

    def test_clearing_filters_puts_back_the_port_table(self, buses):
        sender, receiver = buses
        foreign = flags.filter_table([(0x10F, 0x7FF, False)])
        sender.device.set_filter(foreign)  # another application's filter
        receiver.set_filters([{"can_id": 0x205, "can_mask": 0x7FF, "extended": False}])
        receiver.set_filters(None)
        assert receiver.device.get_filter() == foreign
        self.send_mix(sender)
        barrier(sender, receiver)
        assert [m.arbitration_id for m in drain(receiver)] == [0x10F]

    def test_frames_buffered_before_a_filter_are_checked_in_software(self, buses):
        sender, receiver = buses
        sender.send(can.Message(arbitration_id=0x205, is_extended_id=False))
        barrier(sender, receiver)
        receiver.set_filters([{"can_id": 0x100, "can_mask": 0x7F0, "extended": False}])
        message, filtered = receiver._recv_internal(0)
        assert message.arbitration_id == 0x205 and not filtered
        assert receiver.recv(0) is None

    def test_gateway_filters_can_be_declined(self, sim):
        with open_bus(sim, gateway_filters=False,
                      can_filters=[{"can_id": 0x105, "can_mask": 0x7FF}]) as bus:
            assert bus.device.get_filter() == [0] * 16
            assert bus.filters == [{"can_id": 0x105, "can_mask": 0x7FF}]


def test_shutdown_is_final_and_repeatable(sim):
    bus = open_bus(sim)
    device = bus.device
    bus.shutdown()
    bus.shutdown()
    assert device.closed
    with pytest.raises(can.CanOperationError):
        bus.recv(0.05)
    wait_until(lambda: sim.count("closed") >= 1, what="the simulator to see the close")
