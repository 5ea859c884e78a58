#!/usr/bin/env python3
"""The Python binding (bindings/python): open a CAN port, configure it,
write frames, receive them by callback and from the queue, close.

    binding.py [HOST [CAN_PORT]]        (127.0.0.1, 0: a local tessara-sim)

The connection is opened with monitor=True, so it receives the frames it
writes itself."""

import sys
import threading
import time

from tessara_can import Device, TessaraError, dll_info, flags

FRAMES = [(0x123, b"\x11\x22", 0),
          (0x1ABCDEF0, b"\x00\x11\x22", flags.make_flags(extended=True)),
          (0x7FF, b"", flags.make_flags(remote=True))]


def main():
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    can_port = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    print("library:", dll_info())
    try:
        with Device(host, can_port=can_port, timeout=2.0, monitor=True) as gw:
            gw.set_globals(500000, termination=True, timestamps=True)
            print("configured:", gw.get_globals())

            # By callback: runs on the library's receive thread.
            received = []
            arrived = threading.Condition()

            def on_frame(frame):
                print("callback:", frame)
                with arrived:
                    received.append(frame)
                    arrived.notify()

            gw.set_frame_callback(on_frame)
            for identifier, data, frame_flags in FRAMES:
                gw.write(identifier, data, frame_flags)
            with arrived:
                if not arrived.wait_for(lambda: len(received) >= len(FRAMES), timeout=2.0):
                    sys.exit("only %d of %d frames arrived" % (len(received), len(FRAMES)))

            # From the queue: no callback, queueing on; get_message never waits.
            gw.set_frame_callback(None)
            gw.set_queue_size(100)
            for identifier, data, frame_flags in FRAMES:
                gw.write(identifier, data, frame_flags)
            taken, deadline = 0, time.monotonic() + 2.0
            while taken < len(FRAMES) and time.monotonic() < deadline:
                frame, remaining = gw.get_message()
                if frame is None:
                    time.sleep(0.01)
                    continue
                print("queue:", frame, "(%d more)" % remaining)
                taken += 1
            if taken < len(FRAMES):
                sys.exit("only %d of %d frames were queued" % (taken, len(FRAMES)))
    except TessaraError as e:  # e.code: the result code, e.message: the library's text
        sys.exit("binding: %s" % e)
    print("closed")


if __name__ == "__main__":
    main()
