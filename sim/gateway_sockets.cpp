// Gateway simulator, socket plumbing: the accept and datagram loops, one
// reader thread per TCP connection cutting its stream with the wire oracle,
// sends in whole or in pieces, and closing. Simulator layer.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "gateway_impl.h"
#include "wire/telegram.h"

namespace tes::sim {

namespace {

// A client that reads nothing may hold a send this long before the
// connection is given up.
constexpr int64_t kSendTimeoutMs = 5000;
// Largest datagram IPv4 or IPv6 can carry, rounded up.
constexpr size_t kDatagramBuffer = 65536;
// Reads after a close that drain what the client still had in flight.
constexpr int kDrainReads = 64;
// Back-off when a wait reports readiness but nothing could be taken.
constexpr uint32_t kIdleBackoffMs = 10;

bool SamePeer(const sys::PeerAddress& a, const sys::PeerAddress& b) {
    return a.nLength == b.nLength && a.nLength > 0 &&
           a.nLength <= static_cast<int32_t>(sizeof a.oBytes) &&
           std::memcmp(a.oBytes, b.oBytes, static_cast<size_t>(a.nLength)) == 0;
}

}  // namespace

void Gateway::Impl::Emit(GatewayEvent::Kind kind, const ConnectionInfo& info,
                         const std::vector<uint8_t>* bytes) {
    std::function<void(const GatewayEvent&)> hook;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        hook = oHook;
    }
    if (!hook) return;
    GatewayEvent event;
    event.eKind = kind;
    event.oConnection = info;
    if (bytes != nullptr) event.oBytes = *bytes;
    hook(event);
}

// Closes a connection from the gateway's side; false if it was closed.
bool Gateway::Impl::Close(const ConnPtr& c) {
    std::shared_ptr<SocketRef> socket;
    ConnectionInfo info;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        if (!c->oInfo.bOpen) return false;
        c->oInfo.bOpen = false;
        if (pModel) pModel->CloseConnection(c->oInfo.nIndex);
        if (c->oInfo.nTransport == sys::kTransportTcp) {
            socket = c->pSocket;
        } else {
            c->pSocket.reset();  // the endpoint's socket stays open for others
            c->bThreadDone = true;
        }
        info = c->oInfo;
        if (c->pWaker) c->pWaker->Signal();  // the reader drains and lets the socket go
        Rescheduled();
    }
    if (socket) sys::ShutdownSocket(socket->h);
    if (pTap) pTap->Closed(info.nIndex);  // wire tap
    Emit(GatewayEvent::Kind::kClosed, info);
    return true;
}

// Sends bytes in pieces cut at `splits` (ascending offsets inside the
// block), pausing between them. A TCP send that does not complete ends
// the connection, since its stream can no longer be cut correctly.
bool Gateway::Impl::SendPieces(const ConnPtr& c, const uint8_t* bytes, size_t length,
                               const std::vector<size_t>& splits, uint32_t pauseMs) {
    std::shared_ptr<SocketRef> socket;
    int transport = 0;
    sys::PeerAddress peer;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        if (!c->oInfo.bOpen || !c->pSocket || c->bFrozen) return false;
        socket = c->pSocket;
        transport = c->oInfo.nTransport;
        peer = c->oPeer;
    }
    std::lock_guard<std::mutex> writer(socket->oWrite);
    size_t from = 0;
    for (size_t i = 0; i <= splits.size(); ++i) {
        const size_t to = i < splits.size() ? splits[i] : length;
        if (i > 0 && pauseMs > 0 && !Pause(pauseMs)) return false;
        if (pTap) pTap->Carried(c->oInfo.nIndex, false, bytes + from, to - from);  // wire tap
        bool ok;
        if (transport == sys::kTransportTcp) {
            ok = sys::SendStream(socket->h, bytes + from, to - from,
                                 sys::MonotonicMs() + kSendTimeoutMs) == sys::IoResult::kDone;
        } else {
            ok = sys::SendTo(socket->h, bytes + from, to - from, peer);
        }
        if (!ok) {
            if (transport == sys::kTransportTcp) Close(c);
            return false;
        }
        from = to;
    }
    return true;
}

bool Gateway::Impl::Send(const ConnPtr& c, const std::vector<uint8_t>& bytes) {
    return SendPieces(c, bytes.data(), bytes.size(), {}, 0);
}

void Gateway::Impl::CloseAll() {
    std::vector<ConnPtr> open;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        for (const ConnPtr& c : oConns)
            if (c->oInfo.bOpen) open.push_back(c);
    }
    for (const ConnPtr& c : open) Close(c);
}

void Gateway::Impl::TcpReader(const ConnPtr& c) {
    std::shared_ptr<SocketRef> socket;
    sys::Waker* waker;  // stays until this thread releases it at its end
    {
        std::lock_guard<std::mutex> lock(oMutex);
        socket = c->pSocket;
        waker = c->pWaker.get();
    }
    // Room for an incomplete telegram of the largest size plus one read.
    wire::StreamCutter cutter;
    try {
        for (bool more = true; more;) {
            {
                std::unique_lock<std::mutex> lock(oMutex);
                oCond.wait(lock, [&] { return bStopping || !c->oInfo.bOpen || !c->bStopReading; });
                if (bStopping || !c->oInfo.bOpen) break;
            }
            const sys::WaitResult wait = sys::WaitReadable(socket->h, *waker, -1);
            if (wait == sys::WaitResult::kWoken || wait == sys::WaitResult::kFailed) break;
            if (wait != sys::WaitResult::kReadable) continue;
            {
                std::lock_guard<std::mutex> lock(oMutex);
                if (bStopping) break;
                if (c->bStopReading) continue;
            }
            size_t room = 0;
            uint8_t* space = cutter.Space(&room);
            const long got = sys::Receive(socket->h, space, room);
            if (got == -2) continue;
            if (got <= 0) break;  // the client closed, or the socket failed
            if (pTap) pTap->Carried(c->oInfo.nIndex, true, space, static_cast<size_t>(got));  // wire tap
            cutter.Commit(static_cast<size_t>(got));
            wire::View piece;
            while (cutter.Next(&piece)) {
                HandleTelegram(c, piece.pBytes, piece.nSize);
                if (!IsOpen(c)) {
                    more = false;
                    break;
                }
            }
        }
    } catch (...) {
        // A failing script or an exhausted heap ends this connection only.
    }
    Close(c);
    cutter.Reset();
    size_t room = 0;
    uint8_t* sink = cutter.Space(&room);
    for (int i = 0; i < kDrainReads; ++i) {
        if (sys::Receive(socket->h, sink, room) <= 0) break;
    }
    std::shared_ptr<SocketRef> last;
    std::unique_ptr<sys::Waker> lastWaker;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        last = std::move(c->pSocket);
        lastWaker = std::move(c->pWaker);
    }
    // The descriptors close here (unless a sender still holds the socket for
    // a moment), before the connection counts as finished.
    last.reset();
    socket.reset();
    lastWaker.reset();
    std::lock_guard<std::mutex> lock(oMutex);
    c->bThreadDone = true;
    Changed();
}

void Gateway::Impl::AddTcpConnection(const Listener& listener, sys::Socket s,
                                     const sys::PeerAddress& peer) {
    auto c = std::make_shared<Conn>();
    c->pSocket = std::make_shared<SocketRef>(s);
    c->pWaker = std::make_unique<sys::Waker>();
    c->oPeer = peer;
    c->oInfo.nCanPort = listener.nCanPort;
    c->oInfo.nTransport = sys::kTransportTcp;
    c->oInfo.sPeer = sys::PeerAddressText(peer);
    c->oInfo.bOpen = true;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        if (bStopping) return;  // the socket closes with its last reference
        c->oInfo.nIndex = oConns.size();
        // Before the bus can send to it; the tap takes no lock of ours.
        if (pTap)
            pTap->Opened(c->oInfo.nIndex, sys::kTransportTcp, peer, listener.nPort);  // wire tap
        oConns.push_back(c);
        pModel->OpenConnection(c->oInfo.nIndex, c->oInfo.nCanPort);
        Changed();
    }
    // Announced before its reader can report the first telegram.
    Emit(GatewayEvent::Kind::kOpened, c->oInfo);
    std::lock_guard<std::mutex> lock(oMutex);
    try {
        if (bStopping) throw std::runtime_error("stopping");
        c->oThread = std::thread([this, c] { TcpReader(c); });
    } catch (...) {
        c->oInfo.bOpen = false;
        pModel->CloseConnection(c->oInfo.nIndex);
        c->pSocket.reset();
        c->pWaker.reset();
        c->bThreadDone = true;
        Changed();
    }
}

void Gateway::Impl::ReapFinished() {
    std::vector<std::thread> finished;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        for (const ConnPtr& c : oConns)
            if (c->bThreadDone && c->oThread.joinable()) finished.push_back(std::move(c->oThread));
    }
    for (std::thread& t : finished) t.join();
}

void Gateway::Impl::AcceptLoop(Listener* listener) {
    for (;;) {
        const sys::WaitResult wait = sys::WaitReadable(listener->pSocket->h, oStopWaker, -1);
        if (wait == sys::WaitResult::kWoken) return;
        bool accepted = false;
        if (wait == sys::WaitResult::kReadable) {
            for (;;) {
                sys::PeerAddress peer;
                const sys::Socket s = sys::Accept(listener->pSocket->h, &peer);
                if (s == sys::kNoSocket) break;
                accepted = true;
                AddTcpConnection(*listener, s, peer);
            }
        }
        ReapFinished();
        // Readable without a connection to take (descriptors exhausted, an
        // aborted connect) or a failed wait: do not spin.
        if (!accepted && !Pause(kIdleBackoffMs)) return;
    }
}

ConnPtr Gateway::Impl::UdpConnection(const Listener& listener, const sys::PeerAddress& from) {
    ConnPtr c;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        if (bStopping) return nullptr;
        for (auto it = oConns.rbegin(); it != oConns.rend(); ++it) {
            const Conn& k = **it;
            if (k.oInfo.bOpen && k.oInfo.nTransport == sys::kTransportUdp &&
                k.oInfo.nCanPort == listener.nCanPort && SamePeer(k.oPeer, from)) {
                return k.bStopReading ? nullptr : *it;
            }
        }
        c = std::make_shared<Conn>();
        c->pSocket = listener.pSocket;
        c->oPeer = from;
        c->oInfo.nIndex = oConns.size();
        c->oInfo.nCanPort = listener.nCanPort;
        c->oInfo.nTransport = sys::kTransportUdp;
        c->oInfo.sPeer = sys::PeerAddressText(from);
        c->oInfo.bOpen = true;
        if (pTap)
            pTap->Opened(c->oInfo.nIndex, sys::kTransportUdp, from, listener.nPort);  // wire tap
        oConns.push_back(c);
        pModel->OpenConnection(c->oInfo.nIndex, c->oInfo.nCanPort);
        Changed();
    }
    Emit(GatewayEvent::Kind::kOpened, c->oInfo);
    return c;
}

void Gateway::Impl::UdpLoop(Listener* listener) {
    std::vector<uint8_t> buffer(kDatagramBuffer);
    for (;;) {
        const sys::WaitResult wait = sys::WaitReadable(listener->pSocket->h, oStopWaker, -1);
        if (wait == sys::WaitResult::kWoken) return;
        if (wait != sys::WaitResult::kReadable) {
            if (!Pause(kIdleBackoffMs)) return;
            continue;
        }
        for (;;) {
            sys::PeerAddress from;
            const long got =
                sys::ReceiveFrom(listener->pSocket->h, buffer.data(), buffer.size(), &from);
            if (got == -2) break;
            if (got < 0) {
                if (!Pause(kIdleBackoffMs)) return;
                break;
            }
            ConnPtr c;
            try {
                c = UdpConnection(*listener, from);
                if (!c) continue;
                if (pTap)
                    pTap->Carried(c->oInfo.nIndex, true, buffer.data(),
                                  static_cast<size_t>(got));  // wire tap
                // Several telegrams may follow each other; one cut short
                // ends the datagram.
                wire::DatagramWalker walker(buffer.data(), static_cast<size_t>(got));
                wire::View piece;
                while (walker.Next(&piece)) {
                    HandleTelegram(c, piece.pBytes, piece.nSize);
                    if (!IsOpen(c)) break;
                }
            } catch (...) {
                if (c) Close(c);
            }
        }
    }
}

}  // namespace tes::sim
