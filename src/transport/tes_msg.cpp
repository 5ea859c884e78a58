// The connection's link-control telegram object. Transport layer.
#include "transport/tes_msg.h"

#include "protocol/telegram.h"

namespace tes {

CTesMsg::CTesMsg(const uint8_t* data, uint16_t count, uint16_t command, uint16_t telegramId)
    : nCommand(command), nTelegramId(telegramId) {
    if (data != nullptr && count != 0) oData.assign(data, data + count);
    nLength = static_cast<uint16_t>(oData.size() + 5);
    cChecksum = CalcChecksum();
}

bool CTesMsg::IsValid() const {
    return oData.size() + 5 == nLength;
}

uint8_t CTesMsg::CalcChecksum() const {
    return TelegramChecksum(nCommand, nTelegramId, oData.data(), oData.size());
}

std::vector<uint8_t> CTesMsg::ToBytes() const {
    return TelegramBytes(nLength, nCommand, nTelegramId, oData, cChecksum);
}

bool CTesMsg::FromBytes(const uint8_t* bytes, size_t count) {
    TelegramView view;
    const bool whole = view.Parse(bytes, count);
    *this = CTesMsg();
    if (count < kTelegramOverhead) return false;
    nLength = static_cast<uint16_t>(view.nLength);
    nCommand = view.nCommand;
    nTelegramId = view.nTelegramId;
    cChecksum = view.cChecksum;
    oData.assign(view.pData, view.pData + view.nDataLength);
    return whole;
}

}  // namespace tes
