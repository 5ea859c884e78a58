// Telegram framing, the decoder, the stream cutter and the datagram walker of
// the wire oracle; the command names. Test wire oracle.
#include "wire/telegram.h"

#include <cstring>

namespace tes::wire {

const CommandName kCommandNames[] = {
    {kCmdConnect, "CONNECT"},
    {kCmdDisconnect, "DISCONNECT"},
    {kCmdWrite, "WRITE"},
    {kCmdSetConfig, "SET_CONFIG"},
    {kCmdSetGlobals, "SET_GLOBALS"},
    {kCmdGetGlobals, "GET_GLOBALS"},
    {kCmdInfo, "INFO"},
    {kCmdStatus, "STATUS"},
    {kCmdSetTime, "SET_TIME"},
    {kCmdClose, "CLOSE"},
    {kCmdAlive, "ALIVE"},
    {kCmdGetTime, "GET_TIME"},
    {kCmdSetFilter, "SET_FILTER"},
    {kCmdGetFilter, "GET_FILTER"},
    {kCmdGetPowerstatus, "GET_POWERSTATUS"},
    {kCmdSetPowerrelais, "SET_POWERRELAIS"},
    {kCmdSetPoweractivesupplies, "SET_POWERACTIVESUPPLIES"},
    {kCmdReadDigital, "READ_DIGITAL"},
    {kCmdWriteDigital, "WRITE_DIGITAL"},
    {kCmdReadAnalog, "READ_ANALOG"},
    {kCmdWriteAnalog, "WRITE_ANALOG"},
    {kCmdCanopenSetConfig, "CANOPEN_SET_CONFIG"},
    {kCmdCanopenGetConfig, "CANOPEN_GET_CONFIG"},
    {kCmdCanopenSyncMode, "CANOPEN_SYNC_MODE"},
    {kCmdCanopenNmt, "CANOPEN_NMT"},
    {kCmdCanopenSync, "CANOPEN_SYNC"},
    {kCmdCanopenTime, "CANOPEN_TIME"},
    {kCmdCanopenPdo, "CANOPEN_PDO"},
    {kCmdCanopenSdoRead, "CANOPEN_SDO_READ"},
    {kCmdCanopenSdoWrite, "CANOPEN_SDO_WRITE"},
    {kCmdCanopenSdoReadBlock, "CANOPEN_SDO_READ_BLOCK"},
    {kCmdCanopenSdoWriteBlock, "CANOPEN_SDO_WRITE_BLOCK"},
    {kIndCanFrame, "CAN_FRAME_IND"},
    {kIndSync, "CANOPEN_SYNC_IND"},
    {kIndEmcy, "CANOPEN_EMCY_IND"},
    {kIndPdo, "CANOPEN_PDO_IND"},
    {kIndGuard, "CANOPEN_GUARD_IND"},
    {kIndUndefined, "CANOPEN_UNDEFINED_IND"},
    {0, nullptr},
};

const char* NameOf(uint16_t word) {
    for (const CommandName* c = kCommandNames; c->sName != nullptr; ++c)
        if (CodeOf(c->nWord) == CodeOf(word)) return c->sName;
    return "UNKNOWN";
}

void AppendU16(Bytes* out, uint32_t value) {
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

void AppendU32(Bytes* out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out->push_back(static_cast<uint8_t>(value >> shift));
}

uint8_t Checksum(uint16_t command, uint16_t id, const uint8_t* data, size_t count) {
    uint8_t sum = static_cast<uint8_t>(command ^ (command >> 8) ^ id ^ (id >> 8));
    for (size_t i = 0; i < count; ++i) sum ^= data[i];
    return sum;
}

size_t PutTelegram(uint8_t* out, uint16_t command, uint16_t id, const uint8_t* data, size_t count) {
    PutU16(out, static_cast<uint32_t>(count + 5));
    PutU16(out + 2, command);
    PutU16(out + 4, id);
    if (count != 0) std::memcpy(out + 6, data, count);
    out[6 + count] = Checksum(command, id, data, count);
    return count + kOverhead;
}

Bytes MakeTelegram(uint16_t command, uint16_t id, const Bytes& data) {
    const size_t count = data.size() < kMaxData ? data.size() : kMaxData;
    Bytes out(count + kOverhead);
    PutTelegram(out.data(), command, id, data.data(), count);
    return out;
}

Bytes MakeConfirmation(uint16_t command, uint16_t id, uint8_t result, const Bytes& payload) {
    Bytes data;
    data.reserve(payload.size() + 1);
    data.push_back(result);
    data.insert(data.end(), payload.begin(), payload.end());
    return MakeTelegram(ConfirmationOf(command), id, data);
}

Bytes WithWrongChecksum(Bytes bytes) {
    if (bytes.size() >= kOverhead) bytes.back() = static_cast<uint8_t>(~bytes.back());
    return bytes;
}

bool Decode(const uint8_t* bytes, size_t size, View* view) {
    *view = View();
    view->pBytes = bytes;
    view->nSize = size;
    if (size >= 2) view->nLength = GetU16(bytes);
    if (size < kOverhead) return false;
    view->nCommand = GetU16(bytes + 2);
    view->nId = GetU16(bytes + 4);
    view->pData = bytes + 6;
    view->nDataLength = size - kOverhead;
    view->cChecksum = bytes[size - 1];
    view->bFramed = view->nLength == size - 2;
    view->bWellFormed = view->bFramed && Checksum(view->nCommand, view->nId, view->pData,
                                                  view->nDataLength) == view->cChecksum;
    return view->bWellFormed;
}

StreamCutter::StreamCutter(size_t capacity) : oBuffer(new uint8_t[capacity]), nCapacity(capacity) {}

uint8_t* StreamCutter::Space(size_t* room) {
    if (nBegin == nEnd) {
        nBegin = nEnd = 0;
    } else if (nCapacity - nBegin < kMaxTelegram) {
        std::memmove(oBuffer.get(), oBuffer.get() + nBegin, nEnd - nBegin);
        nEnd -= nBegin;
        nBegin = 0;
    }
    *room = nCapacity - nEnd;
    return oBuffer.get() + nEnd;
}

bool StreamCutter::Next(View* view) {
    if (nEnd - nBegin < 2) return false;
    const uint8_t* p = oBuffer.get() + nBegin;
    const size_t total = static_cast<size_t>(GetU16(p)) + 2;
    if (nEnd - nBegin < total) return false;
    nBegin += total;
    Decode(p, total, view);
    return true;
}

bool DatagramWalker::Next(View* view) {
    // Two bytes left over hold a length field at most, never a telegram.
    if (nOffset + 2 >= nSize) return false;
    const uint8_t* p = pBytes + nOffset;
    const size_t total = static_cast<size_t>(GetU16(p)) + 2;
    if (nSize - nOffset < total) {
        nOffset = nSize;
        return false;
    }
    nOffset += total;
    Decode(p, total, view);
    return true;
}

}  // namespace tes::wire
