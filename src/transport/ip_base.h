// Socket layer: the socket, connection state, transport type and partner
// address of one link, and the transport's opening. Transport layer.
#pragma once

#include <atomic>
#include <cstdint>

#include "transport/platform.h"

namespace tes {

// Connection states; CANDeviceConnectState reports them unchanged.
enum ConnState : int32_t {
    kStateClosed = 1,
    kStateConnecting = 2,
    kStateConnected = 3,
    kStateDisconnecting = 4,
    kStateNoStack = 6,
};

class CTesIPBase {
public:
    CTesIPBase();
    virtual ~CTesIPBase();
    CTesIPBase(const CTesIPBase&) = delete;
    CTesIPBase& operator=(const CTesIPBase&) = delete;

    int32_t State() const { return nState.load(std::memory_order_acquire); }

protected:
    // Opens the transport within `timeoutMs`: result 1 with a connected
    // socket and the partner's address, else 2 or 3 with state 1 and no
    // socket open.
    int OpenTransport(const char* host, uint16_t port, int transport, uint32_t timeoutMs);
    // Releases the socket (after every thread that used it has stopped).
    void ReleaseSocket();

    std::atomic<int32_t> nState{kStateClosed};
    int32_t nTransport = sys::kTransportTcp;
    sys::Socket hSocket = sys::kNoSocket;
    sys::PeerAddress oPeerAddress;

private:
    bool bStackStarted = false;
};

}  // namespace tes
