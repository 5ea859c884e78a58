"""The Pythonic layer: one Device per open handle.

Every method calls one library function and raises TessaraError for a
result code other than 0. Requests on one handle are serialised by the
device's lock (the library handles one exchange at a time per handle).

Callbacks run on the library's receive thread of the connection. The device
keeps every callback object it ever handed to the library until the handle
is closed, so the library never calls freed code. An exception raised by an
application callback is caught, kept in `last_callback_error` and reported
through sys.unraisablehook; the library only ever sees a normal return.
A callback should not make requests on its own device: their confirmations
arrive on the very thread that the callback occupies, so they can only time
out.
"""

import atexit
import collections
import ctypes
import sys
import threading
import time
import traceback
import types
import weakref
from ctypes import byref, c_char, c_int, c_ubyte, c_ushort

from . import _library
from . import flags as _flags
from .errors import SdoAbortError, check

TRANSPORTS = {"tcp": 1, "udp": 2}

# Connection states (CANDeviceConnectState).
STATE_CLOSED = 1
STATE_CONNECTING = 2
STATE_CONNECTED = 3
STATE_DISCONNECTING = 4
STATE_NO_SOCKET_STACK = 6

# Operating modes of a CAN port (SET_GLOBALS).
MODE_NORMAL = 0
MODE_LISTEN_ONLY = 1
MODE_OFF = 2

# CANopen NMT commands.
NMT_START = 0x01
NMT_STOP = 0x02
NMT_PRE_OPERATIONAL = 0x80
NMT_RESET_NODE = 0x81
NMT_RESET_COMMUNICATION = 0x82

# SDO reply bytes (the command byte of the node's response).
SDO_READ_1, SDO_READ_2, SDO_READ_3, SDO_READ_4 = 0x4F, 0x4B, 0x47, 0x43
SDO_READ_SEGMENTED = 0x41
SDO_WRITTEN = 0x60
SDO_BLOCK_READ_DONE = 0xC1
SDO_BLOCK_WRITE_DONE = 0xA1
SDO_ABORTED = 0x80
_SDO_EXPEDITED_SIZES = {SDO_READ_1: 1, SDO_READ_2: 2, SDO_READ_3: 3, SDO_READ_4: 4}

_MAX_DATA = 64
_INFO_SIZE = 20


def _u32(value):
    return value & 0xFFFFFFFF


class Frame(collections.namedtuple("Frame", "identifier data flags seconds microseconds")):
    """A received CAN frame; seconds/microseconds are the gateway's time
    stamp (0, 0 without one)."""

    __slots__ = ()

    @property
    def is_extended(self):
        return _flags.is_extended(self.flags)

    @property
    def is_remote(self):
        return _flags.is_remote(self.flags)

    @property
    def has_timestamp(self):
        return _flags.has_timestamp(self.flags)

    @property
    def timestamp(self):
        """The gateway's time stamp in seconds since 1970, or None."""
        if not self.has_timestamp:
            return None
        return _u32(self.seconds) + _u32(self.microseconds) / 1e6


Pdo = collections.namedtuple("Pdo", "node_id pdo_type data")
Sync = collections.namedtuple("Sync", "value")
Emcy = collections.namedtuple("Emcy", "node_id error_code error_register data")
Guard = collections.namedtuple("Guard", "node_id state")
Undefined = collections.namedtuple(
    "Undefined", "identifier id_byte0 id_byte1 data seconds microseconds")

Globals = collections.namedtuple("Globals", "bitrate mode termination high_speed timestamps")
DeviceTime = collections.namedtuple("DeviceTime", "set_by_host seconds microseconds")
PowerStatus = collections.namedtuple(
    "PowerStatus", "word1 word2 word3 flag values flags_a flags_b")
SdoReply = collections.namedtuple("SdoReply", "reply_byte value")


class DeviceInfo(collections.namedtuple(
        "DeviceInfo", "raw serial_number hardware_revision firmware_version name can_ports "
                      "analog_channels device_type power_supplies")):
    """The gateway's 20-byte identification record, as the gateway lays it
    out; `raw` holds the bytes unchanged."""

    __slots__ = ()

    @classmethod
    def from_record(cls, raw):
        raw = bytes(raw[:_INFO_SIZE])
        return cls(raw=raw,
                   serial_number=int.from_bytes(raw[0:4], "little"),
                   hardware_revision=int.from_bytes(raw[4:6], "little"),
                   firmware_version=int.from_bytes(raw[6:8], "little"),
                   name=raw[8:16].split(b"\0", 1)[0].decode("latin-1"),
                   can_ports=raw[16], analog_channels=raw[17], device_type=raw[18],
                   power_supplies=raw[19])


def _bytes_at(data, length):
    """The `length` bytes at `data`, a pointer to char from a callback."""
    if not data or length <= 0:
        return b""
    return data[:length]


def _report_unraisable(exc, message, obj):
    """Hands a callback's exception to sys.unraisablehook; the default hook
    only accepts the interpreter's own argument type, so it is printed in
    the same form instead."""
    try:
        hook = sys.unraisablehook
        if hook is sys.__unraisablehook__:
            stream = sys.stderr
            if stream is not None:
                stream.write("%s: %r\n" % (message, obj))
                traceback.print_exception(type(exc), exc, exc.__traceback__, file=stream)
        else:
            hook(types.SimpleNamespace(exc_type=type(exc), exc_value=exc,
                                       exc_traceback=exc.__traceback__, err_msg=message,
                                       object=obj))
    except BaseException:  # nothing may leave a callback
        pass


_callback_context = threading.local()
# A library thread that calls Python gets a Python thread state for each
# call, made and freed again around it, which costs more than a short
# callback itself. The receive threads of FrameReaders keep theirs: one
# extra hold, taken in the first callback on the thread, makes every later
# call reuse it. What a thread keeps after it ends (a thread state, a few
# kilobytes) is freed when the interpreter exits.
_kept_thread_state = threading.local()


def _keep_thread_state():
    ctypes.pythonapi.PyGILState_Ensure()
    _kept_thread_state.kept = True
# Open devices by handle: an open device stays alive (and so do the callbacks
# the library may call) until it is closed, by the application or at exit.
_open_devices = {}
_open_devices_lock = threading.Lock()


@atexit.register
def _close_open_devices():
    # The library's receive threads must not call into an interpreter that
    # is shutting down: close what the application left open.
    with _open_devices_lock:
        devices = list(_open_devices.values())
    for device in devices:
        try:
            device.close()
        except Exception:
            pass


def restart(host, timeout=2.0, library=None):
    """Asks the gateway at `host` to restart (its TCP port of CAN port 0)."""
    library = library or _library.load()
    check(library.CANRestart(host.encode(), int(timeout * 1000)), "CANRestart", library)


def dll_info(library=None):
    """The library's version text."""
    library = library or _library.load()
    buffer = ctypes.create_string_buffer(64)
    written = library.DLLInfo(buffer, len(buffer))
    return buffer.raw[:max(written - 1, 0)].decode("latin-1")


class FrameReader:
    """The receive path of one device for a bus: frames taken from the
    library's queue many per call, and a frame callback switched on and
    off, with plain tuples (identifier, data, flags, seconds, microseconds)
    in place of Frame values. The callback hands on_frame the five as
    arguments, the numbers signed as the library passed them (the receive
    thread holds the GIL meanwhile); frame() makes the tuple of them.

    Nothing here takes the device's lock, so the owner may call it under a
    lock of its own that its callback also takes: a request holding the
    device's lock waits for its confirmation, which the receive thread
    brings only when no callback blocks it. take() and the switches keep
    the GIL across their calls (they wait for no network and no callback).
    A closed handle reads as an empty queue; handles are never reused.
    One thread at a time (the owner's lock) may call take(), and none while
    the device is being closed: a call under way then would keep the
    library's receive thread running past the close.
    """

    @staticmethod
    def frame(identifier, data, flags, seconds, microseconds):
        """The frame tuple of what on_frame was given."""
        return (identifier & 0xFFFFFFFF, data, flags & 0xFF, seconds & 0xFFFFFFFF,
                microseconds & 0xFFFFFFFF)

    def __init__(self, device, on_frame):
        lib = device._lib
        self._handle = device.handle
        self._get = lib.holding_gil("CANGetMessage")
        self._set = lib.holding_gil("CANSetCallbackEx")
        self._available = c_int()
        self._identifier = c_int()
        self._length = c_ubyte()
        self._flags = c_int()
        self._seconds = c_int()
        self._microseconds = c_int()
        self._data = (c_char * _MAX_DATA)()
        self._arguments = (self._handle, byref(self._available), byref(self._identifier),
                           self._data, byref(self._length), byref(self._flags),
                           byref(self._seconds), byref(self._microseconds))
        kept = _kept_thread_state

        def on_c_frame(identifier, data, length, flags, handle, seconds, microseconds):
            # Once per frame on the receive thread, holding the GIL: the
            # data is copied (the pointer is valid only now), the numbers go
            # on as the library passed them; frame() makes the tuple.
            try:
                if not getattr(kept, "kept", False):
                    _keep_thread_state()
                on_frame(identifier, data[:length] if length > 0 and data else b"", flags,
                         seconds, microseconds)
            except BaseException as exc:  # the library must see a normal return
                device.last_callback_error = exc
                _report_unraisable(exc, "Exception ignored in frame callback", on_frame)

        self._callback = device._keep(_library.CanFrameCallbackEx(on_c_frame))
        self._no_callback = _library.CanFrameCallbackEx()

    def take(self, limit):
        """Up to `limit` frames from the queue, oldest first; [] when it
        is empty."""
        get, arguments, available = self._get, self._arguments, self._available
        identifier, length, flags = self._identifier, self._length, self._flags
        seconds, microseconds, data = self._seconds, self._microseconds, self._data
        frames = []
        while len(frames) < limit:
            if get(*arguments) != 0 or available.value < 0:
                break
            frames.append((identifier.value & 0xFFFFFFFF, data[:length.value],
                           flags.value & 0xFF, seconds.value & 0xFFFFFFFF,
                           microseconds.value & 0xFFFFFFFF))
            if available.value == 0:
                break
        return frames

    def callback_on(self):
        """Frames from the next one on go to on_frame instead of the queue."""
        return self._set(self._handle, self._callback) == 0

    def callback_off(self):
        """Frames from the next one on go to the queue; a callback already
        under way still runs to its end."""
        return self._set(self._handle, self._no_callback) == 0


class Device:
    """An open connection to one CAN port of a gateway.

    host: numeric address or host name; can_port: 0..99; timeout: seconds
    for connecting and for every request; transport: "tcp" or "udp";
    confirm_data: the gateway confirms every frame written (writes then wait
    for that and report its refusals); monitor: this connection also
    receives the frames it writes.
    """

    def __init__(self, host, can_port=0, timeout=2.0, transport="tcp", confirm_data=False,
                 monitor=False, library=None):
        if transport not in TRANSPORTS:
            raise ValueError("transport must be one of %s" % ", ".join(sorted(TRANSPORTS)))
        self._lib = library or _library.load()
        self.host = host
        self.can_port = can_port
        self.timeout = timeout
        self.transport = transport
        self.confirm_data = bool(confirm_data)
        self.monitor = bool(monitor)
        self.last_callback_error = None
        self._lock = threading.RLock()
        self._callbacks = []  # every callback object handed out, kept until close
        handle = c_int(-1)
        code = self._lib.CANOpenDeviceEx(byref(handle), int(self.confirm_data),
                                         int(self.monitor), can_port, host.encode(),
                                         int(timeout * 1000), TRANSPORTS[transport])
        check(code, "CANOpenDeviceEx", self._lib)
        self._handle = handle.value
        with _open_devices_lock:
            _open_devices[self._handle] = self

    # ---- lifetime

    @property
    def handle(self):
        return self._handle

    @property
    def closed(self):
        return self._handle is None

    def close(self):
        """Disconnects and releases the handle; a second call does nothing.
        Must not be called from one of this device's callbacks."""
        if getattr(_callback_context, "device", None) is self:
            raise RuntimeError("a device cannot be closed from its own callback")
        with self._lock:
            if self._handle is None:
                return
            handle, self._handle = self._handle, None
            code = self._lib.CANCloseDevice(handle)
            with _open_devices_lock:
                _open_devices.pop(handle, None)
            # The receive thread has been joined: the callbacks may go.
            self._callbacks = []
            check(code, "CANCloseDevice", self._lib)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, tb):
        self.close()

    def __repr__(self):
        return "<Device %s CAN %d %s handle %s>" % (self.host, self.can_port, self.transport,
                                                   self._handle)

    def _call(self, name, *args):
        """Calls library function `name` with the handle first; raises for
        a non-zero result."""
        with self._lock:
            if self._handle is None:
                raise ValueError("the device is closed")
            code = getattr(self._lib, name)(self._handle, *args)
        return check(code, name, self._lib)

    def _poll(self, name, *args):
        with self._lock:
            if self._handle is None:
                raise ValueError("the device is closed")
            return getattr(self._lib, name)(self._handle, *args)

    def connect_state(self):
        """STATE_CLOSED, STATE_CONNECTING, STATE_CONNECTED, ..."""
        with self._lock:
            if self._handle is None:
                return STATE_CLOSED
            state = self._lib.CANDeviceConnectState(self._handle)
        if state > 0xFF:
            check(state, "CANDeviceConnectState", self._lib)
        return state

    @property
    def connected(self):
        return self.connect_state() == STATE_CONNECTED

    def start_alive(self, seconds):
        """Keep-alive watch with this period in seconds; 0 stops it."""
        self._call("CANStartAlive", int(seconds))

    # ---- port configuration

    def set_globals(self, bitrate, mode=MODE_NORMAL, termination=False, high_speed=True,
                    timestamps=False):
        """Bit rate (bit/s), operating mode, termination, high-speed
        transceiver, time stamps on received frames: all at once."""
        self._call("CANSetGlobals", bitrate, mode, int(bool(termination)), int(bool(high_speed)),
                   int(bool(timestamps)))

    def get_globals(self):
        bitrate, mode, termination, high_speed, timestamps = (c_int(), c_ubyte(), c_int(),
                                                              c_int(), c_int())
        self._call("CANGetGlobals", byref(bitrate), byref(mode), byref(termination),
                   byref(high_speed), byref(timestamps))
        return Globals(bitrate.value, mode.value, bool(termination.value), bool(high_speed.value),
                       bool(timestamps.value))

    def update_globals(self, **changes):
        """Reads the port settings, replaces the named ones (fields of
        Globals) and writes them back; returns the new settings."""
        current = self.get_globals()._replace(**changes)
        self.set_globals(*current)
        return current

    def set_filter(self, words):
        """Writes the 16-word filter table (see flags.filter_table)."""
        words = list(words)
        if len(words) != _flags.FILTER_WORDS:
            raise ValueError("a filter table has %d words" % _flags.FILTER_WORDS)
        table = (c_int * _flags.FILTER_WORDS)(*words)
        self._call("CANSetFilter", table)

    def get_filter(self):
        """The 16-word filter table, as unsigned words."""
        table = (c_int * _flags.FILTER_WORDS)()
        self._call("CANGetFilter", table)
        return [_u32(w) for w in table]

    def set_time(self, seconds, microseconds=0):
        """Sets the gateway's clock (seconds since 1970)."""
        self._call("CANSetTime", int(seconds), int(microseconds))

    def set_time_now(self):
        now = time.time()
        seconds = int(now)
        self.set_time(seconds, int((now - seconds) * 1e6))

    def get_time(self):
        flag, seconds, microseconds = c_int(), c_int(), c_int()
        self._call("CANGetTime", byref(flag), byref(seconds), byref(microseconds))
        return DeviceTime(bool(flag.value), _u32(seconds.value), _u32(microseconds.value))

    # ---- power

    def power_status(self, capacity=16):
        counts = [c_ubyte() for _ in range(3)]
        words = [c_ushort() for _ in range(3)]
        flag = c_int()
        values = (c_ushort * capacity)()
        flags_a = (c_int * capacity)()
        flags_b = (c_int * capacity)()
        self._call("CANGetPowerStatus", capacity, byref(counts[0]), capacity, byref(counts[1]),
                   capacity, byref(counts[2]), byref(words[0]), byref(words[1]),
                   byref(words[2]), byref(flag), values, flags_a, flags_b)

        def cut(array, count):
            return list(array[:min(count.value, capacity)])

        return PowerStatus(words[0].value, words[1].value, words[2].value, bool(flag.value),
                           cut(values, counts[0]), [bool(v) for v in cut(flags_a, counts[1])],
                           [bool(v) for v in cut(flags_b, counts[2])])

    def set_power_relay(self, on):
        self._call("CANSetPowerRelais", int(bool(on)))

    def set_active_power_supplies(self, mask):
        self._call("CANSetActivePowerSupplies", mask)

    # ---- frames

    @staticmethod
    def _frame_args(data):
        data = bytes(data)
        if len(data) > _MAX_DATA:
            raise ValueError("a frame carries at most %d data bytes" % _MAX_DATA)
        return data, len(data)

    def write(self, identifier, data=b"", flags=0):
        """Writes one frame; flags as in the flags module."""
        data, length = self._frame_args(data)
        self._call("CANWrite", identifier, data, length, flags)

    def write_ex(self, identifier, data=b"", flags=0):
        """As write; returns the frame's time stamp (seconds, microseconds):
        the gateway's with confirm_data, else the local clock."""
        data, length = self._frame_args(data)
        seconds, microseconds = c_int(), c_int()
        self._call("CANWriteEx", identifier, data, length, flags, byref(seconds),
                   byref(microseconds))
        return _u32(seconds.value), _u32(microseconds.value)

    def _keep(self, c_callback):
        with self._lock:
            self._callbacks.append(c_callback)
        return c_callback

    def _guard(self, kind, function, convert):
        """A C callback that calls function(convert(*args)) and lets nothing escape."""
        device_ref = weakref.ref(self)

        def trampoline(*args):
            device = device_ref()
            _callback_context.device = device
            try:
                function(convert(*args))
            except BaseException as exc:  # the library must see a normal return
                if device is not None:
                    device.last_callback_error = exc
                _report_unraisable(exc, "Exception ignored in %s callback" % kind, function)
            finally:
                _callback_context.device = None

        return trampoline

    def set_frame_callback(self, function, with_timestamp=True):
        """function(Frame) for every received frame, on the receive thread;
        None switches callback delivery off. with_timestamp=False installs
        the plain callback, whose frames carry no time stamp values."""
        if function is None:
            self._call("CANSetCallbackEx", _library.CanFrameCallbackEx())
            return
        if with_timestamp:
            def convert(identifier, data, length, flags, handle, seconds, microseconds):
                return Frame(_u32(identifier), _bytes_at(data, length), flags, _u32(seconds),
                             _u32(microseconds))
            c_callback = _library.CanFrameCallbackEx(self._guard("frame", function, convert))
            self._call("CANSetCallbackEx", self._keep(c_callback))
        else:
            def convert(identifier, data, length, flags, handle):
                return Frame(_u32(identifier), _bytes_at(data, length), flags, 0, 0)
            c_callback = _library.CanFrameCallback(self._guard("frame", function, convert))
            self._call("CANSetCallback", self._keep(c_callback))

    def set_queue_size(self, entries):
        """Maximum entries of each receive queue; 0 empties them and turns
        queueing off."""
        self._call("CANSetMaxSizePerQueue", entries)

    def get_message(self):
        """The oldest queued frame and the number of frames still queued:
        (Frame, remaining), or (None, -1) when the queue was empty."""
        available, identifier, length, flags = c_int(), c_int(), c_ubyte(), c_int()
        seconds, microseconds = c_int(), c_int()
        data = (c_char * _MAX_DATA)()
        check(self._poll("CANGetMessage", byref(available), byref(identifier), data,
                         byref(length), byref(flags), byref(seconds), byref(microseconds)),
              "CANGetMessage", self._lib)
        if available.value < 0:
            return None, -1
        frame = Frame(_u32(identifier.value), data.raw[:length.value], flags.value & 0xFF,
                      _u32(seconds.value), _u32(microseconds.value))
        return frame, available.value

    def frame_reader(self, on_frame):
        """A FrameReader of this device whose callback hands every frame
        to on_frame(identifier, data, flags, seconds, microseconds)."""
        with self._lock:
            if self._handle is None:
                raise ValueError("the device is closed")
            return FrameReader(self, on_frame)

    # ---- device I/O

    def info(self):
        record = ctypes.create_string_buffer(_INFO_SIZE)
        self._call("DeviceInfo", record)
        return DeviceInfo.from_record(record.raw)

    def status(self, size=1024):
        """The gateway's status text."""
        buffer = ctypes.create_string_buffer(size)
        with self._lock:
            if self._handle is None:
                raise ValueError("the device is closed")
            written = self._lib.DeviceStatus(self._handle, buffer, size)
        return buffer.raw[:max(written - 1, 0)].decode("latin-1")

    def read_digital(self):
        """(first word, second word): the gateway's inputs and outputs."""
        first, second = c_int(), c_int()
        self._call("CANReadDigital", byref(first), byref(second))
        return _u32(first.value), _u32(second.value)

    def write_digital(self, bits):
        self._call("CANWriteDigital", bits)

    def read_analog(self, capacity=16):
        """(first word, values): the reply's first word and its values."""
        first = c_int()
        values = (c_int * capacity)()
        count = c_ushort(capacity)
        self._call("CANReadAnalog", byref(first), values, byref(count))
        return _u32(first.value), list(values[:min(count.value, capacity)])

    def write_analog(self, values):
        values = list(values)
        array = (c_int * max(len(values), 1))(*values)
        self._call("CANWriteAnalog", array, len(values))

    # ---- CANopen services

    def canopen_set_config(self, mode):
        """1 switches the port's CANopen manager on, 0 off."""
        self._call("CANopenSetConfig", mode)

    def canopen_get_config(self):
        mode = c_ubyte()
        self._call("CANopenGetConfig", byref(mode))
        return mode.value

    def canopen_set_sync_mode(self, period_ms):
        """SYNC sent by the gateway every period_ms; 0 stops it."""
        self._call("CANopenSetSYNCMode", period_ms)

    def send_nmt(self, node_id, nmt_type):
        """NMT command to node_id (0: all nodes)."""
        self._call("CANopenSendNMT", node_id, nmt_type)

    def send_sync(self):
        self._call("CANopenSendSYNC")

    def send_time(self, day, ms):
        """TIME: days since 1984-01-01 and milliseconds of the day."""
        self._call("CANopenSendTIME", day, ms)

    def send_pdo(self, node_id, pdo_type, data):
        data = bytes(data)
        self._call("CANopenSendPDO", node_id, pdo_type, len(data), data)

    def sdo_read(self, node_id, index, subindex, timeout_ms=1000):
        """Expedited SDO read: SdoReply(reply byte, value)."""
        reply, value = c_ubyte(), c_int()
        self._call("CANopenSendSDORead", node_id, index, subindex, timeout_ms, byref(reply),
                   byref(value))
        return SdoReply(reply.value, _u32(value.value))

    def sdo_write(self, node_id, index, subindex, value, size=0, timeout_ms=1000):
        """Expedited SDO write of the low `size` bytes of value (0: the
        entry's own size): SdoReply(reply byte, value)."""
        reply, result = c_ubyte(), c_int()
        self._call("CANopenSendSDOWrite", node_id, size, index, subindex, timeout_ms, value,
                   byref(reply), byref(result))
        return SdoReply(reply.value, _u32(result.value))

    def sdo_read_block(self, node_id, index, subindex, timeout_ms=1000, buffer_size=4096):
        """Block read: (reply byte, data); data is cut to buffer_size."""
        reply, length = c_ubyte(), c_int()
        buffer = (c_char * max(buffer_size, 1))()
        self._call("CANopenSendSDOReadBlock", node_id, index, subindex, timeout_ms, buffer_size,
                   byref(reply), byref(length), buffer)
        return reply.value, buffer.raw[:max(0, min(length.value, buffer_size))]

    def sdo_write_block(self, node_id, index, subindex, data, timeout_ms=1000):
        """Block write: SdoReply(reply byte, value)."""
        data = bytes(data)
        reply, value = c_ubyte(), c_int()
        self._call("CANopenSendSDOWriteBlock", node_id, index, subindex, timeout_ms, len(data),
                   data, byref(reply), byref(value))
        return SdoReply(reply.value, _u32(value.value))

    def read_object(self, node_id, index, subindex, timeout_ms=1000):
        """The bytes of an object dictionary entry, by an expedited read or,
        for longer entries, a block read; SdoAbortError if the node aborts."""
        reply = self.sdo_read(node_id, index, subindex, timeout_ms)
        if reply.reply_byte == SDO_ABORTED:
            raise SdoAbortError(node_id, index, subindex, reply.value)
        if reply.reply_byte in _SDO_EXPEDITED_SIZES:
            return reply.value.to_bytes(4, "little")[:_SDO_EXPEDITED_SIZES[reply.reply_byte]]
        if reply.reply_byte != SDO_READ_SEGMENTED:
            raise ValueError("unexpected SDO reply byte 0x%02X" % reply.reply_byte)
        reply_byte, data = self.sdo_read_block(node_id, index, subindex, timeout_ms,
                                               max(reply.value, 1))
        if reply_byte == SDO_ABORTED:
            raise SdoAbortError(node_id, index, subindex,
                                int.from_bytes(data[:4].ljust(4, b"\0"), "little"))
        return data

    def write_object(self, node_id, index, subindex, data, timeout_ms=1000):
        """Writes the bytes of an entry: up to 4 bytes expedited, more by a
        block write; SdoAbortError if the node aborts."""
        data = bytes(data)
        if 0 < len(data) <= 4:
            reply = self.sdo_write(node_id, index, subindex, int.from_bytes(data, "little"),
                                   size=len(data), timeout_ms=timeout_ms)
        else:
            reply = self.sdo_write_block(node_id, index, subindex, data, timeout_ms)
        if reply.reply_byte == SDO_ABORTED:
            raise SdoAbortError(node_id, index, subindex, reply.value)
        return reply

    # ---- CANopen indications

    def set_canopen_callbacks(self, pdo=None, sync=None, emcy=None, guard=None, undefined=None):
        """Installs all five indication callbacks at once; each gets one
        Pdo, Sync, Emcy, Guard or Undefined value; None switches one off
        (its indications then go to its queue when queueing is on)."""
        def make(kind, function, c_type, convert):
            if function is None:
                return c_type()
            return self._keep(c_type(self._guard(kind, function, convert)))

        c_pdo = make("PDO", pdo, _library.PdoCallback,
                     lambda node, kind, length, data, handle, r1, r2:
                     Pdo(node, kind, _bytes_at(data, length)))
        c_sync = make("SYNC", sync, _library.SyncCallback,
                      lambda value, handle, r1, r2: Sync(value))
        c_emcy = make("EMCY", emcy, _library.EmcyCallback,
                      lambda node, code, register, data, handle, r1, r2:
                      Emcy(node, code & 0xFFFF, register, _bytes_at(data, 5)))
        c_guard = make("GUARD", guard, _library.GuardCallback,
                       lambda node, state, handle, r1, r2: Guard(node, state))
        c_undefined = make("UNDEFINED", undefined, _library.UndefinedCallback,
                           lambda identifier, b0, b1, length, data, handle, seconds, micro:
                           Undefined(_u32(identifier), b0, b1, _bytes_at(data, length),
                                     _u32(seconds), _u32(micro)))
        self._call("CANopenSetCallback", c_pdo, c_sync, c_emcy, c_guard, c_undefined)

    def get_pdo(self):
        """(Pdo, remaining) or (None, -1)."""
        available, node, kind, length = c_int(), c_ubyte(), c_ubyte(), c_ubyte()
        data = (c_char * 8)()
        check(self._poll("CANopenGetPDO", byref(available), byref(node), byref(kind),
                         byref(length), data), "CANopenGetPDO", self._lib)
        if available.value < 0:
            return None, -1
        return Pdo(node.value, kind.value, data.raw[:length.value]), available.value

    def get_sync(self):
        available, value = c_int(), c_ubyte()
        check(self._poll("CANopenGetSYNC", byref(available), byref(value)), "CANopenGetSYNC",
              self._lib)
        if available.value < 0:
            return None, -1
        return Sync(value.value), available.value

    def get_emcy(self):
        available, node, code, register = c_int(), c_ubyte(), c_ushort(), c_ubyte()
        data = (c_char * 5)()
        check(self._poll("CANopenGetEMCY", byref(available), byref(node), byref(code),
                         byref(register), data), "CANopenGetEMCY", self._lib)
        if available.value < 0:
            return None, -1
        return Emcy(node.value, code.value, register.value, data.raw), available.value

    def get_guard(self):
        available, node, state = c_int(), c_ubyte(), c_ubyte()
        check(self._poll("CANopenGetGUARD", byref(available), byref(node), byref(state)),
              "CANopenGetGUARD", self._lib)
        if available.value < 0:
            return None, -1
        return Guard(node.value, state.value), available.value

    def get_undefined(self):
        available, identifier = c_int(), c_int()
        byte0, byte1, length = c_ubyte(), c_ubyte(), c_ubyte()
        seconds, microseconds = c_int(), c_int()
        data = (c_char * 8)()
        check(self._poll("CANopenGetUndefined", byref(available), byref(identifier),
                         byref(byte0), byref(byte1), byref(length), data, byref(seconds),
                         byref(microseconds)), "CANopenGetUndefined", self._lib)
        if available.value < 0:
            return None, -1
        return (Undefined(_u32(identifier.value), byte0.value, byte1.value,
                          data.raw[:length.value], _u32(seconds.value), _u32(microseconds.value)),
                available.value)

