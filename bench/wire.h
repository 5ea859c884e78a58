// Telegram bytes as the benchmark's peer and raw-socket client see them:
// their own encoder and stream cutter, independent of the library's, so the
// raw client does the same work the library does and nothing more. Benchmark.
//
//   offset 0    2 bytes  length = bytes after this field (n + 5), little-endian
//   offset 2    2 bytes  command word (bit 15: confirmation)
//   offset 4    2 bytes  telegram id
//   offset 6    n bytes  data
//   offset 6+n  1 byte   XOR of offsets 2 .. 5+n
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace bench {

constexpr uint16_t kCmdConnect = 0x0201;
constexpr uint16_t kCmdDisconnect = 0x0202;
constexpr uint16_t kCmdWrite = 0x0203;  // also the word of a received frame (CAN_FRAME_IND)
constexpr uint16_t kCmdSetConfig = 0x0205;
constexpr uint16_t kCmdSetGlobals = 0x0207;
constexpr uint16_t kCmdGetGlobals = 0x0208;
constexpr uint16_t kConfirmation = 0x8000;

constexpr size_t kOverhead = 7;
constexpr size_t kFramePayload = 13;                    // identifier 4, flags 1, data 8
constexpr size_t kFrameTelegram = kOverhead + kFramePayload;  // 20 bytes on the wire
constexpr size_t kGlobalsReplyData = 9;                 // result, mode, baud 4, three flags
constexpr size_t kWriteConfirmationData = 9;            // result, seconds 4, microseconds 4

inline void PutU16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint8_t Checksum(uint16_t command, uint16_t id, const uint8_t* data, size_t count);
// Writes one telegram (count + 7 bytes) to `out`; returns its size.
size_t PutTelegram(uint8_t* out, uint16_t command, uint16_t id, const uint8_t* data, size_t count);
std::vector<uint8_t> MakeTelegram(uint16_t command, uint16_t id, const std::vector<uint8_t>& data);

// The frame every scenario writes and receives as number `seq`: identifier
// seq, flags 0, data bytes seq + 0 .. seq + 7 (low 8 bits).
void PutFramePayload(uint8_t* payload, uint32_t seq);
// True when (identifier, data, length, flags) is frame number `seq`.
bool IsFrame(uint32_t identifier, const uint8_t* data, size_t length, int flags, uint32_t seq);

// One complete telegram inside a cutter's buffer; valid until the next call
// on that cutter.
struct View {
    uint16_t nCommand = 0;
    uint16_t nId = 0;
    const uint8_t* pData = nullptr;
    size_t nDataLength = 0;
    bool bWellFormed = false;  // length field >= 5 and checksum right
};

// Cuts a byte stream into telegrams: receive into Space, Commit what came,
// then take telegrams with Next until it returns false.
class StreamCutter {
public:
    explicit StreamCutter(size_t capacity = 1 << 18);
    // Room for the next receive; moves a partial telegram to the front when
    // less than a largest telegram would fit behind it.
    uint8_t* Space(size_t* room);
    void Commit(size_t count) { nEnd += count; }
    bool Next(View* view);
    size_t Pending() const { return nEnd - nBegin; }
    void Reset() { nBegin = nEnd = 0; }

private:
    // Not value-initialised: pages become resident only as data arrives.
    std::unique_ptr<uint8_t[]> oBuffer;
    size_t nCapacity;
    size_t nBegin = 0;
    size_t nEnd = 0;
};

}  // namespace bench
