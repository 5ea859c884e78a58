// CANopen service requests: mode, SYNC period, NMT, SYNC, TIME, PDO and the
// SDO transfers. CAN and CANopen command layer.
#include <algorithm>
#include <cstring>
#include <vector>

#include "can/client_can.h"
#include "protocol/commands.h"
#include "transport/trace.h"

namespace tes {

namespace {

// Reply byte at offset 1, then up to four value bytes taken unsigned.
void UnpackSdoReply(const std::vector<uint8_t>& d, SdoReply* reply) {
    if (d.size() < 2) return;
    reply->cReplyByte = d[1];
    reply->bReplyByteSet = true;
    if (d.size() < 3) return;
    uint32_t value = 0;
    const size_t n = std::min<size_t>(d.size() - 2, 4);
    for (size_t i = 0; i < n; ++i) value |= static_cast<uint32_t>(d[2 + i]) << (8 * i);
    reply->nValue = value;
    reply->bValueSet = true;
}

void PutSdoAddress(uint8_t* p, uint8_t nodeId, uint16_t index, uint8_t subindex,
                   uint16_t timeoutMs) {
    p[0] = nodeId;
    PutU16(p + 1, index);
    p[3] = subindex;
    PutU16(p + 4, timeoutMs);
}

}  // namespace

int32_t CTessaraClientCAN::SdoExchange(uint16_t command, const uint8_t* data, uint16_t length,
                                       uint16_t timeoutMs,
                                       std::unique_ptr<CTessaraMsg>* confirmation) {
    const int32_t wait = 2 * static_cast<int32_t>(timeoutMs);  // at most 131070 ms
    return QueryCommand(command, data, length, confirmation, &wait);
}

int32_t CTessaraClientCAN::CanopenSetConfig(uint8_t mode) {
    TES_TRACE("CANOPEN_SET_CONFIG requested to " << PeerAddressText()
                                                 << ", CANOpenModus=" << int(mode));
    return SimpleCommand(CommandWord(Cmd::CANOPEN_SET_CONFIG), &mode, 1);
}

int32_t CTessaraClientCAN::CanopenGetConfig(uint8_t* mode) {
    TES_TRACE("CANOPEN_GET_CONFIG requested to " << PeerAddressText());
    std::unique_ptr<CTessaraMsg> c;
    const int32_t result = QueryCommand(CommandWord(Cmd::CANOPEN_GET_CONFIG), nullptr, 0, &c);
    if (result == kOk) *mode = c->oData.size() >= 2 ? c->oData[1] : 0;
    return result;
}

int32_t CTessaraClientCAN::CanopenSetSyncMode(uint16_t periodTime) {
    TES_TRACE("CANOPEN_SYNC_MODE requested to " << PeerAddressText()
                                                << ", PeriodTime=" << periodTime);
    uint8_t data[2];
    PutU16(data, periodTime);
    return SimpleCommand(CommandWord(Cmd::CANOPEN_SYNC_MODE), data, sizeof data);
}

int32_t CTessaraClientCAN::CanopenSendNmt(uint8_t nodeId, uint8_t nmtType) {
    TES_TRACE("CANOPEN_NMT requested to " << PeerAddressText() << ", NodeID=" << int(nodeId)
                                          << ", NMTTyp=" << int(nmtType));
    const uint8_t data[2] = {nodeId, nmtType};
    return SimpleCommand(CommandWord(Cmd::CANOPEN_NMT), data, sizeof data);
}

int32_t CTessaraClientCAN::CanopenSendSync() {
    TES_TRACE("CANOPEN_SYNC requested to " << PeerAddressText());
    return SimpleCommand(CommandWord(Cmd::CANOPEN_SYNC), nullptr, 0);
}

int32_t CTessaraClientCAN::CanopenSendTime(uint16_t day, uint32_t ms) {
    TES_TRACE("CANOPEN_TIME requested to " << PeerAddressText() << ", Day=" << day
                                           << ", Ms=" << ms);
    uint8_t data[6];
    PutU16(data, day);
    PutU32(data + 2, ms);
    return SimpleCommand(CommandWord(Cmd::CANOPEN_TIME), data, sizeof data);
}

int32_t CTessaraClientCAN::CanopenSendPdo(uint8_t nodeId, uint8_t pdoType, uint8_t length,
                                          const uint8_t* data) {
    TES_TRACE("CANOPEN_PDO requested to " << PeerAddressText() << ", NodeID=" << int(nodeId)
                                          << ", PDOTyp=" << int(pdoType));
    uint8_t payload[2 + 255];
    payload[0] = nodeId;
    payload[1] = pdoType;
    if (length != 0) std::memcpy(payload + 2, data, length);
    return SimpleCommand(CommandWord(Cmd::CANOPEN_PDO), payload, static_cast<uint16_t>(2 + length));
}

int32_t CTessaraClientCAN::CanopenSendSdoRead(uint8_t nodeId, uint16_t index, uint8_t subindex,
                                              uint16_t timeoutMs, SdoReply* reply) {
    TES_TRACE("CANOPEN_SDO_READ requested to " << PeerAddressText() << ", NodeID=" << int(nodeId)
                                               << ", Index=" << index << ", Subindex="
                                               << int(subindex) << ", Timeout=" << timeoutMs);
    uint8_t data[6];
    PutSdoAddress(data, nodeId, index, subindex, timeoutMs);
    std::unique_ptr<CTessaraMsg> c;
    const int32_t result =
        SdoExchange(CommandWord(Cmd::CANOPEN_SDO_READ), data, sizeof data, timeoutMs, &c);
    if (result == kOk) UnpackSdoReply(c->oData, reply);
    return result;
}

int32_t CTessaraClientCAN::CanopenSendSdoWrite(uint8_t nodeId, uint8_t writeType, uint16_t index,
                                               uint8_t subindex, uint16_t timeoutMs,
                                               uint32_t value, SdoReply* reply) {
    TES_TRACE("CANOPEN_SDO_WRITE requested to "
              << PeerAddressText() << ", SDOWriteTyp=" << int(writeType) << ", NodeID="
              << int(nodeId) << ", Index=" << index << ", Subindex=" << int(subindex)
              << ", Timeout=" << timeoutMs);
    uint8_t data[11];
    data[0] = nodeId;
    data[1] = writeType;
    PutU16(data + 2, index);
    data[4] = subindex;
    PutU16(data + 5, timeoutMs);
    PutU32(data + 7, value);
    std::unique_ptr<CTessaraMsg> c;
    const int32_t result =
        SdoExchange(CommandWord(Cmd::CANOPEN_SDO_WRITE), data, sizeof data, timeoutMs, &c);
    if (result == kOk) UnpackSdoReply(c->oData, reply);
    return result;
}

int32_t CTessaraClientCAN::CanopenSendSdoReadBlock(uint8_t nodeId, uint16_t index,
                                                   uint8_t subindex, uint16_t timeoutMs,
                                                   uint16_t bufferSize, uint8_t* buffer,
                                                   uint8_t* replyByte, uint16_t* blockLength) {
    TES_TRACE("CANOPEN_SDO_READ_BLOCK requested to "
              << PeerAddressText() << ", NodeID=" << int(nodeId) << ", Index=" << index
              << ", Subindex=" << int(subindex) << ", Timeout=" << timeoutMs);
    uint8_t data[6];
    PutSdoAddress(data, nodeId, index, subindex, timeoutMs);
    std::unique_ptr<CTessaraMsg> c;
    const int32_t result =
        SdoExchange(CommandWord(Cmd::CANOPEN_SDO_READ_BLOCK), data, sizeof data, timeoutMs, &c);
    if (result != kOk || c->oData.size() < 2) return result;
    *replyByte = c->oData[1];
    const uint16_t n = static_cast<uint16_t>(std::min<size_t>(c->oData.size() - 2, bufferSize));
    if (n != 0) std::memcpy(buffer, c->oData.data() + 2, n);
    *blockLength = n;
    return kOk;
}

int32_t CTessaraClientCAN::CanopenSendSdoWriteBlock(uint8_t nodeId, uint16_t index,
                                                    uint8_t subindex, uint16_t timeoutMs,
                                                    uint16_t length, const uint8_t* data,
                                                    SdoReply* reply) {
    TES_TRACE("CANOPEN_SDO_WRITE_BLOCK requested to "
              << PeerAddressText() << ", NodeID=" << int(nodeId) << ", Index=" << index
              << ", Subindex=" << int(subindex) << ", Timeout=" << timeoutMs);
    if (static_cast<size_t>(length) + 6 > kMaxTelegramData) return kResultInvalidParameter;
    std::vector<uint8_t> payload(6 + static_cast<size_t>(length));
    PutSdoAddress(payload.data(), nodeId, index, subindex, timeoutMs);
    if (length != 0) std::memcpy(payload.data() + 6, data, length);
    std::unique_ptr<CTessaraMsg> c;
    const int32_t result = SdoExchange(CommandWord(Cmd::CANOPEN_SDO_WRITE_BLOCK), payload.data(),
                                       static_cast<uint16_t>(payload.size()), timeoutMs, &c);
    if (result == kOk) UnpackSdoReply(c->oData, reply);
    return result;
}

}  // namespace tes
