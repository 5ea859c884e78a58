"""Device against the simulator: configuration, frames, I/O, power, errors,
callbacks and the CANopen services and indications."""

import queue
import sys

import pytest

import tessara_can
from tessara_can import Device, TessaraError, flags

from conftest import seconds, wait_until

NODE = 5


@pytest.fixture
def pair(sim):
    """Two connections to CAN port 0 of one simulator: (sender, receiver)."""
    with Device(sim.address, 0, seconds(2)) as sender, \
            Device(sim.address, 0, seconds(2)) as receiver:
        yield sender, receiver


def collector(device, **kinds):
    """Installs queue-backed callbacks; returns the queue(s)."""
    if not kinds:
        frames = queue.Queue()
        device.set_frame_callback(frames.put)
        return frames
    queues = {kind: queue.Queue() for kind in kinds}
    device.set_canopen_callbacks(**{kind: queues[kind].put for kind in kinds})
    return queues


def take(q, timeout=2.0):
    return q.get(timeout=seconds(timeout))


def barrier(sender, receiver):
    """Returns once every frame that `sender` wrote before has been
    delivered to `receiver`'s callbacks or queues. The gateway hands a
    written frame to the other connections before it reads the writer's next
    request, and the receiver's confirmation then follows those frames on
    its stream."""
    sender.read_digital()
    receiver.read_digital()


class TestConfiguration:
    def test_globals_round_trip(self, pair):
        device, other = pair
        device.set_globals(250000, tessara_can.MODE_LISTEN_ONLY, termination=True,
                           high_speed=True, timestamps=True)
        assert device.get_globals() == (250000, 1, True, True, True)
        # the settings belong to the port: the other connection sees them
        assert other.get_globals().bitrate == 250000
        assert device.update_globals(mode=0).mode == 0
        assert device.get_globals() == (250000, 0, True, True, True)

    def test_filter_round_trip(self, pair):
        device, _ = pair
        table = flags.filter_table([(0x123, 0x7FF, False), (0x1F000000, 0x1F000000, True)])
        device.set_filter(table)
        assert device.get_filter() == table
        with pytest.raises(ValueError):
            device.set_filter([0] * 15)

    def test_time_round_trip(self, pair):
        device, _ = pair
        assert not device.get_time().set_by_host
        device.set_time(1_000_000_000, 250_000)
        flag, secs, _ = device.get_time()
        assert flag and 1_000_000_000 <= secs <= 1_000_000_000 + seconds(5)

    def test_connect_state_and_keep_alive(self, sim):
        device = Device(sim.address, 1, seconds(2))
        assert device.connect_state() == tessara_can.STATE_CONNECTED
        device.start_alive(1)
        device.start_alive(0)
        device.close()
        assert device.closed and device.connect_state() == tessara_can.STATE_CLOSED
        with pytest.raises(ValueError):
            device.write(1)
        device.close()  # a second close does nothing

    def test_udp_transport(self, sim):
        with Device(sim.address, 1, seconds(2), transport="udp") as device:
            assert device.info().name == "TESSIM"
            device.write_digital(0x5A)
            assert device.read_digital()[1] == 0x5A


class TestDeviceIo:
    def test_info_and_status(self, pair):
        device, _ = pair
        info = device.info()
        assert (info.serial_number, info.hardware_revision, info.firmware_version) == (
            0x12345, 0x0102, 0x020D)
        assert (info.name, info.can_ports, info.analog_channels, info.device_type,
                info.power_supplies) == ("TESSIM", 2, 4, 2, 3)
        assert len(info.raw) == 20
        assert device.status() == "TessaraSim ready, 2 connection(s) open"

    def test_digital_and_analog(self, pair):
        device, _ = pair
        device.write_digital(0xA5A5F00F)
        assert device.read_digital() == (0, 0xA5A5F00F)
        device.write_analog([1, 2000, 0x7FFFFFFF])
        first, values = device.read_analog()
        assert first == 4 and values == [1, 2000, 0x7FFFFFFF, 0]
        assert device.read_analog(capacity=2)[1] == [1, 2000]

    def test_power(self, pair):
        device, _ = pair
        status = device.power_status()
        assert status.values == [5000, 12000, 24000] and status.flag
        assert status.word2 == 40 + 3 * 150
        device.set_active_power_supplies(0b101)
        status = device.power_status()
        assert status.flags_a == [True, False, True]
        assert status.values == [5000, 0, 24000] and status.word2 == 40 + 2 * 150
        device.set_power_relay(False)
        status = device.power_status()
        assert not status.flag and status.values == [0, 0, 0]
        assert status.flags_b == [False, False, False]


class TestErrors:
    def test_gateway_refusal_carries_code_and_library_text(self, pair):
        device, _ = pair
        with pytest.raises(TessaraError) as caught:
            device.set_globals(123456)
        assert caught.value.code == 0x224
        assert caught.value.message == "CAN no valid baudrate"
        assert caught.value.function == "CANSetGlobals"
        with pytest.raises(TessaraError) as caught:
            device.send_sync()
        assert (caught.value.code, caught.value.message) == (0x2FE,
                                                             "CANOpen mode not switched on")

    def test_open_failures(self, sim, make_sim):
        with pytest.raises(TessaraError) as caught:
            Device(sim.address, 7, seconds(1))  # no such CAN port served
        assert caught.value.code == 0x30000
        assert caught.value.message == "Not connected to TCP/IP partner"
        full = make_sim(ports="0", options=["--connect-answer", "full"])
        with pytest.raises(TessaraError) as caught:
            Device(full.address, 0, seconds(1))
        assert (caught.value.code, caught.value.message) == (
            0x1, "Open failed, maximum number of connections reached")
        with pytest.raises(ValueError):
            Device(sim.address, 0, 1, transport="sctp")

    def test_confirmed_writes_report_refusals(self, sim):
        with Device(sim.address, 1, seconds(2), confirm_data=True) as device:
            stamp = device.write_ex(0x10, b"\x01")
            assert stamp != (0, 0)
            with pytest.raises(TessaraError) as caught:
                device.write(0x800, b"")  # a standard identifier above 0x7FF
            assert caught.value.code == 0x2FF
            device.update_globals(mode=tessara_can.MODE_LISTEN_ONLY)
            with pytest.raises(TessaraError) as caught:
                device.write(0x10, b"\x01")
            assert (caught.value.code, caught.value.message) == (0x221, "CAN transmit error")

    def test_restart_closes_every_connection_and_resets_the_gateway(self, pair, sim):
        device, _ = pair
        device.write_digital(7)
        tessara_can.restart(sim.address, seconds(2))
        wait_until(lambda: device.connect_state() != tessara_can.STATE_CONNECTED,
                   what="the connection to close")
        with pytest.raises(TessaraError):
            device.read_digital()
        with Device(sim.address, 0, seconds(2)) as fresh:
            assert fresh.read_digital() == (0, 0)


class TestFrames:
    def test_callback_receives_what_the_other_connection_writes(self, pair):
        sender, receiver = pair
        frames = collector(receiver)
        sender.write(0x123, b"\x01\x02\x03")
        sender.write(0x1ABCDEF, b"", flags.make_flags(extended=True, remote=True))
        sender.write(0x7FF, bytes(range(64)))
        first, second, third = take(frames), take(frames), take(frames)
        assert first == (0x123, b"\x01\x02\x03", 0, 0, 0) and first.timestamp is None
        assert second.identifier == 0x1ABCDEF and second.is_extended and second.is_remote
        assert third.data == bytes(range(64)) and not third.is_extended

    def test_gateway_time_stamps(self, pair):
        sender, receiver = pair
        frames = collector(receiver)
        sender.update_globals(timestamps=True)
        sender.set_time(2_000_000_000, 0)
        sender.write(0x10, b"\xAA\xBB")
        frame = take(frames)
        assert frame.has_timestamp and frame.data == b"\xAA\xBB"
        assert 2_000_000_000 <= frame.timestamp < 2_000_000_000 + seconds(5)

    def test_plain_callback_has_no_time_stamp_values(self, pair):
        sender, receiver = pair
        frames = queue.Queue()
        receiver.set_frame_callback(frames.put, with_timestamp=False)
        sender.update_globals(timestamps=True)
        sender.write(0x10, b"\x01")
        frame = take(frames)
        assert frame.has_timestamp and (frame.seconds, frame.microseconds) == (0, 0)

    def test_other_flag_bits_are_carried_through(self, pair):
        sender, receiver = pair
        frames = collector(receiver)
        sender.write(0x55, b"\x01", 0x80 | flags.FLAG_EXTENDED)
        assert take(frames).flags == 0x81
        receiver.set_frame_callback(None)
        receiver.set_queue_size(10)
        sender.write(0x55, b"\x01", 0x80 | flags.FLAG_EXTENDED)
        frame = wait_until(lambda: receiver.get_message()[0], what="a queued frame")
        assert frame.flags == 0x81  # not the library's signed byte

    def test_queue_keeps_the_oldest_up_to_its_size(self, pair):
        sender, receiver = pair
        receiver.set_queue_size(2)
        for identifier in (1, 2, 3):
            sender.write(identifier, bytes([identifier]))
        barrier(sender, receiver)
        assert [(f.identifier, f.data, n) for f, n in
                (receiver.get_message(), receiver.get_message())] == [(1, b"\x01", 1),
                                                                     (2, b"\x02", 0)]
        assert receiver.get_message() == (None, -1)

    def test_data_longer_than_a_frame_is_refused_locally(self, pair):
        sender, _ = pair
        with pytest.raises(ValueError):
            sender.write(1, bytes(65))


class TestCallbackFailures:
    def test_exception_is_reported_and_reception_goes_on(self, pair, monkeypatch):
        sender, receiver = pair
        reported = queue.Queue()
        monkeypatch.setattr(sys, "unraisablehook", reported.put)

        def broken(frame):
            raise RuntimeError("broken handler for 0x%X" % frame.identifier)

        receiver.set_frame_callback(broken)
        sender.write(0x42, b"")
        report = take(reported)
        assert isinstance(report.exc_value, RuntimeError)
        assert "frame callback" in report.err_msg and report.object is broken
        assert receiver.last_callback_error is report.exc_value
        frames = collector(receiver)
        sender.write(0x43, b"")
        assert take(frames).identifier == 0x43
        assert receiver.connected

    def test_a_callback_cannot_close_its_own_device(self, pair, monkeypatch):
        sender, receiver = pair
        reported = queue.Queue()
        monkeypatch.setattr(sys, "unraisablehook", reported.put)
        receiver.set_frame_callback(lambda frame: receiver.close())
        sender.write(0x42, b"")
        assert isinstance(take(reported).exc_value, RuntimeError)
        assert not receiver.closed and receiver.connected

@pytest.fixture
def canopen(pair):
    """The pair with CANopen on and node 5 operational."""
    manager, listener = pair
    manager.canopen_set_config(1)
    assert manager.canopen_get_config() == 1
    manager.send_nmt(NODE, tessara_can.NMT_START)
    barrier(manager, listener)  # the NMT frame must not reach a test's callbacks
    return manager, listener


class TestCanopenServices:
    def test_expedited_sdo(self, canopen):
        manager, _ = canopen
        assert manager.sdo_read(NODE, 0x1000, 0) == (0x43, 0x191)
        assert manager.sdo_write(NODE, 0x2000, 0, 0xCAFE0001) == (0x60, 0)
        assert manager.sdo_read(NODE, 0x2000, 0) == (0x43, 0xCAFE0001)
        assert manager.read_object(NODE, 0x1018, 0) == b"\x04"

    def test_block_transfers(self, canopen):
        manager, _ = canopen
        reply = manager.sdo_read(NODE, 0x1008, 0)
        assert reply == (0x41, len("TessaraSim Node"))
        assert manager.sdo_read_block(NODE, 0x1008, 0) == (0xC1, b"TessaraSim Node")
        assert manager.sdo_read_block(NODE, 0x1008, 0, buffer_size=4)[1] == b"Tess"
        data = bytes(range(256)) * 2
        assert manager.sdo_write_block(NODE, 0x2001, 0, data).reply_byte == 0xA1
        assert manager.read_object(NODE, 0x2001, 0) == data

    def test_abort_and_unreachable_node(self, canopen):
        manager, _ = canopen
        with pytest.raises(tessara_can.SdoAbortError) as caught:
            manager.read_object(NODE, 0x3000, 0)
        assert caught.value.abort_code == 0x06020000
        with pytest.raises(tessara_can.SdoAbortError) as caught:
            manager.write_object(NODE, 0x1000, 0, b"\x01\x02\x03\x04")
        assert caught.value.abort_code == 0x06010002
        with pytest.raises(TessaraError) as caught:
            manager.sdo_read(9, 0x1000, 0)
        assert caught.value.code == 0x2FD

    def test_services_put_their_frames_on_the_bus(self, canopen):
        manager, listener = canopen
        got = collector(listener, undefined=1)
        # NMT (0x000) and TIME (0x100) are no indication of their own
        manager.send_nmt(0, tessara_can.NMT_PRE_OPERATIONAL)
        nmt = take(got["undefined"])
        assert (nmt.identifier, nmt.data) == (0x000, b"\x80\x00")
        manager.send_time(14000, 3_600_000)
        time_frame = take(got["undefined"])
        assert (time_frame.identifier, time_frame.id_byte1) == (0x100, 0x01)
        assert time_frame.data == (3_600_000).to_bytes(4, "little") + (14000).to_bytes(2, "little")


class TestCanopenIndications:
    def test_pdo_and_sync_by_callback(self, canopen):
        manager, listener = canopen
        got = collector(listener, pdo=1, sync=1)
        # receive PDO 1 of the node sets its process image, which comes back
        # as its transmit PDO 1 at the next SYNC
        manager.send_pdo(NODE, 5, b"\x11\x22\x33\x44")
        assert take(got["pdo"]) == (NODE, 5, b"\x11\x22\x33\x44")
        manager.send_sync()
        assert take(got["sync"]) == (0,)
        assert take(got["pdo"]) == (NODE, 1, b"\x11\x22\x33\x44")

    def test_emcy_guard_and_undefined_by_callback(self, canopen):
        manager, listener = canopen
        got = collector(listener, emcy=1, guard=1, undefined=1)
        manager.write(0x080 + NODE, bytes([0x10, 0x81, 0x11, 1, 2, 3, 4, 5]))
        assert take(got["emcy"]) == (NODE, 0x8110, 0x11, b"\x01\x02\x03\x04\x05")
        manager.write(0x700 + NODE, b"", flags.FLAG_REMOTE)
        # the remote frame itself is no CANopen service; the node's answer is
        assert take(got["undefined"])[:3] == (0x700 + NODE, NODE, 0x07)
        node, state = take(got["guard"])
        assert node == NODE and state & 0x7F == 0x05  # operational, with the toggle bit
        manager.update_globals(timestamps=True)
        manager.write(0x7E5, b"\x01\x02\x03")
        undefined = take(got["undefined"])
        assert undefined[:4] == (0x7E5, 0xE5, 0x07, b"\x01\x02\x03")
        assert undefined.seconds != 0

    def test_indications_by_queue(self, canopen):
        manager, listener = canopen
        listener.set_queue_size(10)
        manager.send_pdo(NODE, 5, b"\x0A\x0B")
        manager.send_sync()
        manager.write(0x080 + NODE, bytes([0x90, 0x50, 0x01, 9, 8, 7, 6, 5]))
        manager.write(0x700 + NODE, b"", flags.FLAG_REMOTE)
        manager.write(0x7E5, b"\x05")
        barrier(manager, listener)
        assert listener.get_pdo() == ((NODE, 5, b"\x0A\x0B"), 1)
        assert listener.get_pdo() == ((NODE, 1, b"\x0A\x0B"), 0)
        assert listener.get_sync() == ((0,), 0)
        assert listener.get_emcy() == ((NODE, 0x5090, 0x01, b"\x09\x08\x07\x06\x05"), 0)
        (node, state), remaining = listener.get_guard()
        assert node == NODE and state & 0x7F == 0x05 and remaining == 0
        assert listener.get_undefined() == ((0x700 + NODE, NODE, 0x07, b"", 0, 0), 1)
        assert listener.get_undefined() == ((0x7E5, 0xE5, 0x07, b"\x05", 0, 0), 0)
        for poll in (listener.get_pdo, listener.get_sync, listener.get_emcy, listener.get_guard,
                     listener.get_undefined):
            assert poll() == (None, -1)

    def test_sync_mode_sends_periodic_sync(self, canopen):
        manager, listener = canopen
        got = collector(listener, sync=1)
        manager.canopen_set_sync_mode(20)
        for _ in range(3):
            take(got["sync"])
        manager.canopen_set_sync_mode(0)
