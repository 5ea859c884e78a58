// Telegram framing and the command table. Protocol layer.
#include "protocol/telegram.h"

#include <cstring>

#include "protocol/commands.h"

namespace tes {

const char* CommandText(Cmd cmd) {
    // Indications share codes with requests and carry no text, so the first
    // row with a text for the code is the request's.
#define TES_CMD_LOOKUP(name, code, text) \
    if (static_cast<uint8_t>(cmd) == (code) && (text) != nullptr) return text;
    TES_COMMAND_TABLE(TES_CMD_LOOKUP)
#undef TES_CMD_LOOKUP
    return nullptr;
}

uint8_t TelegramChecksum(uint16_t command, uint16_t telegramId, const uint8_t* data, size_t count) {
    // XOR does not care where a byte sits: eight bytes at a time are folded
    // into one word, which is folded to a byte at the end (this runs on
    // every frame written and every telegram read).
    uint64_t wide = 0;
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        wide ^= word;
    }
    uint32_t narrow = static_cast<uint32_t>(wide ^ (wide >> 32));
    if (i + 4 <= count) {
        uint32_t word;
        std::memcpy(&word, data + i, 4);
        narrow ^= word;
        i += 4;
    }
    // At most three bytes are left.
    if (i + 2 <= count) {
        uint16_t word;
        std::memcpy(&word, data + i, 2);
        narrow ^= word;
        i += 2;
    }
    if (i < count) narrow ^= data[i];
    narrow ^= narrow >> 16;
    const uint8_t sum = static_cast<uint8_t>(narrow ^ (narrow >> 8));
    return static_cast<uint8_t>(sum ^ command ^ (command >> 8) ^ telegramId ^ (telegramId >> 8));
}

size_t EncodeTelegram(uint8_t* out, uint16_t command, uint16_t telegramId, const uint8_t* data,
                      size_t count) {
    if (count != 0) std::memcpy(out + 6, data, count);
    return SealTelegram(out, command, telegramId, count);
}

size_t SealTelegram(uint8_t* out, uint16_t command, uint16_t telegramId, size_t count) {
    PutU16(out, static_cast<uint32_t>(count + 5));
    PutU16(out + 2, command);
    PutU16(out + 4, telegramId);
    out[6 + count] = TelegramChecksum(command, telegramId, out + 6, count);
    return count + kTelegramOverhead;
}

std::vector<uint8_t> TelegramBytes(uint16_t length, uint16_t command, uint16_t telegramId,
                                   const std::vector<uint8_t>& data, uint8_t checksum) {
    std::vector<uint8_t> out(static_cast<size_t>(length) + 2);
    PutU16(out.data(), length);
    if (out.size() >= 6) {
        PutU16(out.data() + 2, command);
        PutU16(out.data() + 4, telegramId);
    }
    const size_t room = out.size() >= kTelegramOverhead ? out.size() - kTelegramOverhead : 0;
    const size_t n = data.size() < room ? data.size() : room;
    if (n != 0) std::memcpy(out.data() + 6, data.data(), n);
    if (out.size() >= kTelegramOverhead) out.back() = checksum;
    return out;
}

CTessaraMsg::CTessaraMsg(const uint8_t* data, uint16_t count, uint16_t command, uint16_t telegramId)
    : nLength(static_cast<uint16_t>(count + 5)), nCommand(command), nTelegramId(telegramId) {
    if (data != nullptr && count != 0) oData.assign(data, data + count);
    nLength = static_cast<uint16_t>(oData.size() + 5);
    cChecksum = CalcChecksum();
}

CTessaraMsg::CTessaraMsg(const TelegramView& view)
    : oData(view.pData, view.pData + view.nDataLength),
      nLength(static_cast<uint16_t>(view.nLength)),
      nCommand(view.nCommand),
      nTelegramId(view.nTelegramId),
      cChecksum(view.cChecksum) {}

bool CTessaraMsg::IsValid() const { return static_cast<uint16_t>(oData.size() + 5) == nLength; }

uint8_t CTessaraMsg::CalcChecksum() const {
    return TelegramChecksum(nCommand, nTelegramId, oData.data(), oData.size());
}

std::vector<uint8_t> CTessaraMsg::ToBytes() const {
    return TelegramBytes(nLength, nCommand, nTelegramId, oData, cChecksum);
}

bool CTessaraMsg::FromBytes(const uint8_t* bytes, size_t count) {
    TelegramView view;
    view.Parse(bytes, count);
    *this = count < kTelegramOverhead ? CTessaraMsg() : CTessaraMsg(view);
    return count >= kTelegramOverhead && IsValid();
}

}  // namespace tes
