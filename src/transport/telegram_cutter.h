// Cutting received bytes into telegrams by their length fields: the TCP
// stream buffer of the receive thread and the walk through one datagram.
// Transport layer; kept apart from the socket code so that it can be driven
// with arbitrary bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "protocol/telegram.h"

namespace tes {

// The receive buffer of a TCP link. Bytes are received into Space() and then
// announced with Received(), which hands every telegram completed by them to
// a handler, in stream order, as (bytes, total size). A partial telegram
// stays in the buffer until the bytes that complete it arrive.
class CStreamCutter {
public:
    // 128 KiB: a partial telegram that begins late in the buffer plus a
    // whole largest one (65 537 bytes), so data is moved only rarely.
    static constexpr size_t kBufferSize = 0x20000;

    CStreamCutter() : pBuffer(new uint8_t[kBufferSize]) {}

    uint8_t* Space() { return pBuffer.get() + nFill; }
    // Never 0: a held partial telegram always leaves room for its rest.
    size_t SpaceSize() const { return kBufferSize - nFill; }
    // Bytes held that belong to no complete telegram yet.
    size_t Held() const { return nFill - nStart; }

    // True when the bytes held begin with a whole telegram: one that a
    // handler declined (see Received) and that waits to be handled.
    bool HoldsWhole() const { return nFill - nStart >= 2 && nFill - nStart >= LeadingTotal(); }
    // Forgets every byte held (a new link).
    void Reset() { nStart = nFill = 0; }

    // `count` bytes (at most SpaceSize()) were written at Space(). A handler
    // that returns bool declines a telegram with false: cutting stops there,
    // and that telegram and the ones after it stay held for the next call
    // (which may announce 0 bytes).
    template <typename Handler>
    void Received(size_t count, Handler&& handle) {
        nFill += count;
        while (nFill - nStart >= 2) {
            const uint32_t total = LeadingTotal();
            if (nFill - nStart < total) break;
            const uint8_t* telegram = pBuffer.get() + nStart;
            if constexpr (std::is_same_v<decltype(handle(telegram, total)), bool>) {
                if (!handle(telegram, total)) break;
            } else {
                handle(telegram, total);
            }
            nStart += total;
        }
        if (nStart == nFill) {
            nStart = nFill = 0;
        } else if (nStart + kMaxTelegramSize > kBufferSize) {
            // The partial telegram might not fit where it is: move it to the front.
            std::memmove(pBuffer.get(), pBuffer.get() + nStart, nFill - nStart);
            nFill -= nStart;
            nStart = 0;
        }
    }

private:
    // 32 bits: a length field of 65534 or 65535 announces more than 16 bits hold.
    uint32_t LeadingTotal() const {
        return static_cast<uint32_t>(GetU16(pBuffer.get() + nStart)) + 2;
    }

    std::unique_ptr<uint8_t[]> pBuffer;
    size_t nFill = 0;   // bytes held
    size_t nStart = 0;  // first unprocessed byte
};

// Walks one datagram, which may hold several telegrams back to back, and
// hands each whole one to `handle`; a telegram cut short ends the datagram.
template <typename Handler>
void CutDatagram(const uint8_t* bytes, size_t size, Handler&& handle) {
    size_t offset = 0;
    while (size - offset > 2) {
        const uint32_t total = static_cast<uint32_t>(GetU16(bytes + offset)) + 2;
        if (size - offset >= total) handle(bytes + offset, total);
        offset += total < size - offset ? total : size - offset;
    }
}

}  // namespace tes
