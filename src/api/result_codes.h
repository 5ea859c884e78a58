// Result codes and their English messages. Library interface layer.
#pragma once

#include <cstdint>
#include <string>

namespace tes {

// X(code, text): searched in this order; two texts occur under two codes.
#define TES_RESULT_TABLE(X)                                                                      \
    X(0x0, "no error")                                                                           \
    X(0x20000, "TCP/IP socket error")                                                            \
    X(0x30000, "Not connected to TCP/IP partner")                                                \
    X(0x40000, "TCP/IP timeout occured")                                                         \
    X(0x50000, "TCP/IP request not allowed now, stack is intializing")                           \
    X(0x60000, "TCP/IP stack is not initialized")                                                \
    X(0xa0000, "Tessara TCP/IP telegram has invalid CRC")                                        \
    X(0xb0000, "Tessara TCP/IP telegram is not confirmed by partner")                            \
    X(0xc0000, "Tessara TCP/IP telegram confirmation is invalid")                                \
    X(0x900000, "Device handle is invalid")                                                      \
    X(0x910000,                                                                                  \
      "Device type invalid (handle is connected device type, which does not support called "    \
      "function")                                                                                \
    X(0x920000, "Invalid function parameter")                                                    \
    X(0x1, "Open failed, maximum number of connections reached")                                 \
    X(0x2, "Read/write request to internal eeprom failed")                                       \
    X(0xff, "Tessara command failed")                                                            \
    X(0x120, "I2C NACK (No Acknowledge)")                                                        \
    X(0x121, "I2C timeout occured (no response)")                                                \
    X(0x125, "I2C Acknowledge Polling timeout occured")                                          \
    X(0x220, "CAN NACK (No Acknowledge)")                                                        \
    X(0x221, "CAN transmit error")                                                               \
    X(0x222, "CAN buffer overflow")                                                              \
    X(0x223, "CAN lost arbitration")                                                             \
    X(0x224, "CAN no valid baudrate")                                                            \
    X(0x2fc, "CANOpen block timeout")                                                            \
    X(0x2fd, "CANOpen NACK (No Acknowledge)")                                                    \
    X(0x2fe, "CANOpen mode not switched on")                                                     \
    X(0x320, "SPI inconsistent telegram data")                                                   \
    X(0x321, "SPI error while sending")                                                          \
    X(0x330, "SPI sequence unknown command op code")                                             \
    X(0x331, "SPI sequence timeout")                                                             \
    X(0x920, "Renesas timeout")                                                                  \
    X(0x921, "Renesas invalid ID")                                                               \
    X(0x922, "Renesas failed erase the flash")                                                   \
    X(0x923, "Renesas program the page failed")                                                  \
    X(0xa20, "Display wrong bitmap size x")                                                      \
    X(0xa21, "Display wrong bitmap size y")                                                      \
    X(0xa22, "Display wrong bitmap size data")                                                   \
    X(0xd20, "File could not be opened")                                                         \
    X(0xd21, "File transfer did not complete successfully")                                      \
    X(0xd22, "File CRC mismatch")                                                                \
    X(0xd23, "Requested configuration is already active")                                        \
    X(0xd24, "Could not stop configuration")                                                     \
    X(0xd25, "Could not start configuration")                                                    \
    X(0xe20, "File could not be opened")                                                         \
    X(0xe21, "A transfer currently is in progress")                                              \
    X(0xe22, "SetConfig failed to initialize target")                                            \
    X(0xe23, "SetConfig failed to read Flash or Page size")                                      \
    X(0xe24, "EraseBlock not supported")                                                         \
    X(0xe25, "Failed to erase target")                                                           \
    X(0xe26, "Failed to read data from target")

// The version text DLLInfo hands out.
constexpr const char* kVersionText = "Tessara CAN DLL V1.11-2.13";

// Message of a result code: the table row, else the row of the code with
// bits 8-15 cleared, else "Unknown error code: " and the code in decimal.
std::string MessageForResultCode(int32_t code);

// Number of rows of the message table.
size_t ResultTableSize();
// Code of row `index` (for checks over the whole table).
int32_t ResultTableCode(size_t index);

// Copies `text` into a caller's buffer, cut to size - 1 characters, with a
// terminating zero; returns the bytes written, or 0 for a null buffer or a
// size of 0 or less.
int32_t CopyText(const std::string& text, char* buffer, int64_t size);

}  // namespace tes
