// Telegram bytes as the benchmark's peer and raw-socket client see them: the
// wire oracle's encoder and stream cutter, independent of the library's, so
// the raw client does the same work the library does and nothing more; and
// the frames every scenario writes and receives. Benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/telegram.h"

namespace bench {

using tes::wire::GetU16;
using tes::wire::GetU32;
using tes::wire::MakeTelegram;
using tes::wire::PutTelegram;
using tes::wire::PutU16;
using tes::wire::PutU32;
using tes::wire::StreamCutter;
using tes::wire::View;

using tes::wire::kCmdConnect;
using tes::wire::kCmdDisconnect;
using tes::wire::kCmdGetGlobals;
using tes::wire::kCmdSetConfig;
using tes::wire::kCmdSetGlobals;
using tes::wire::kCmdWrite;  // also the word of a received frame
using tes::wire::kConfirmation;
using tes::wire::kOverhead;

constexpr size_t kFramePayload = 13;                          // identifier 4, flags 1, data 8
constexpr size_t kFrameTelegram = kOverhead + kFramePayload;  // 20 bytes on the wire
constexpr size_t kGlobalsReplyData = 9;                       // result, mode, baud 4, three flags
constexpr size_t kWriteConfirmationData = 9;                  // result, seconds 4, microseconds 4

// The frame every scenario writes and receives as number `seq`: identifier
// seq, flags 0, data bytes seq + 0 .. seq + 7 (low 8 bits).
void PutFramePayload(uint8_t* payload, uint32_t seq);
// True when (identifier, data, length, flags) is frame number `seq`.
bool IsFrame(uint32_t identifier, const uint8_t* data, size_t length, int flags, uint32_t seq);

}  // namespace bench
