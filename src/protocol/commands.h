// The gateway protocol's command codes, kept in one table; names, words and
// request texts are derived from it. Protocol layer.
#pragma once

#include <cstdint>

namespace tes {

// X(name, code, request text). Requests are sent by the library and answered
// with a confirmation; indications (_IND) come from the gateway unsolicited.
// Codes that serve both directions appear once per meaning.
#define TES_COMMAND_TABLE(X)                                                        \
    X(CONNECT, 0x01, nullptr)                                                       \
    X(DISCONNECT, 0x02, nullptr)                                                    \
    X(WRITE, 0x03, "WRITE requested to ")                                           \
    X(SET_CONFIG, 0x05, "SET_CONFIG requested to ")                                 \
    X(SET_GLOBALS, 0x07, "SET_GLOBALS requested to ")                               \
    X(GET_GLOBALS, 0x08, "GET_GLOBALS requested to ")                               \
    X(INFO, 0x09, "INFO requested to ")                                             \
    X(STATUS, 0x0A, "STATUS requested to ")                                         \
    X(SET_TIME, 0x0B, "SET_TIME requested to ")                                     \
    X(CLOSE, 0x0C, "CLOSE requested to ")                                           \
    X(ALIVE, 0x0D, nullptr)                                                         \
    X(GET_TIME, 0x0E, "GET_TIME requested to ")                                     \
    X(SET_FILTER, 0x20, "SET_FILTER requested to ")                                 \
    X(GET_FILTER, 0x21, "GET_FILTER requested to ")                                 \
    X(GET_POWERSTATUS, 0x22, "GET_POWERSTATUS requested to ")                       \
    X(SET_POWERRELAIS, 0x23, "SET_POWERRELAIS requested to ")                       \
    X(SET_POWERACTIVESUPPLIES, 0x24, "SET_POWERACTIVESUPPLIES requested to ")       \
    X(READ_DIGITAL, 0x40, "READ DIGITAL requested to ")                             \
    X(WRITE_DIGITAL, 0x41, "WRITE DIGITAL requested to ")                           \
    X(READ_ANALOG, 0x42, "READ ANALOG requested to ")                               \
    X(WRITE_ANALOG, 0x43, "WRITE ANALOG requested to ")                             \
    X(CANOPEN_SET_CONFIG, 0x60, "CANOPEN_SET_CONFIG requested to ")                 \
    X(CANOPEN_GET_CONFIG, 0x61, "CANOPEN_GET_CONFIG requested to ")                 \
    X(CANOPEN_SYNC_MODE, 0x62, "CANOPEN_SYNC_MODE requested to ")                   \
    X(CANOPEN_NMT, 0x63, "CANOPEN_NMT requested to ")                               \
    X(CANOPEN_SYNC, 0x64, "CANOPEN_SYNC requested to ")                             \
    X(CANOPEN_TIME, 0x65, "CANOPEN_TIME requested to ")                             \
    X(CANOPEN_PDO, 0x67, "CANOPEN_PDO requested to ")                               \
    X(CANOPEN_SDO_READ, 0x68, "CANOPEN_SDO_READ requested to ")                     \
    X(CANOPEN_SDO_WRITE, 0x69, "CANOPEN_SDO_WRITE requested to ")                   \
    X(CANOPEN_SDO_READ_BLOCK, 0x6A, "CANOPEN_SDO_READ_BLOCK requested to ")         \
    X(CANOPEN_SDO_WRITE_BLOCK, 0x6B, "CANOPEN_SDO_WRITE_BLOCK requested to ")       \
    X(CAN_FRAME_IND, 0x03, nullptr)                                                 \
    X(CANOPEN_SYNC_IND, 0x64, nullptr)                                              \
    X(CANOPEN_EMCY_IND, 0x66, nullptr)                                              \
    X(CANOPEN_PDO_IND, 0x67, nullptr)                                               \
    X(CANOPEN_GUARD_IND, 0x6C, nullptr)                                             \
    X(CANOPEN_UNDEFINED_IND, 0x6D, nullptr)

enum class Cmd : uint8_t {
#define TES_CMD_ENUM(name, code, text) name = code,
    TES_COMMAND_TABLE(TES_CMD_ENUM)
#undef TES_CMD_ENUM
};

// Device type of the CAN client: the high byte of its command words.
constexpr uint8_t kDeviceTypeCan = 2;
// Bit 15 of a command word marks a confirmation.
constexpr uint16_t kConfirmationFlag = 0x8000;

// Command word of a request for device type `deviceType`.
constexpr uint16_t CommandWord(Cmd cmd, uint8_t deviceType = kDeviceTypeCan) {
    return static_cast<uint16_t>(((deviceType & 0x7F) << 8) | static_cast<uint8_t>(cmd));
}

// Request text of a command (the text its trace line begins with), or null.
const char* CommandText(Cmd cmd);

}  // namespace tes
