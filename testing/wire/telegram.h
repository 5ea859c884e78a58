// Telegram bytes as the gateway protocol lays them out: little-endian field
// readers and writers, framing with the XOR checksum, one decoder, one stream
// cutter and one datagram walker. Written from the protocol's byte tables for
// the simulator, the benchmark and the tests, so that they check the library
// against an encoding that is not its own. Test wire oracle.
//
//   offset 0    2 bytes  length = bytes after this field (n + 5)
//   offset 2    2 bytes  command word (bits 0-7 code, 8-14 device type, 15 confirmation)
//   offset 4    2 bytes  telegram id (a confirmation carries its request's)
//   offset 6    n bytes  data (a confirmation's first byte is the result byte)
//   offset 6+n  1 byte   XOR of offsets 2 .. 5+n
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "wire/commands.h"

namespace tes::wire {

constexpr size_t kOverhead = 7;         // length, command, id, checksum
constexpr size_t kMaxData = 65530;      // 0xFFFF - 5: what a length field can describe
constexpr size_t kMaxTelegram = 65537;  // 0xFFFF + 2: the largest a length field announces

using Bytes = std::vector<uint8_t>;

// ---- little-endian fields, byte by byte on every host
inline uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutU16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void AppendU16(Bytes* out, uint32_t value);
void AppendU32(Bytes* out, uint32_t value);

// ---- framing
// XOR of the command word's and the id's bytes and every data byte.
uint8_t Checksum(uint16_t command, uint16_t id, const uint8_t* data, size_t count);
// Writes one telegram (count + 7 bytes) to `out`; returns its size. `count`
// must not exceed kMaxData.
size_t PutTelegram(uint8_t* out, uint16_t command, uint16_t id, const uint8_t* data, size_t count);
// A whole telegram; data beyond kMaxData is cut off.
Bytes MakeTelegram(uint16_t command, uint16_t id, const Bytes& data = {});
// The confirmation of `command` (the flag is added): result byte, then payload.
Bytes MakeConfirmation(uint16_t command, uint16_t id, uint8_t result, const Bytes& payload = {});
// The same bytes with the checksum byte inverted; runs under 7 bytes unchanged.
Bytes WithWrongChecksum(Bytes bytes);

// One piece of a byte run, read in place: valid while those bytes are.
struct View {
    const uint8_t* pBytes = nullptr;  // the whole piece, length field included
    size_t nSize = 0;
    uint16_t nLength = 0;  // the length field; 0 for pieces under 2 bytes
    uint16_t nCommand = 0;
    uint16_t nId = 0;
    const uint8_t* pData = nullptr;
    size_t nDataLength = 0;
    uint8_t cChecksum = 0;
    bool bFramed = false;      // at least 7 bytes and the length field agrees
    bool bWellFormed = false;  // framed and the checksum matches
};

// Reads `size` bytes as exactly one telegram. Header fields are filled from
// 7 bytes on, whatever the length field says; true when well formed.
bool Decode(const uint8_t* bytes, size_t size, View* view);
inline bool Decode(const Bytes& bytes, View* view) {
    return Decode(bytes.data(), bytes.size(), view);
}

// Cuts a byte stream at the length fields: receive into Space, Commit what
// came, then take pieces with Next until it returns false. A piece too short
// to be a telegram (length field under 5) is handed out too, not framed.
class StreamCutter {
public:
    // Room for a largest telegram plus one read of 64 KiB behind it.
    static constexpr size_t kDefaultCapacity = kMaxTelegram + 65536;

    explicit StreamCutter(size_t capacity = kDefaultCapacity);
    // Room for the next receive; moves a partial telegram to the front when
    // less than a largest telegram would fit behind its start. Pieces handed
    // out before are invalid from here on.
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

// Walks the telegrams packed back to back in one datagram. The walk ends at
// a telegram cut short by the datagram's end, or when no more than a length
// field is left.
class DatagramWalker {
public:
    DatagramWalker(const uint8_t* bytes, size_t size) : pBytes(bytes), nSize(size) {}
    bool Next(View* view);

private:
    const uint8_t* pBytes;
    size_t nSize;
    size_t nOffset = 0;
};

}  // namespace tes::wire
