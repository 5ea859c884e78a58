// The library's result codes: one table of number, name and English message
// from which the enum and the message rows are made. Protocol layer (the
// request engine produces most of them; the interface hands the texts out).
#pragma once

#include <cstdint>

namespace tes {

// X(name, code, text), in the order the messages are searched. Codes are
// unique; two texts occur under two codes. The texts are handed to
// applications as they stand, spelling included.
#define TES_RESULT_TABLE(X)                                                                  \
    X(kOk, 0x0, "no error")                                                                  \
    X(kResultSocketError, 0x20000, "TCP/IP socket error")                                    \
    X(kResultNotConnected, 0x30000, "Not connected to TCP/IP partner")                       \
    X(kResultTimeout, 0x40000, "TCP/IP timeout occured")                                     \
    X(kResultNotAllowed, 0x50000, "TCP/IP request not allowed now, stack is intializing")    \
    X(kResultNoStack, 0x60000, "TCP/IP stack is not initialized")                            \
    X(kResultBadChecksum, 0xa0000, "Tessara TCP/IP telegram has invalid CRC")                \
    X(kResultNotConfirmed, 0xb0000, "Tessara TCP/IP telegram is not confirmed by partner")   \
    X(kResultNoResultByte, 0xc0000, "Tessara TCP/IP telegram confirmation is invalid")       \
    X(kResultInvalidHandle, 0x900000, "Device handle is invalid")                            \
    X(kResultInvalidDeviceType, 0x910000,                                                    \
      "Device type invalid (handle is connected device type, which does not support called " \
      "function")                                                                            \
    X(kResultInvalidParameter, 0x920000, "Invalid function parameter")                       \
    X(kResultRefused, 0x1, "Open failed, maximum number of connections reached")             \
    X(kResultEepromFailed, 0x2, "Read/write request to internal eeprom failed")              \
    X(kResultFailed, 0xff, "Tessara command failed")                                         \
    X(kResultI2cNack, 0x120, "I2C NACK (No Acknowledge)")                                    \
    X(kResultI2cTimeout, 0x121, "I2C timeout occured (no response)")                         \
    X(kResultI2cPollTimeout, 0x125, "I2C Acknowledge Polling timeout occured")               \
    X(kResultCanNack, 0x220, "CAN NACK (No Acknowledge)")                                    \
    X(kResultCanTransmitError, 0x221, "CAN transmit error")                                  \
    X(kResultCanOverflow, 0x222, "CAN buffer overflow")                                      \
    X(kResultCanLostArbitration, 0x223, "CAN lost arbitration")                              \
    X(kResultCanBadBaudrate, 0x224, "CAN no valid baudrate")                                 \
    X(kResultCanopenBlockTimeout, 0x2fc, "CANOpen block timeout")                            \
    X(kResultCanopenNack, 0x2fd, "CANOpen NACK (No Acknowledge)")                            \
    X(kResultCanopenOff, 0x2fe, "CANOpen mode not switched on")                              \
    X(kResultSpiBadData, 0x320, "SPI inconsistent telegram data")                            \
    X(kResultSpiSendError, 0x321, "SPI error while sending")                                 \
    X(kResultSpiUnknownOpCode, 0x330, "SPI sequence unknown command op code")                \
    X(kResultSpiTimeout, 0x331, "SPI sequence timeout")                                      \
    X(kResultFlashTimeout, 0x920, "Renesas timeout")                                         \
    X(kResultFlashInvalidId, 0x921, "Renesas invalid ID")                                    \
    X(kResultFlashEraseFailed, 0x922, "Renesas failed erase the flash")                      \
    X(kResultFlashProgramFailed, 0x923, "Renesas program the page failed")                   \
    X(kResultDisplaySizeX, 0xa20, "Display wrong bitmap size x")                             \
    X(kResultDisplaySizeY, 0xa21, "Display wrong bitmap size y")                             \
    X(kResultDisplaySizeData, 0xa22, "Display wrong bitmap size data")                       \
    X(kResultFileOpenFailed, 0xd20, "File could not be opened")                              \
    X(kResultFileIncomplete, 0xd21, "File transfer did not complete successfully")           \
    X(kResultFileCrcMismatch, 0xd22, "File CRC mismatch")                                    \
    X(kResultConfigActive, 0xd23, "Requested configuration is already active")               \
    X(kResultConfigStopFailed, 0xd24, "Could not stop configuration")                        \
    X(kResultConfigStartFailed, 0xd25, "Could not start configuration")                      \
    X(kResultTargetFileOpenFailed, 0xe20, "File could not be opened")                        \
    X(kResultTargetBusy, 0xe21, "A transfer currently is in progress")                       \
    X(kResultTargetInitFailed, 0xe22, "SetConfig failed to initialize target")               \
    X(kResultTargetSizeFailed, 0xe23, "SetConfig failed to read Flash or Page size")         \
    X(kResultTargetNoEraseBlock, 0xe24, "EraseBlock not supported")                          \
    X(kResultTargetEraseFailed, 0xe25, "Failed to erase target")                             \
    X(kResultTargetReadFailed, 0xe26, "Failed to read data from target")

enum ResultCode : int32_t {
#define TES_RESULT_ENUM(name, code, text) name = code,
    TES_RESULT_TABLE(TES_RESULT_ENUM)
#undef TES_RESULT_ENUM
};

}  // namespace tes
