"""Python binding of the Tessara CAN gateway client library (libTessaraCan).

    from tessara_can import Device

    with Device("192.0.2.7", can_port=0, timeout=2.0) as gateway:
        gateway.set_globals(500000)
        gateway.write(0x123, b"\\x01\\x02")

The library is taken from TESSARA_CAN_LIBRARY when that is set, else from
next to this package, else from the system's library path. The python-can
interface is tessara_can.bus.TessaraBus (interface name "tessara"); it is
imported only when used, so the binding itself needs nothing but the
standard library.
"""

from . import flags
from ._library import ENV_LIBRARY, load as load_library
from .device import (Device, DeviceInfo, DeviceTime, Emcy, Frame, Globals, Guard, Pdo,
                     PowerStatus, SdoReply, Sync, Undefined, dll_info, restart)
from .device import (MODE_LISTEN_ONLY, MODE_NORMAL, MODE_OFF, NMT_PRE_OPERATIONAL,
                     NMT_RESET_COMMUNICATION, NMT_RESET_NODE, NMT_START, NMT_STOP,
                     STATE_CLOSED, STATE_CONNECTED, STATE_CONNECTING, STATE_DISCONNECTING,
                     STATE_NO_SOCKET_STACK)
from .errors import SdoAbortError, TessaraError, error_message

__version__ = "1.11.0"

__all__ = [
    "Device", "DeviceInfo", "DeviceTime", "Emcy", "Frame", "Globals", "Guard", "Pdo",
    "PowerStatus", "SdoReply", "Sync", "Undefined", "dll_info", "restart", "flags",
    "ENV_LIBRARY", "load_library", "SdoAbortError", "TessaraError", "error_message",
    "MODE_LISTEN_ONLY", "MODE_NORMAL", "MODE_OFF", "NMT_PRE_OPERATIONAL",
    "NMT_RESET_COMMUNICATION", "NMT_RESET_NODE", "NMT_START", "NMT_STOP", "STATE_CLOSED",
    "STATE_CONNECTED", "STATE_CONNECTING", "STATE_DISCONNECTING", "STATE_NO_SOCKET_STACK",
]
