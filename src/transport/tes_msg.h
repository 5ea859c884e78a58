// The connection's own telegram object for its link control (CONNECT,
// DISCONNECT, ALIVE). Transport layer; same wire format as the client's
// CTessaraMsg, framed with the same functions (protocol/telegram.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tes {

class CTesMsg {
public:
    uint16_t nLength = 5;
    uint16_t nCommand = 0;
    uint16_t nTelegramId = 0;
    uint8_t cChecksum = 0;
    std::vector<uint8_t> oData;

    CTesMsg() = default;
    // Copies `count` data bytes (none for a null pointer); length and
    // checksum follow from the fields.
    CTesMsg(const uint8_t* data, uint16_t count, uint16_t command, uint16_t telegramId);
    virtual ~CTesMsg() = default;
    CTesMsg(const CTesMsg&) = default;
    CTesMsg& operator=(const CTesMsg&) = default;

    // True when the data length plus 5 equals the length field.
    virtual bool IsValid() const;
    uint8_t CalcChecksum() const;
    bool ChecksumMatches() const { return CalcChecksum() == cChecksum; }

    // length + 2 bytes in wire order, with the stored checksum.
    std::vector<uint8_t> ToBytes() const;
    // Parses one complete telegram of `count` bytes; false for fewer than 7
    // bytes (the object is then empty) or an inconsistent length.
    bool FromBytes(const uint8_t* bytes, size_t count);
};

}  // namespace tes
