// Socket layer: opening and releasing the transport of one link.
#include "transport/ip_base.h"

namespace tes {

CTesIPBase::CTesIPBase() {
    bStackStarted = sys::StartSocketLibrary();
    if (!bStackStarted) nState.store(kStateNoStack);
}

CTesIPBase::~CTesIPBase() {
    ReleaseSocket();
    sys::StopSocketLibrary();  // one reference per object, also after a failed start
}

int CTesIPBase::OpenTransport(const char* host, uint16_t port, int transport, uint32_t timeoutMs) {
    sys::Socket s = sys::kNoSocket;
    const int result = sys::ConnectAny(host, port, transport, timeoutMs, &s, &oPeerAddress);
    if (result != sys::kTrOk) {
        oPeerAddress = sys::PeerAddress();
        nState.store(kStateClosed);
        return result;
    }
    hSocket = s;
    return sys::kTrOk;
}

void CTesIPBase::ReleaseSocket() {
    if (hSocket == sys::kNoSocket) return;
    sys::CloseSocket(hSocket);
    hSocket = sys::kNoSocket;
}

}  // namespace tes
