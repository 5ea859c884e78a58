"""Loading libTessaraCan and declaring its 46 functions for ctypes.

Everything in this module is a one-to-one image of TessaraCan.h: the
argument and result types of every function (PROTOTYPES) and the seven
callback types. Nothing here converts values; the Pythonic layer is in
device.py.
"""

import ctypes
import ctypes.util
import os
import sys
import threading
from ctypes import (POINTER, c_char, c_char_p, c_int, c_ubyte, c_uint, c_ushort,
                    c_void_p)

ENV_LIBRARY = "TESSARA_CAN_LIBRARY"

_WINDOWS = sys.platform == "win32"
_WIN32_BIT = _WINDOWS and ctypes.sizeof(c_void_p) == 4

# On 32-bit Windows every application callback is called with the standard
# convention, whichever convention the entry points use; elsewhere there is
# only one convention.
if _WIN32_BIT:
    _CALLBACK = ctypes.WINFUNCTYPE  # type: ignore[attr-defined]
else:
    _CALLBACK = ctypes.CFUNCTYPE

P_INT = POINTER(c_int)
P_UBYTE = POINTER(c_ubyte)
P_USHORT = POINTER(c_ushort)
P_CHAR = POINTER(c_char)  # char * outputs (buffers filled by the library) and callback data

# Data pointers handed to callbacks are pointers to char: the bytes may
# contain zeros, so they are copied by slicing with the length argument
# (pointer[:length], one step in C), never read as C strings.
CanFrameCallback = _CALLBACK(None, c_int, P_CHAR, c_int, c_int, c_int)
CanFrameCallbackEx = _CALLBACK(None, c_int, P_CHAR, c_int, c_int, c_int, c_int, c_int)
PdoCallback = _CALLBACK(None, c_ubyte, c_ubyte, c_ubyte, P_CHAR, c_int, c_int, c_int)
SyncCallback = _CALLBACK(None, c_ubyte, c_int, c_int, c_int)
EmcyCallback = _CALLBACK(None, c_ubyte, c_int, c_ubyte, P_CHAR, c_int, c_int, c_int)
GuardCallback = _CALLBACK(None, c_ubyte, c_ubyte, c_int, c_int, c_int)
UndefinedCallback = _CALLBACK(None, c_int, c_ubyte, c_ubyte, c_ubyte, P_CHAR, c_int, c_int,
                              c_int)

CALLBACK_TYPES = {
    "CanFrameCallback": CanFrameCallback,
    "CanFrameCallbackEx": CanFrameCallbackEx,
    "PdoCallback": PdoCallback,
    "SyncCallback": SyncCallback,
    "EmcyCallback": EmcyCallback,
    "GuardCallback": GuardCallback,
    "UndefinedCallback": UndefinedCallback,
}


# name -> (result type, argument types), in the header's order.
PROTOTYPES = {
    # open, close, restart
    "CANOpenDevice": (c_int, (P_INT, c_int, c_int, c_int, c_char_p, c_int)),
    "CANOpenDeviceEx": (c_int, (P_INT, c_int, c_int, c_int, c_char_p, c_int, c_int)),
    "CANCloseDevice": (c_int, (c_int,)),
    "CANRestart": (c_int, (c_char_p, c_int)),
    "CANDeviceConnectState": (c_int, (c_int,)),
    "CANStartAlive": (c_int, (c_int, c_int)),
    # port configuration
    "CANSetGlobals": (c_int, (c_int, c_int, c_int, c_int, c_int, c_int)),
    "CANGetGlobals": (c_int, (c_int, P_INT, P_UBYTE, P_INT, P_INT, P_INT)),
    "CANSetFilter": (c_int, (c_int, P_INT)),
    "CANGetFilter": (c_int, (c_int, P_INT)),
    "CANSetTime": (c_int, (c_int, c_int, c_int)),
    "CANGetTime": (c_int, (c_int, P_INT, P_INT, P_INT)),
    "CANGetPowerStatus": (c_int, (c_int, c_int, P_UBYTE, c_int, P_UBYTE, c_int, P_UBYTE,
                                  P_USHORT, P_USHORT, P_USHORT, P_INT, P_USHORT, P_INT, P_INT)),
    "CANSetPowerRelais": (c_int, (c_int, c_int)),
    "CANSetActivePowerSupplies": (c_int, (c_int, c_int)),
    # frames
    "CANWrite": (c_int, (c_int, c_int, c_char_p, c_int, c_int)),
    "CANWriteEx": (c_int, (c_int, c_int, c_char_p, c_int, c_int, P_INT, P_INT)),
    "CANSetCallback": (c_int, (c_int, CanFrameCallback)),
    "CANSetCallbackEx": (c_int, (c_int, CanFrameCallbackEx)),
    "CANSetMaxSizePerQueue": (c_int, (c_int, c_int)),
    "CANGetMessage": (c_int, (c_int, P_INT, P_INT, P_CHAR, P_UBYTE, P_INT, P_INT, P_INT)),
    # device I/O
    "DeviceInfo": (c_int, (c_int, c_void_p)),
    "DeviceStatus": (c_int, (c_int, P_CHAR, c_uint)),
    "CANReadDigital": (c_int, (c_int, P_INT, P_INT)),
    "CANWriteDigital": (c_int, (c_int, c_int)),
    "CANReadAnalog": (c_int, (c_int, P_INT, P_INT, P_USHORT)),
    "CANWriteAnalog": (c_int, (c_int, P_INT, c_int)),
    # CANopen
    "CANopenSetCallback": (c_int, (c_int, PdoCallback, SyncCallback, EmcyCallback, GuardCallback,
                                   UndefinedCallback)),
    "CANopenSetConfig": (c_int, (c_int, c_int)),
    "CANopenGetConfig": (c_int, (c_int, P_UBYTE)),
    "CANopenSetSYNCMode": (c_int, (c_int, c_int)),
    "CANopenSendNMT": (c_int, (c_int, c_int, c_int)),
    "CANopenSendSYNC": (c_int, (c_int,)),
    "CANopenSendTIME": (c_int, (c_int, c_int, c_int)),
    "CANopenSendPDO": (c_int, (c_int, c_int, c_int, c_int, c_char_p)),
    "CANopenSendSDORead": (c_int, (c_int, c_int, c_int, c_int, c_int, P_UBYTE, P_INT)),
    "CANopenSendSDOWrite": (c_int, (c_int, c_int, c_int, c_int, c_int, c_int, c_int, P_UBYTE,
                                    P_INT)),
    "CANopenSendSDOReadBlock": (c_int, (c_int, c_int, c_int, c_int, c_int, c_int, P_UBYTE, P_INT,
                                        P_CHAR)),
    "CANopenSendSDOWriteBlock": (c_int, (c_int, c_int, c_int, c_int, c_int, c_int, c_char_p,
                                         P_UBYTE, P_INT)),
    "CANopenGetPDO": (c_int, (c_int, P_INT, P_UBYTE, P_UBYTE, P_UBYTE, P_CHAR)),
    "CANopenGetSYNC": (c_int, (c_int, P_INT, P_UBYTE)),
    "CANopenGetEMCY": (c_int, (c_int, P_INT, P_UBYTE, P_USHORT, P_UBYTE, P_CHAR)),
    "CANopenGetGUARD": (c_int, (c_int, P_INT, P_UBYTE, P_UBYTE)),
    "CANopenGetUndefined": (c_int, (c_int, P_INT, P_INT, P_UBYTE, P_UBYTE, P_UBYTE, P_CHAR, P_INT,
                                    P_INT)),
    # texts
    "CANErrorMessage": (c_int, (c_int, P_CHAR, c_int)),
    "DLLInfo": (c_int, (P_CHAR, c_int)),
}


# Functions that take only short locks of the library's own, never one held
# across a wait for the network or a callback: the queue read and the frame
# callback setters.
GIL_HOLDING = frozenset(("CANGetMessage", "CANSetCallback", "CANSetCallbackEx"))


def _library_names():
    """File names of the library on this platform, most specific first."""
    if _WINDOWS:
        if _WIN32_BIT:
            return ["TessaraCan.dll", "TessaraCanVB6.dll"]
        return ["TessaraCan64.dll", "TessaraCan.dll"]
    if sys.platform == "darwin":
        return ["libTessaraCan.1.dylib", "libTessaraCan.dylib"]
    return ["libTessaraCan.so.1", "libTessaraCan.so"]


def candidates(environ=None, package_dir=None):
    """Where the library is looked for, in order.

    1. the file named by TESSARA_CAN_LIBRARY (it alone, when set);
    2. a copy next to this package;
    3. the system's library path (ctypes.util.find_library, then the
       plain file names, which the dynamic loader resolves).
    """
    environ = os.environ if environ is None else environ
    package_dir = package_dir or os.path.dirname(os.path.abspath(__file__))
    explicit = environ.get(ENV_LIBRARY)
    if explicit:
        return [explicit]
    names = _library_names()
    found = [os.path.join(package_dir, name) for name in names
             if os.path.exists(os.path.join(package_dir, name))]
    system = ctypes.util.find_library("TessaraCan")
    if system:
        found.append(system)
    found.extend(names)
    return found


def _uses_stdcall_entry_points(path):
    # TessaraCanVB6.dll: standard-convention entry points with decorated names.
    return _WIN32_BIT and "vb6" in os.path.basename(path).lower()


class Library:
    """The loaded library: one attribute per exported function, typed."""

    def __init__(self, path):
        self.path = path
        stdcall = _uses_stdcall_entry_points(path)
        loader = ctypes.WinDLL if stdcall else ctypes.CDLL  # type: ignore[attr-defined]
        self.dll = loader(path)
        self._stdcall = stdcall
        for name, (restype, argtypes) in PROTOTYPES.items():
            function = self._lookup(name, len(argtypes), stdcall)
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)

    def holding_gil(self, name):
        """Function `name` as a foreign function that keeps the GIL across
        the call: for the few that never wait for the network or for a
        callback (GIL_HOLDING), where handing the GIL to another thread and
        back would cost more than the call. The standard-convention build
        gets the ordinary function."""
        if name not in GIL_HOLDING:
            raise ValueError("%s may wait; it must release the GIL" % name)
        if self._stdcall:
            return getattr(self, name)
        restype, argtypes = PROTOTYPES[name]
        return ctypes.PYFUNCTYPE(restype, *argtypes)((name, self.dll))

    def _lookup(self, name, argument_count, stdcall):
        if stdcall:
            # Every argument is 4 bytes in a 32-bit build: _CANWrite@20.
            return self.dll["_%s@%d" % (name, 4 * argument_count)]
        return self.dll[name]


_lock = threading.Lock()
_loaded = None


def load(path=None):
    """The library, loaded once per process (or from `path`, uncached)."""
    global _loaded
    if path is not None:
        return Library(path)
    with _lock:
        if _loaded is None:
            errors = []
            for candidate in candidates():
                try:
                    _loaded = Library(candidate)
                    break
                except (OSError, AttributeError) as error:
                    errors.append("%s: %s" % (candidate, error))
            else:
                raise OSError("libTessaraCan not found; set %s to its path. Tried:\n  %s"
                              % (ENV_LIBRARY, "\n  ".join(errors)))
        return _loaded
