// Command words of the gateway protocol written out as literals, so that the
// simulator and the tests check the library's command table against numbers
// of their own. Test wire oracle.
#pragma once

#include <cstdint>

namespace tes::wire {

// High byte of every command word of the CAN client (its device type).
constexpr uint8_t kDeviceTypeCan = 2;
// Bit 15 marks a confirmation; the rest is the request's word.
constexpr uint16_t kConfirmation = 0x8000;

constexpr uint16_t ConfirmationOf(uint16_t request) {
    return static_cast<uint16_t>(request | kConfirmation);
}
// Bits 0-7 of a command word.
constexpr uint8_t CodeOf(uint16_t word) {
    return static_cast<uint8_t>(word & 0xFF);
}

// Link control (either side may request).
constexpr uint16_t kCmdConnect = 0x0201;
constexpr uint16_t kCmdDisconnect = 0x0202;
constexpr uint16_t kCmdAlive = 0x020D;

// CAN port commands.
constexpr uint16_t kCmdWrite = 0x0203;
constexpr uint16_t kCmdSetConfig = 0x0205;
constexpr uint16_t kCmdSetGlobals = 0x0207;
constexpr uint16_t kCmdGetGlobals = 0x0208;
constexpr uint16_t kCmdSetTime = 0x020B;
constexpr uint16_t kCmdClose = 0x020C;
constexpr uint16_t kCmdGetTime = 0x020E;
constexpr uint16_t kCmdSetFilter = 0x0220;
constexpr uint16_t kCmdGetFilter = 0x0221;
constexpr uint16_t kCmdGetPowerstatus = 0x0222;
constexpr uint16_t kCmdSetPowerrelais = 0x0223;
constexpr uint16_t kCmdSetPoweractivesupplies = 0x0224;

// Device commands.
constexpr uint16_t kCmdInfo = 0x0209;
constexpr uint16_t kCmdStatus = 0x020A;
constexpr uint16_t kCmdReadDigital = 0x0240;
constexpr uint16_t kCmdWriteDigital = 0x0241;
constexpr uint16_t kCmdReadAnalog = 0x0242;
constexpr uint16_t kCmdWriteAnalog = 0x0243;

// CANopen commands.
constexpr uint16_t kCmdCanopenSetConfig = 0x0260;
constexpr uint16_t kCmdCanopenGetConfig = 0x0261;
constexpr uint16_t kCmdCanopenSyncMode = 0x0262;
constexpr uint16_t kCmdCanopenNmt = 0x0263;
constexpr uint16_t kCmdCanopenSync = 0x0264;
constexpr uint16_t kCmdCanopenTime = 0x0265;
constexpr uint16_t kCmdCanopenPdo = 0x0267;
constexpr uint16_t kCmdCanopenSdoRead = 0x0268;
constexpr uint16_t kCmdCanopenSdoWrite = 0x0269;
constexpr uint16_t kCmdCanopenSdoReadBlock = 0x026A;
constexpr uint16_t kCmdCanopenSdoWriteBlock = 0x026B;

// Unsolicited telegrams from the gateway (never with the confirmation bit);
// three share their word with a request.
constexpr uint16_t kIndCanFrame = 0x0203;
constexpr uint16_t kIndSync = 0x0264;
constexpr uint16_t kIndEmcy = 0x0266;
constexpr uint16_t kIndPdo = 0x0267;
constexpr uint16_t kIndGuard = 0x026C;
constexpr uint16_t kIndUndefined = 0x026D;

struct CommandName {
    uint16_t nWord;
    const char* sName;
};

// Every word above with the protocol's name for it, requests before
// indications; nullptr-terminated by sName.
extern const CommandName kCommandNames[];

// The protocol's name of a command code (bits 0-7 of `word`); for a code
// that serves a request and an indication, the request's. "UNKNOWN" for
// codes the protocol does not use.
const char* NameOf(uint16_t word);

}  // namespace tes::wire
