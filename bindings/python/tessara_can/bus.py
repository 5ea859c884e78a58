"""python-can interface for the Tessara CAN gateway.

    bus = can.Bus(interface="tessara", channel="192.0.2.7:0", bitrate=500000)

The channel is "HOST:CANPORT" ("[v6-address]:CANPORT" for IPv6; a bare host
means CAN port 0). Options besides python-can's own:

    timeout               seconds for connecting and for every gateway request,
                          a write included (default 2.0); the library fixes it
                          per connection, so it is also what bounds send()
    transport             "tcp" (default) or "udp"
    receive_own_messages  the gateway echoes this bus's frames back to it
    confirm               the gateway confirms every frame written: send() then
                          waits for that and reports refusals (listen-only port)
    bitrate, listen_only, termination, high_speed, gateway_timestamps
                          port settings, written with one SET_GLOBALS when any
                          is given; the rest keep the port's current values
    receive               how frames come from the library: "callback"
                          (default) starts with its receive thread handing
                          every frame to the bus, "queue" with the library's
                          queue; either way the bus switches to the queue,
                          taken many frames per call, when frames come faster
                          than one callback each keeps up with, and back to
                          the callback when the queue is empty (over TCP;
                          over UDP the frames always come by callback); a
                          waiting recv() wakes at once
    queue_size, buffer_size
                          frames the library's queue and the bus's buffer of
                          handed-over frames hold at most (100000 each); what
                          comes beyond is dropped (`dropped` counts the
                          buffer's)
    gateway_filters       use the gateway's acceptance filter where the filters
                          map onto it exactly (default True); the filter is the
                          CAN port's, shared by every connection of the port,
                          and the bus puts back the table it found on shutdown
    reconnect             a lost link is reopened in the background with
                          back-off (0.1 s doubling to 3 s) and gets the port
                          settings, callback and filters back; recv() waits
                          across the gap, send() in the gap raises
                          CanOperationError at once, `state` is ERROR and
                          `gap` the seconds since the loss (default False)

The gateway's frames have no DLC field of their own: a remote frame is
written with DLC zero bytes, and a received one has its byte count as DLC.
Received messages carry the gateway's time stamp when the port sends one
(gateway_timestamps=True), otherwise the host's reception time.
"""

import collections
import inspect
import logging
import threading
import time

import can
from can import BusABC, BusState, CanInitializationError, CanOperationError, CanTimeoutError

from . import device as _device
from . import flags as _flags
from .errors import TessaraError

log = logging.getLogger("can.tessara")

_TAKE = 128         # queue mode: frames taken from the library per call
_BACKLOG = 8        # queue mode: handed-over frames waiting that send the
                    # stream back to the library's queue
_LINK_CHECK = 0.5   # callback mode: how often a waiting recv() looks at the link
_WATCH = 0.1        # reconnect: how often the link is looked at
_BACKOFF_FIRST = 0.1
_BACKOFF_LONGEST = 3.0


# can.Message built with positional arguments (a keyword call costs half as
# much again, once per received frame), in this order; a python-can whose
# constructor takes them in another order gets them by keyword.
_MESSAGE_FIELDS = ("timestamp", "arbitration_id", "is_extended_id", "is_remote_frame",
                   "is_error_frame", "channel", "dlc", "data", "is_fd", "is_rx")


def _message_by_keyword(*values):
    return can.Message(**dict(zip(_MESSAGE_FIELDS, values)))


_new_message = (can.Message if tuple(inspect.signature(can.Message).parameters)[:10]
                == _MESSAGE_FIELDS else _message_by_keyword)


def parse_channel(channel):
    """"HOST:PORT", "[IPV6]:PORT", "HOST" -> (host, CAN port)."""
    text = str(channel).strip()
    if text.startswith("["):
        host, _, rest = text[1:].partition("]")
        port = rest[1:] if rest.startswith(":") else ""
    elif text.count(":") == 1:
        host, port = text.split(":")
    else:
        host, port = text, ""
    if not host:
        raise ValueError("channel %r names no gateway; use HOST:CANPORT" % (channel,))
    if port == "":
        return host, 0
    if not port.isdigit() or not 0 <= int(port) <= 99:
        raise ValueError("the CAN port of channel %r must be 0 to 99" % (channel,))
    return host, int(port)


def _bool(value):
    if isinstance(value, str):
        return value.strip().lower() not in ("0", "false", "no", "off", "")
    return bool(value)


def gateway_filter_entries(filters):
    """The gateway filter entries that select exactly what python-can's
    `filters` select, or None when they do not fit the gateway's table
    (more than 8 entries, or identifier bits the gateway cannot hold)."""
    if not filters:
        return None
    entries = []
    for f in filters:
        can_id, can_mask = int(f["can_id"]), int(f["can_mask"])
        if can_id & can_mask & ~_flags.MAX_EXTENDED_ID:
            return None  # bits no frame has: python-can never matches these
        kinds = [f["extended"]] if "extended" in f else [False, True]
        entries.extend((can_id & _flags.MAX_EXTENDED_ID, can_mask & _flags.MAX_EXTENDED_ID,
                        bool(kind)) for kind in kinds)
    if len(entries) > _flags.FILTER_ENTRIES:
        return None
    return entries


class TessaraBus(BusABC):
    """A python-can bus on one CAN port of a Tessara CAN gateway."""

    def __init__(self, channel, can_filters=None, bitrate=None, timeout=2.0, transport="tcp",
                 receive_own_messages=False, confirm=False, listen_only=None, termination=None,
                 high_speed=None, gateway_timestamps=None, receive="callback",
                 queue_size=100000, buffer_size=100000, gateway_filters=True, library=None,
                 reconnect=False, **kwargs):
        if receive not in ("callback", "queue"):
            raise ValueError('receive must be "callback" or "queue"')
        self.host, self.can_port = parse_channel(channel)
        self.channel = channel
        self._receive = receive
        self._buffer_size = int(buffer_size)
        self._gateway_filters = _bool(gateway_filters)
        # Frames handed over by the receive thread: (identifier, data,
        # flags, seconds, microseconds, host time, filter generation), the
        # numbers as the callback got them; also the frames taken from the
        # library's queue and not yet returned (_taken), generation None.
        self._buffer = collections.deque()
        self._taken = collections.deque()
        # Held with `with self._lock` (a C-level enter, unlike the
        # condition's own); _ready waits and wakes on it.
        self._lock = threading.RLock()
        self._ready = threading.Condition(self._lock)
        self._waiting = 0        # recv() calls waiting on _ready
        self._reader = None      # FrameReader of the current device
        self._handing_over = False  # the frame callback is on
        self._settling = False   # _settle under way: _buffer must wait
        # Filter generations: a frame buffered under generation g went
        # through the gateway's filter exactly when g == _exact_generation.
        self._generation = 0
        self._exact_generation = None
        self._saved_filter = None
        self._shut_down = False
        self.dropped = 0  # frames lost to a full buffer
        self._device = None
        self._reconnect = _bool(reconnect)
        self._down_since = None  # monotonic time of the loss while the link is down
        self.last_gap = None     # seconds the last gap lasted
        self.reconnections = 0
        self._stop_watch = threading.Event()
        self._watcher = None
        try:
            timeout = 2.0 if timeout is None else float(timeout)
            self._open_options = dict(host=self.host, can_port=self.can_port, timeout=timeout,
                                      transport=transport, confirm_data=_bool(confirm),
                                      monitor=_bool(receive_own_messages), library=library)
            changes = {}
            if bitrate is not None:
                changes["bitrate"] = int(bitrate)
            if listen_only is not None:
                changes["mode"] = (_device.MODE_LISTEN_ONLY if _bool(listen_only)
                                   else _device.MODE_NORMAL)
            if termination is not None:
                changes["termination"] = _bool(termination)
            if high_speed is not None:
                changes["high_speed"] = _bool(high_speed)
            if gateway_timestamps is not None:
                changes["timestamps"] = _bool(gateway_timestamps)
            self._changes = changes
            self._queue_size = int(queue_size)
            # Over UDP a request lost on the way would hold up the switch
            # back to the callback for the whole time-out: the frames stay
            # with the callback there.
            self._switching = transport != "udp"
            self._device, self._reader = self._connect()
            self._handing_over = self._starts_handing_over()
        except TessaraError as error:
            self._close_device()
            raise CanInitializationError(error.message, error.code) from error
        except OSError as error:  # the library itself could not be loaded
            raise CanInitializationError(str(error)) from error
        self.channel_info = "Tessara CAN gateway %s, CAN port %d (%s)" % (
            self.host, self.can_port, transport)
        try:
            super().__init__(channel, can_filters=can_filters, **kwargs)
        except Exception:
            self._close_device()
            raise
        if self._reconnect:
            self._watcher = threading.Thread(target=self._watch, name="tessara-reconnect",
                                             daemon=True)
            self._watcher.start()

    def _starts_handing_over(self):
        return self._receive == "callback" or not self._switching

    def _connect(self):
        """A new device with everything the bus configures on it but the
        filters, and its FrameReader."""
        device = _device.Device(**self._open_options)
        try:
            if self._changes:
                device.update_globals(**self._changes)
            reader = device.frame_reader(self._on_frame)
            # The callback first: no frame may wait in the queue behind
            # the ones it hands over.
            if self._starts_handing_over():
                reader.callback_on()
            device.set_queue_size(self._queue_size)
        except Exception:
            device.close()
            raise
        return device, reader

    # ---- reconnecting

    def _watch(self):
        # The background thread of reconnect=True: sees the loss through the
        # library's connect state, then reopens with back-off.
        while not self._stop_watch.wait(_WATCH):
            device = self._device
            if device is None or device.connected:
                continue
            lost = time.monotonic()
            with self._lock:
                self._down_since = lost
            log.warning("link to %s CAN port %d lost; reconnecting", self.host, self.can_port)
            with self._lock:
                self._device = None
                self._reader = None
                self._handing_over = self._settling = False
            try:
                device.close()
            except TessaraError:
                pass
            delay = _BACKOFF_FIRST
            while not self._stop_watch.wait(delay):
                try:
                    fresh, reader = self._connect()
                except TessaraError:
                    delay = min(delay * 2, _BACKOFF_LONGEST)
                    continue
                with self._lock:
                    if self._shut_down:
                        fresh.close()
                        return
                    self._device, self._reader = fresh, reader
                    self._handing_over = self._starts_handing_over()
                # The port may have restarted with an empty table: the one
                # found now is what shutdown puts back.
                self._saved_filter = None
                self._apply_filters(self.filters)
                gap = time.monotonic() - lost
                with self._lock:
                    self.last_gap = gap
                    self.reconnections += 1
                    self._down_since = None
                    self._ready.notify_all()
                log.warning("link to %s CAN port %d back after %.3f s", self.host, self.can_port,
                            gap)
                break

    @property
    def gap(self):
        """Seconds since the link was lost while it is down, else None."""
        since = self._down_since
        return None if since is None else time.monotonic() - since

    @property
    def device(self):
        """The underlying tessara_can.Device, for the gateway's other services."""
        return self._device

    # ---- receiving

    def _message(self, entry):
        identifier, data, flags, seconds, microseconds, stamp, _ = entry
        if flags & _flags.FLAG_TIMESTAMP:
            stamp = (seconds & 0xFFFFFFFF) + (microseconds & 0xFFFFFFFF) / 1e6
        remote = flags & _flags.FLAG_REMOTE != 0
        return _new_message(stamp, identifier & 0xFFFFFFFF, flags & _flags.FLAG_EXTENDED != 0,
                            remote, False, self.channel, len(data), None if remote else data,
                            len(data) > 8 and not remote, True)

    def _on_frame(self, identifier, data, flags, seconds, microseconds):
        # On the library's receive thread, once per frame: as little as
        # possible, since the thread holds the GIL meanwhile; recv() builds
        # the Message.
        stamp = time.time()
        with self._lock:
            if len(self._buffer) >= self._buffer_size:
                self.dropped += 1
                return
            self._buffer.append((identifier, data, flags, seconds, microseconds, stamp,
                                 self._generation))
            if self._waiting:
                self._ready.notify()

    def _open_device(self):
        device = self._device
        if self._shut_down:
            raise CanOperationError("the bus is shut down")
        if device is None or self._down_since is not None:
            if self._reconnect and not self._shut_down:
                raise CanOperationError("the link to the gateway at %s is down, reconnecting "
                                        "for %.1f s" % (self.host, self.gap or 0.0))
            raise CanOperationError("the bus is shut down")
        return device

    def _link_down(self):
        return self._reconnect and (self._device is None or self._down_since is not None)

    def _check_link(self):
        if self._reconnect:
            return  # the watcher brings it back; a waiting recv() waits on
        if self._open_device().connect_state() != _device.STATE_CONNECTED:
            raise CanOperationError("the connection to the gateway at %s is lost" % self.host)

    def _recv_internal(self, timeout):
        # The library's queue signals nothing, and its callback costs the
        # receive thread the GIL for every frame. So frames are handed over
        # by the callback while recv() keeps up, and once they come faster
        # than that (_BACKLOG of them waiting) the callback goes off and
        # recv() takes them from the queue, many per call, until it is
        # empty; then the callback goes on again. The order holds across
        # both switches:
        # - on: frames the receive thread had read but not yet put in the
        #   queue when the callback went on come before every handed-over
        #   one, and a request's confirmation comes only after they are in
        #   the queue; so after one request the queue holds exactly the
        #   earlier frames (_settle).
        # - off: a callback under way then has put its frame in _buffer
        #   before the receive thread queues the next one, so _buffer goes
        #   before whatever the queue gives after.
        # Whether a queued frame went through the gateway's filter is not
        # known: python-can checks those again.
        with self._lock:
            entry = self._next_in_order()
        if entry is None:
            entry = self._next_waited(timeout)
            if entry is None:
                return None, False
        generation = entry[6]
        return self._message(entry), generation is not None and generation == self._exact_generation

    def _next_waited(self, timeout):
        """The next frame in order once one comes, or None after `timeout`."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            settle = None
            with self._lock:
                entry = self._next_in_order()
                if entry is not None:
                    return entry
                if self._shut_down:
                    raise CanOperationError("the bus is shut down")
                reader, device = self._reader, self._device
                if reader is not None and not self._handing_over and reader.callback_on():
                    # Under _ready: no callback under way can add to
                    # _buffer between finding everything empty and this.
                    self._handing_over = self._settling = True
                    settle = reader
                else:
                    woken = self._wait(deadline)
                    if woken is None:
                        return None
            if settle is not None:
                self._settle(device, reader)
            elif not woken:
                # Nothing came for a while: a dropped link must not leave
                # recv() waiting for ever. Looked at outside the condition,
                # which the receive thread needs.
                self._check_link()

    def _wait(self, deadline):
        """Waits on _ready (held) for a frame, the deadline or a while:
        None when the deadline has passed, else whether it was woken."""
        remaining = None if deadline is None else deadline - time.monotonic()
        if remaining is not None and remaining <= 0:
            return None
        if self._shut_down:
            raise CanOperationError("the bus is shut down")
        self._waiting += 1
        try:
            return self._ready.wait(_LINK_CHECK if remaining is None
                                    else min(remaining, _LINK_CHECK))
        finally:
            self._waiting -= 1

    def _next_in_order(self):
        # _ready held.
        if self._taken:
            return self._taken.popleft()
        if self._handing_over:
            if not self._buffer or self._settling:
                return None
            entry = self._buffer.popleft()
            if len(self._buffer) >= _BACKLOG and self._switching and self._reader is not None:
                self._reader.callback_off()
                self._handing_over = False
            return entry
        if self._reader is None:
            return self._buffer.popleft() if self._buffer else None
        frames = self._reader.take(_TAKE)
        # Taken after the queue: a callback finished by then came first.
        self._taken.extend(self._buffer)
        self._buffer.clear()
        stamp = time.time()
        tail = (stamp, None)
        self._taken.extend(frame + tail for frame in frames)
        return self._taken.popleft() if self._taken else None

    def _settle(self, device, reader):
        """After the callback went on: one request, then what the queue
        holds is older than every handed-over frame."""
        try:
            if device is not None:
                device.get_globals()
        except (TessaraError, ValueError):
            pass  # lost or closed: nothing more arrives on this link
        with self._lock:
            if self._reader is reader:
                tail = (time.time(), None)
                while True:
                    frames = reader.take(_TAKE)
                    self._taken.extend(frame + tail for frame in frames)
                    if len(frames) < _TAKE:
                        break
                self._settling = False  # a lost link cleared it already
            self._ready.notify_all()  # another recv() may wait for _buffer

    # ---- sending

    def send(self, msg, timeout=None):
        """Writes one frame. The write is bounded by the bus's `timeout`;
        a library time-out raises CanTimeoutError."""
        if msg.is_error_frame:
            raise CanOperationError("the gateway cannot send error frames")
        if msg.is_remote_frame:
            # The gateway has no DLC field: a remote frame travels with DLC bytes.
            flags, data = _flags.FLAG_REMOTE, bytes(msg.dlc)
        else:
            flags, data = 0, bytes(msg.data)
        if msg.is_extended_id:
            flags |= _flags.FLAG_EXTENDED
        device = self._open_device()
        try:
            device.write(msg.arbitration_id, data, flags)
        except TessaraError as error:
            if error.is_timeout:
                raise CanTimeoutError(error.message, error.code) from error
            raise CanOperationError(error.message, error.code) from error
        except ValueError as error:
            raise CanOperationError(str(error)) from error

    # ---- filters

    def _apply_filters(self, filters):
        if self._device is None:
            return  # in a gap: the watcher puts the filters on the new link
        entries = gateway_filter_entries(filters) if self._gateway_filters else None
        with self._lock:
            self._generation += 1
            self._exact_generation = None
        try:
            if entries is None:
                self._restore_filter()
                return
            if self._saved_filter is None:
                self._saved_filter = self._device.get_filter()
            self._device.set_filter(_flags.filter_table(entries))
        except TessaraError as error:
            log.warning("gateway filter not set, filtering in software: %s", error)
            return
        with self._lock:
            # Frames from now on arrived after the gateway's confirmation.
            self._generation += 1
            self._exact_generation = self._generation

    def _restore_filter(self):
        if self._saved_filter is not None:
            saved, self._saved_filter = self._saved_filter, None
            self._device.set_filter(saved)

    # ---- state and shutdown

    @property
    def state(self):
        if self._link_down():
            return BusState.ERROR
        try:
            mode = self._open_device().get_globals().mode
        except TessaraError:
            # Lost a moment before the watcher looks: the gap has begun.
            if self._reconnect:
                return BusState.ERROR
            raise
        if mode == _device.MODE_NORMAL:
            return BusState.ACTIVE
        if mode == _device.MODE_LISTEN_ONLY:
            return BusState.PASSIVE
        return BusState.ERROR

    @state.setter
    def state(self, new_state):
        modes = {BusState.ACTIVE: _device.MODE_NORMAL, BusState.PASSIVE: _device.MODE_LISTEN_ONLY}
        if new_state not in modes:
            raise ValueError("the gateway's port can be made ACTIVE or PASSIVE")
        try:
            self._device.update_globals(mode=modes[new_state])
        except TessaraError as error:
            raise CanOperationError(error.message, error.code) from error

    def _close_device(self):
        with self._lock:
            self._reader = None
            self._handing_over = self._settling = False
        device, self._device = self._device, None
        if device is not None:
            device.close()

    def shutdown(self):
        if self._shut_down:
            return
        self._shut_down = True
        self._stop_watch.set()
        if self._watcher is not None and self._watcher is not threading.current_thread():
            self._watcher.join()
        try:
            super().shutdown()
        finally:
            try:
                if self._device is not None and self._device.connected:
                    self._restore_filter()
            except TessaraError as error:
                log.warning("could not put back the gateway's filter: %s", error)
            finally:
                self._close_device()
                with self._lock:
                    self._ready.notify_all()


def register():
    """Makes interface="tessara" known to python-can without an installed
    entry point (a source tree on sys.path)."""
    import can.interfaces
    import can.util

    can.interfaces.BACKENDS["tessara"] = ("tessara_can.bus", "TessaraBus")
    names = frozenset(can.interfaces.BACKENDS)
    can.interfaces.VALID_INTERFACES = names
    can.util.VALID_INTERFACES = names
    can.VALID_INTERFACES = names
