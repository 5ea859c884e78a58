"""The bus's receive path against the simulator: frames taken from the
library's queue many per call, the switch between the frame callback and
the queue under a stream, and recv() woken by frames and by shutdown."""

import threading
import time

import can
import pytest

from tessara_can import Device, flags
from tessara_can import bus as tessara_bus

from conftest import seconds, wait_until, waiting_recv

MODES = ["callback", "queue"]


def open_bus(sim, **options):
    return can.Bus(interface="tessara", channel=sim.channel(0), timeout=seconds(2), **options)


def numbered(sequence):
    return can.Message(arbitration_id=0x100 + sequence % 0x100, is_extended_id=False,
                       data=sequence.to_bytes(4, "little"))


class TestFrameReader:
    def test_take_gives_queued_frames_in_order_within_its_limit(self, sim):
        with Device(sim.address, 0, seconds(2)) as sender, \
                Device(sim.address, 0, seconds(2)) as receiver:
            reader = receiver.frame_reader(lambda *frame: None)
            receiver.set_queue_size(100)
            sent = [(0x123, b"\x01\x02\x03", 0), (0x1FFFFFFF, bytes(range(64)),
                                                 flags.FLAG_EXTENDED),
                    (0x7FF, b"", flags.FLAG_REMOTE), (0x000, b"\xff" * 8, 0)]
            for identifier, data, frame_flags in sent:
                sender.write(identifier, data, frame_flags)
            # The gateway serves a connection's requests in order, and the
            # frames before a confirmation are queued before it returns.
            sender.read_digital()
            receiver.read_digital()
            first = reader.take(3)
            rest = reader.take(100)
            assert [(i, d, f & 0x03) for i, d, f, _, _ in first + rest] == sent
            assert len(first) == 3 and reader.take(100) == []

    def test_callback_switch_moves_frames_between_callback_and_queue(self, sim):
        with Device(sim.address, 0, seconds(2)) as sender, \
                Device(sim.address, 0, seconds(2)) as receiver:
            handed = []
            reader = receiver.frame_reader(lambda *frame: handed.append(reader.frame(*frame)))
            receiver.set_queue_size(100)

            def settle():
                sender.read_digital()
                receiver.read_digital()

            # The callback and the queue give a frame alike, zero bytes,
            # CAN FD length and the top identifier bits included.
            fd_frame = (0x1FFFFFFF, bytes(64), flags.FLAG_EXTENDED)
            assert reader.callback_on()
            sender.write(0x1, b"a")
            sender.write(*fd_frame)
            settle()
            assert reader.callback_off()
            sender.write(0x2, b"b")
            sender.write(*fd_frame)
            settle()
            queued = reader.take(10)
            assert [f[:2] for f in handed] == [(0x1, b"a"), fd_frame[:2]]
            assert [f[:2] for f in queued] == [(0x2, b"b"), fd_frame[:2]]
            assert [f[2] & 0x03 for f in handed] == [f[2] & 0x03 for f in queued]

    def test_a_closed_device_reads_as_empty(self, sim):
        device = Device(sim.address, 0, seconds(2))
        reader = device.frame_reader(lambda *frame: None)
        device.close()
        assert reader.take(10) == [] and not reader.callback_on()
        with pytest.raises(ValueError):
            device.frame_reader(lambda *frame: None)


@pytest.mark.parametrize("mode", MODES)
class TestStream:
    def test_bursts_arrive_complete_and_in_order(self, sim, mode, monkeypatch):
        # Bursts written as fast as possible; the reader starts on each when
        # half of it is out, so that a backlog builds on whichever path is
        # on, and the bus switches to the queue and back within the bursts.
        switches = {"settle": 0, "taken": 0}
        settle, take = tessara_bus.TessaraBus._settle, tessara_bus._device.FrameReader.take

        def counting_settle(self, *args):
            switches["settle"] += 1
            return settle(self, *args)

        def counting_take(self, limit):
            frames = take(self, limit)
            switches["taken"] += len(frames)
            return frames

        monkeypatch.setattr(tessara_bus.TessaraBus, "_settle", counting_settle)
        monkeypatch.setattr(tessara_bus._device.FrameReader, "take", counting_take)
        bursts, size = 20, 500
        with open_bus(sim) as sender, open_bus(sim, receive=mode) as receiver:
            received = []
            go = [threading.Event() for _ in range(bursts)]
            caught_up = [threading.Event() for _ in range(bursts)]

            def read():
                for burst in range(bursts):
                    if not go[burst].wait(seconds(10)):
                        return
                    for _ in range(size):
                        message = receiver.recv(seconds(5))
                        if message is None:
                            return
                        received.append(int.from_bytes(message.data, "little"))
                    caught_up[burst].set()

            thread = threading.Thread(target=read)
            thread.start()
            for burst in range(bursts):
                for sequence in range(burst * size, (burst + 1) * size):
                    if sequence == burst * size + size // 2:
                        go[burst].set()
                    sender.send(numbered(sequence))
                if not caught_up[burst].wait(seconds(10)):
                    break
            thread.join(seconds(10))
            assert received == list(range(bursts * size))
            assert receiver.dropped == 0
        # Both paths carried frames, and the callback came back after the queue.
        assert switches["taken"] > 0 and switches["settle"] > 0

    def test_frames_written_while_recv_waits_wake_it(self, sim, mode):
        with open_bus(sim) as sender, open_bus(sim, receive=mode) as receiver:
            for sequence in range(20):
                timer = threading.Timer(0.02, sender.send, [numbered(sequence)])
                timer.start()
                got = receiver.recv(seconds(5))
                timer.join()
                assert got is not None and int.from_bytes(got.data, "little") == sequence

    def test_shutdown_ends_a_waiting_recv(self, sim, mode):
        receiver = open_bus(sim, receive=mode)
        thread, outcome = waiting_recv(receiver)
        wait_until(lambda: receiver._waiting, what="recv() to wait")
        receiver.shutdown()
        thread.join(seconds(5))
        assert not thread.is_alive() and isinstance(outcome[0], can.CanOperationError)

    def test_idle_recv_uses_no_cpu(self, sim, mode):
        with open_bus(sim, receive=mode) as receiver:
            cpu = time.process_time()
            assert receiver.recv(0.5) is None
            assert time.process_time() - cpu < 0.1



@pytest.mark.parametrize("mode", MODES)
def test_over_udp_frames_stay_with_the_callback(sim, mode, monkeypatch):
    # A request lost over UDP would hold up the switch back to the callback
    # for the whole time-out, so a backlog does not switch there.
    switched = []
    off = tessara_bus._device.FrameReader.callback_off
    monkeypatch.setattr(tessara_bus._device.FrameReader, "callback_off",
                        lambda self: switched.append(1) or off(self))
    with open_bus(sim) as sender, open_bus(sim, receive=mode, transport="udp") as receiver:
        for sequence in range(200):
            sender.send(numbered(sequence))
        sender.device.read_digital()
        receiver.device.read_digital()
        got = []
        while len(got) < 200:
            message = receiver.recv(seconds(1))
            if message is None:
                break  # a datagram may be lost; the order of the rest holds
            got.append(int.from_bytes(message.data, "little"))
        assert got and got == sorted(got) and not switched


class LibraryModel:
    """Stands in for a bus's device and FrameReader, with the library's
    delivery rules driven step by step: a frame read by the receive thread
    goes to the callback when it is on, else it is staged, and staged
    frames reach the queue at the end of the receive batch or before a
    request's confirmation returns."""

    def __init__(self, bus):
        self.bus = bus
        self.on = False
        self.staged, self.queued = [], []
        self.after_on = self.after_off = lambda: None

    @staticmethod
    def frame(sequence):
        return (0x100, sequence.to_bytes(4, "little"), 0, 0, 0)

    def read(self, *sequences):
        for sequence in sequences:
            if self.on:
                self.bus._on_frame(*self.frame(sequence))
            else:
                self.staged.append(self.frame(sequence))

    def end_batch(self):
        self.queued.extend(self.staged)
        self.staged = []

    # FrameReader
    def take(self, limit):
        taken, self.queued = self.queued[:limit], self.queued[limit:]
        return taken

    def callback_on(self):
        self.on = True
        self.after_on()
        return True

    def callback_off(self):
        self.on = False
        self.after_off()
        return True

    # Device
    def get_globals(self):
        self.end_batch()


@pytest.fixture
def modelled(sim):
    """A queue-mode bus whose library is a LibraryModel."""
    bus = open_bus(sim, receive="queue")
    real = bus._device, bus._reader
    model = LibraryModel(bus)
    bus._device = bus._reader = model
    yield bus, model
    bus._device, bus._reader = real
    bus.shutdown()


def sequences(bus, count):
    return [int.from_bytes(bus.recv(seconds(1)).data, "little") for _ in range(count)]


class TestOrderAcrossSwitches:
    def test_frames_staged_before_the_callback_come_before_handed_over_ones(self, modelled):
        bus, model = modelled
        # Mid-batch: 1-3 are staged when recv() finds the queue empty and
        # switches the callback on; 4 is handed over while the batch goes on.
        model.read(1, 2, 3)
        model.after_on = lambda: model.read(4)
        assert sequences(bus, 4) == [1, 2, 3, 4]

    def test_a_callback_under_way_at_the_switch_off_comes_first(self, modelled):
        bus, model = modelled
        model.on = bus._handing_over = True
        model.read(*range(1, 11))  # a backlog: the next recv() switches off
        # 11 was in its callback as the switch came; 12 is queued after it.
        model.after_off = lambda: (bus._on_frame(*model.frame(11)), model.read(12),
                                   model.end_batch())
        assert sequences(bus, 12) == list(range(1, 13))
        assert not bus._handing_over
