// The raw-socket client: the physical limit the library is measured against.
// It does exactly the library's work on the wire (same connect, same
// telegrams, same ids, TCP_NODELAY and SO_KEEPALIVE) with one blocking socket
// and nothing else. Benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "wire.h"

namespace bench {

class RawLink {
public:
    RawLink() = default;
    ~RawLink() { Abandon(); }
    RawLink(const RawLink&) = delete;
    RawLink& operator=(const RawLink&) = delete;

    // TCP connect, then CONNECT (id 1) and SET_CONFIG (id 2) as the library's
    // open does; later requests take ids 3, 4, ...
    bool Open(const std::string& address, unsigned port, bool confirmData);
    // DISCONNECT (id 0) handshake, shutdown, close.
    bool Close();
    // Closes the socket without a handshake.
    void Abandon();

    bool SendAll(const uint8_t* bytes, size_t length);
    // Blocks until the next whole telegram; the view lasts until the next call.
    bool Read(View* view);
    // Sends one request with the next id and waits for its confirmation
    // (telegrams in between are skipped and counted in Skipped).
    bool Request(uint16_t command, const uint8_t* data, size_t length, View* confirmation);
    // GET_GLOBALS: the peer's count of good frames written on this link.
    bool GoodFrames(uint32_t* good);

    uint16_t TakeId() { return nNextId++; }
    int Fd() const { return nFd; }
    uint64_t Skipped() const { return nSkipped; }

private:
    bool Connect(const std::string& address, unsigned port);
    bool Exchange(uint16_t command, uint16_t id, const uint8_t* data, size_t length, View* confirmation);

    int nFd = -1;
    uint16_t nNextId = 1;
    uint64_t nSkipped = 0;
    StreamCutter oCutter{1 << 17};
};

}  // namespace bench
