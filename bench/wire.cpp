// Telegram encoding, frame payloads and the stream cutter of the benchmark.
#include "wire.h"

#include <cstring>

namespace bench {

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

std::vector<uint8_t> MakeTelegram(uint16_t command, uint16_t id, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out(data.size() + kOverhead);
    PutTelegram(out.data(), command, id, data.data(), data.size());
    return out;
}

void PutFramePayload(uint8_t* payload, uint32_t seq) {
    PutU32(payload, seq);
    payload[4] = 0;
    for (uint32_t i = 0; i < 8; ++i) payload[5 + i] = static_cast<uint8_t>(seq + i);
}

bool IsFrame(uint32_t identifier, const uint8_t* data, size_t length, int flags, uint32_t seq) {
    if (identifier != seq || length != 8 || flags != 0) return false;
    for (uint32_t i = 0; i < 8; ++i) {
        if (data[i] != static_cast<uint8_t>(seq + i)) return false;
    }
    return true;
}

StreamCutter::StreamCutter(size_t capacity)
    : oBuffer(new uint8_t[capacity]), nCapacity(capacity) {}

uint8_t* StreamCutter::Space(size_t* room) {
    constexpr size_t kLargest = 65537;
    if (nBegin == nEnd) {
        nBegin = nEnd = 0;
    } else if (nCapacity - nBegin < kLargest) {
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
    *view = View();
    if (total < kOverhead) return true;  // too short to be a telegram: skipped, not well formed
    view->nCommand = GetU16(p + 2);
    view->nId = GetU16(p + 4);
    view->pData = p + 6;
    view->nDataLength = total - kOverhead;
    view->bWellFormed = Checksum(view->nCommand, view->nId, view->pData, view->nDataLength) == p[total - 1];
    return true;
}

}  // namespace bench
