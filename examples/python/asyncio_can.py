#!/usr/bin/env python3
"""python-can in asyncio: a Notifier feeds an AsyncBufferedReader, and a
coroutine awaits the frames while another sends them.

    asyncio_can.py [HOST [CAN_PORT]]    (127.0.0.1, 0: a local tessara-sim)"""

import asyncio
import sys

import can
import tessara_can.bus

tessara_can.bus.register()  # not needed once the package is installed

COUNT = 5


async def send_frames(bus):
    for i in range(COUNT):
        bus.send(can.Message(arbitration_id=0x200 + i, is_extended_id=False, data=bytes([i])))
        await asyncio.sleep(0.01)


async def main(host, can_port):
    with can.Bus(interface="tessara", channel="%s:%d" % (host, can_port), bitrate=500000,
                 receive_own_messages=True) as bus:
        reader = can.AsyncBufferedReader()
        # The Notifier reads the bus on a thread of its own and hands each
        # message to the reader inside the event loop.
        notifier = can.Notifier(bus, [reader], loop=asyncio.get_running_loop())
        try:
            sender = asyncio.create_task(send_frames(bus))
            for _ in range(COUNT):
                message = await asyncio.wait_for(reader.get_message(), timeout=2.0)
                print("awaited:", message)
            await sender
        finally:
            notifier.stop()
    print("closed")


if __name__ == "__main__":
    try:
        asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1",
                         int(sys.argv[2]) if len(sys.argv) > 2 else 0))
    except asyncio.TimeoutError:
        sys.exit("a frame did not arrive in time")
