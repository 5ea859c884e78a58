// Telegram framing: length, command word, telegram id, data, XOR checksum,
// all little-endian, and the client's telegram class. The wire format is the
// bottom of the library: the connection (transport/) frames its link-control
// telegrams with these functions too.
//
//   offset 0  2 bytes  length  = bytes after this field (n + 5)
//   offset 2  2 bytes  command word (bits 0-7 code, 8-14 device type, 15 confirmation)
//   offset 4  2 bytes  telegram id
//   offset 6  n bytes  data
//   offset 6+n 1 byte  checksum = XOR of offsets 2 .. 5+n
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tes {

constexpr size_t kTelegramOverhead = 7;     // length, command, id, checksum
constexpr size_t kMaxTelegramData = 65530;  // largest data part a length field can describe
constexpr size_t kMaxTelegramSize = 65537;  // largest total a length field can announce

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
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
// Lays a consistent telegram (its data length plus 5 equals its length
// field) out in wire order, stored checksum included, as ToBytes would, into
// `out` of `capacity` bytes, without allocating. Returns the byte count, or 0
// when the telegram is inconsistent or does not fit: then ToBytes is the way.
template <typename Telegram>
size_t LayOutTelegram(const Telegram& t, uint8_t* out, size_t capacity) {
    const size_t count = t.oData.size();
    if (count + 5 != t.nLength || count + kTelegramOverhead > capacity) return 0;
    PutU16(out, t.nLength);
    PutU16(out + 2, t.nCommand);
    PutU16(out + 4, t.nTelegramId);
    if (count != 0) std::memcpy(out + 6, t.oData.data(), count);
    out[6 + count] = t.cChecksum;
    return count + kTelegramOverhead;
}
// Copies the few data bytes of a frame or queue entry. Up to 32 bytes it
// uses two overlapping fixed-size moves, which beats the block move a memcpy
// of unknown length becomes; these copies sit on the write and receive paths
// of every frame.
inline void CopyFrameBytes(uint8_t* dst, const uint8_t* src, size_t n) {
    if (n > 32) {
        std::memcpy(dst, src, n);
    } else if (n >= 16) {
        std::memcpy(dst, src, 16);
        std::memcpy(dst + n - 16, src + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else if (n != 0) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    }
}

// XOR checksum over command word, telegram id and data.
uint8_t TelegramChecksum(uint16_t command, uint16_t telegramId, const uint8_t* data, size_t count);

// Writes one telegram into `out`, which must hold count + 7 bytes; returns the
// number of bytes written. `count` must not exceed kMaxTelegramData.
size_t EncodeTelegram(uint8_t* out, uint16_t command, uint16_t telegramId, const uint8_t* data,
                      size_t count);
// As EncodeTelegram for `count` data bytes that are already in place at
// out + 6: writes the header and the checksum around them.
size_t SealTelegram(uint8_t* out, uint16_t command, uint16_t telegramId, size_t count);
// The length + 2 bytes of a telegram object's fields in wire order, with the
// given (stored) checksum. Fields that disagree with the data are written as
// they say, without reading past the data.
std::vector<uint8_t> TelegramBytes(uint16_t length, uint16_t command, uint16_t telegramId,
                                   const std::vector<uint8_t>& data, uint8_t checksum);

// A received telegram read in place, without copying its data. Valid while
// the bytes it points into are.
struct TelegramView {
    uint32_t nLength = 5;  // the length field as received (32 bits: never truncated)
    uint16_t nCommand = 0;
    uint16_t nTelegramId = 0;
    const uint8_t* pData = nullptr;
    uint32_t nDataLength = 0;
    uint8_t cChecksum = 0;

    // Parses `count` bytes of one complete telegram. False for fewer than 7
    // bytes or when the data length disagrees with the length field.
    bool Parse(const uint8_t* bytes, size_t count) {
        if (count < kTelegramOverhead) {
            *this = TelegramView();
            return false;
        }
        nLength = GetU16(bytes);
        nCommand = GetU16(bytes + 2);
        nTelegramId = GetU16(bytes + 4);
        pData = bytes + 6;
        nDataLength = static_cast<uint32_t>(count - kTelegramOverhead);
        cChecksum = bytes[count - 1];
        return static_cast<uint64_t>(nDataLength) + 5 == nLength;
    }
    bool ChecksumMatches() const {
        return TelegramChecksum(nCommand, nTelegramId, pData, nDataLength) == cChecksum;
    }
};

// The client's telegram object: a value that owns its data bytes.
class CTessaraMsg {
public:
    std::vector<uint8_t> oData;
    uint16_t nLength = 5;
    uint16_t nCommand = 0;
    uint16_t nTelegramId = 0;
    uint8_t cChecksum = 0;

    CTessaraMsg() = default;
    // Copies `count` data bytes (none for a null pointer); count is 16-bit.
    CTessaraMsg(const uint8_t* data, uint16_t count, uint16_t command, uint16_t telegramId);
    explicit CTessaraMsg(const TelegramView& view);
    virtual ~CTessaraMsg() = default;
    CTessaraMsg(const CTessaraMsg&) = default;
    CTessaraMsg& operator=(const CTessaraMsg&) = default;
    CTessaraMsg(CTessaraMsg&&) = default;
    CTessaraMsg& operator=(CTessaraMsg&&) = default;

    // True when the data length plus 5 equals the length field; the checksum
    // is not looked at.
    virtual bool IsValid() const;
    // Checksum of the current fields; not stored.
    virtual uint8_t CalcChecksum() const;

    // length + 2 bytes in wire order, with the stored checksum.
    std::vector<uint8_t> ToBytes() const;
    // Parses one complete telegram of `count` bytes; false for fewer than 7
    // bytes (the object is then empty) or an inconsistent length.
    bool FromBytes(const uint8_t* bytes, size_t count);
};

}  // namespace tes
