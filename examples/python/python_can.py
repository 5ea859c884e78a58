#!/usr/bin/env python3
"""python-can with the binding's interface "tessara": send frames and
receive them back, with a bus filter.

    python_can.py [HOST [CAN_PORT]]     (127.0.0.1, 0: a local tessara-sim)"""

import sys

import can
import tessara_can.bus

# An installed package registers interface="tessara" by its entry point; from
# a source tree (bindings/python on PYTHONPATH) this call does it.
tessara_can.bus.register()


def main():
    host = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"
    can_port = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    # receive_own_messages: the gateway hands back what this bus sends.
    with can.Bus(interface="tessara", channel="%s:%d" % (host, can_port), bitrate=500000,
                 receive_own_messages=True) as bus:
        bus.send(can.Message(arbitration_id=0x123, is_extended_id=False, data=b"\x11\x22"))
        message = bus.recv(timeout=2.0)
        if message is None:
            sys.exit("no frame came back")
        print("received:", message)

        # Only extended identifiers 0x18FEF100..0x18FEF1FF from here on.
        bus.set_filters([{"can_id": 0x18FEF100, "can_mask": 0x1FFFFF00, "extended": True}])
        bus.send(can.Message(arbitration_id=0x100, is_extended_id=False, data=b"\x01"))
        bus.send(can.Message(arbitration_id=0x18FEF1AA, is_extended_id=True, data=b"\x02\x03"))
        message = bus.recv(timeout=2.0)
        if message is None or message.arbitration_id != 0x18FEF1AA:
            sys.exit("the filter passed %s" % message)
        print("filtered:", message)
    print("closed")


if __name__ == "__main__":
    main()
