// The simulator's side of the wire: the CAN frame value that its bus, its
// CANopen nodes and its connections pass around, and the telegram builders
// and field readers of the wire oracle under the simulator's names.
// Simulator layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/telegram.h"

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
    uint32_t nIdentifier = 0;
    uint8_t cFlags = 0;  // kFlagTimestamp is never set here: receivers add it
    std::vector<uint8_t> oData;
};

using wire::AppendU16;
using wire::AppendU32;
using wire::GetU16;
using wire::GetU32;
using wire::MakeConfirmation;
using wire::MakeTelegram;
using wire::WithWrongChecksum;

// Microseconds of a clock that never jumps; the simulator's time base.
int64_t MonotonicUs();

}  // namespace tes::sim
