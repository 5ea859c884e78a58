// Telegram byte builders and the CAN frame value that the gateway simulator
// passes between its bus, its CANopen nodes and its connections. Simulator layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tes::sim {

// Bits of the flags byte of WRITE requests and CAN frame indications.
constexpr uint8_t kFlagExtended = 0x01;   // 29-bit identifier
constexpr uint8_t kFlagRemote = 0x02;     // remote transmission request
constexpr uint8_t kFlagTimestamp = 0x04;  // 8 time stamp bytes follow the data

constexpr uint32_t kMaxStandardId = 0x7FF;
constexpr uint32_t kMaxExtendedId = 0x1FFFFFFF;
constexpr size_t kMaxFrameData = 64;

// One frame on the simulated bus.
struct CanFrame {
    uint32_t nId = 0;
    uint8_t nFlags = 0;  // kFlagTimestamp is never set here: receivers add it
    std::vector<uint8_t> oData;
};

// Whole telegram (length, command, id, data, checksum) as it goes on the wire.
// Data beyond the largest a length field can describe is cut off.
std::vector<uint8_t> MakeTelegram(uint16_t command, uint16_t telegramId,
                                  const std::vector<uint8_t>& data = {});

// Confirmation of `command` (the confirmation flag is added): the result byte
// followed by `payload`.
std::vector<uint8_t> MakeConfirmation(uint16_t command, uint16_t telegramId, uint8_t result,
                                      const std::vector<uint8_t>& payload = {});

// The same bytes with the checksum byte inverted, so that no receiver accepts
// them. Runs shorter than 7 bytes are returned unchanged.
std::vector<uint8_t> WithWrongChecksum(std::vector<uint8_t> bytes);

// Microseconds of a clock that never jumps; the simulator's time base.
int64_t MonotonicUs();

// Little-endian appenders for building payloads.
void AppendU16(std::vector<uint8_t>* out, uint32_t value);
void AppendU32(std::vector<uint8_t>* out, uint32_t value);

}  // namespace tes::sim
