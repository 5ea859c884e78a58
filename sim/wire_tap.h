// Observer of the bytes the simulated gateway's connections carry, as they go
// over the wire (captures). Simulator layer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/platform.h"

namespace tes::sim {

// Called on the gateway's threads, several at once; an implementation
// serialises itself. Outgoing bytes are reported just before they are sent,
// so that nothing the client answers can be reported ahead of them.
class WireTap {
public:
    virtual ~WireTap() = default;
    // A TCP connection was accepted, or a UDP sender's first datagram came
    // in; `localPort` is the gateway's endpoint.
    virtual void Opened(size_t connection, int transport, const sys::PeerAddress& client,
                        uint16_t localPort) = 0;
    virtual void Carried(size_t connection, bool fromClient, const uint8_t* bytes,
                         size_t length) = 0;
    virtual void Closed(size_t connection) = 0;
};

}  // namespace tes::sim
