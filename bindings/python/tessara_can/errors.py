"""Result codes and the exception that carries them."""

import ctypes

from . import _library

SUCCESS = 0x0
# transport results
SOCKET_ERROR = 0x20000
NOT_CONNECTED = 0x30000
TIMEOUT = 0x40000
NOT_ALLOWED_NOW = 0x50000
STACK_NOT_INITIALISED = 0x60000
# telegram checks
INVALID_CRC = 0xA0000
NOT_CONFIRMED = 0xB0000
INVALID_CONFIRMATION = 0xC0000
# library checks
INVALID_HANDLE = 0x900000
INVALID_DEVICE_TYPE = 0x910000
INVALID_PARAMETER = 0x920000
# device results (CAN device type 2 in bits 8 to 15)
GATEWAY_FULL = 0x1
COMMAND_FAILED = 0xFF
CAN_NACK = 0x220
CAN_TRANSMIT_ERROR = 0x221
CAN_BUFFER_OVERFLOW = 0x222
CAN_LOST_ARBITRATION = 0x223
CAN_INVALID_BAUDRATE = 0x224
CAN_COMMAND_FAILED = 0x2FF
CANOPEN_BLOCK_TIMEOUT = 0x2FC
CANOPEN_NACK = 0x2FD
CANOPEN_MODE_OFF = 0x2FE

# Codes that mean "no answer in time" rather than "refused".
TIMEOUT_CODES = frozenset([TIMEOUT])


def error_message(code, library=None):
    """The library's English text for a result code (CANErrorMessage)."""
    library = library or _library.load()
    buffer = ctypes.create_string_buffer(256)
    written = library.CANErrorMessage(code, buffer, len(buffer))
    return buffer.raw[:max(written - 1, 0)].decode("latin-1")


class TessaraError(Exception):
    """A library function returned a result code other than 0.

    `code` is the result code, `message` the library's own text for it and
    `function` the name of the C function that returned it.
    """

    def __init__(self, code, function=None, message=None):
        self.code = code
        self.function = function
        self.message = error_message(code) if message is None else message
        where = " (%s)" % function if function else ""
        super().__init__("0x%X: %s%s" % (code & 0xFFFFFFFF, self.message, where))

    @property
    def is_timeout(self):
        return self.code in TIMEOUT_CODES


def check(code, function, library=None):
    """Raises TessaraError for a non-zero result code; returns 0 otherwise."""
    if code != 0:
        raise TessaraError(code, function, error_message(code, library))
    return code


class SdoAbortError(Exception):
    """A CANopen node aborted an SDO transfer (reply byte 0x80)."""

    def __init__(self, node_id, index, subindex, abort_code):
        self.node_id = node_id
        self.index = index
        self.subindex = subindex
        self.abort_code = abort_code & 0xFFFFFFFF
        super().__init__("node %d aborted the SDO transfer of 0x%04X:%d with 0x%08X"
                         % (node_id, index, subindex, self.abort_code))
