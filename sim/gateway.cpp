// Gateway simulator: endpoints, per-connection threads, link control, the
// receive log and the test controls. The device model is in model.cpp.
// Simulator layer.
#include "gateway.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "model.h"
#include "protocol/commands.h"
#include "protocol/telegram.h"
#include "transport/platform.h"

namespace tes::sim {

namespace {

constexpr uint16_t kWordConnect = CommandWord(Cmd::CONNECT);
constexpr uint16_t kWordDisconnect = CommandWord(Cmd::DISCONNECT);
constexpr uint16_t kWordAlive = CommandWord(Cmd::ALIVE);

// A client that reads nothing may hold a send this long before the
// connection is given up.
constexpr int64_t kSendTimeoutMs = 5000;
constexpr size_t kReadChunk = 65536;
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

std::vector<uint8_t> U32Bytes(uint32_t value) {
    std::vector<uint8_t> out;
    AppendU32(&out, value);
    return out;
}

}  // namespace

// ---------------------------------------------------------------- values

uint16_t Telegram::Command() const {
    return oBytes.size() >= 4 ? GetU16(&oBytes[2]) : 0;
}
uint16_t Telegram::Id() const {
    return oBytes.size() >= 6 ? GetU16(&oBytes[4]) : 0;
}

std::vector<uint8_t> Telegram::Data() const {
    if (oBytes.size() < kTelegramOverhead) return {};
    return std::vector<uint8_t>(oBytes.begin() + 6, oBytes.end() - 1);
}

bool Telegram::IsWellFormed() const {
    TelegramView view;
    return view.Parse(oBytes.data(), oBytes.size()) && view.ChecksumMatches();
}

std::vector<uint8_t> MakeConfirmation(const Request& request, uint8_t result,
                                      const std::vector<uint8_t>& payload) {
    return MakeConfirmation(request.nCommand, request.nTelegramId, result, payload);
}

// ---------------------------------------------------------------- internals

namespace {

// A socket closed when its last user lets go, so that no thread ever works on
// a descriptor number the system has handed out again.
struct SocketRef {
    sys::Socket h;
    std::mutex oWrite;  // one writer at a time keeps telegrams whole on a stream
    explicit SocketRef(sys::Socket s) : h(s) {}
    ~SocketRef() { sys::CloseSocket(h); }
    SocketRef(const SocketRef&) = delete;
    SocketRef& operator=(const SocketRef&) = delete;
};

struct Conn {
    ConnectionInfo oInfo;
    sys::PeerAddress oPeer;
    std::shared_ptr<SocketRef> pSocket;  // TCP: its own; UDP: the endpoint's; null when finished
    bool bStopReading = false;
    bool bFrozen = false;  // FreezeConnection: nothing handled or sent any more
    bool bThreadDone = false;
    uint64_t nTelegrams = 0;  // received, for GatewayOptions::nDropAfterTelegrams
    std::thread oThread;      // TCP only
    // Wakes the TCP reader when the connection is closed or the gateway
    // stops (a local shutdown does not make a socket readable everywhere);
    // released with the reader, so a finished connection holds nothing.
    std::unique_ptr<sys::Waker> pWaker;
};
using ConnPtr = std::shared_ptr<Conn>;

struct Listener {
    uint8_t nCanPort = 0;
    int nTransport = 0;
    uint16_t nPort = 0;
    std::shared_ptr<SocketRef> pSocket;
    std::thread oThread;
};

}  // namespace

struct Gateway::Impl {
    // One mutex guards everything below; sends happen outside it, under the
    // socket's own write mutex (taken first when both are needed).
    mutable std::mutex oMutex;
    std::condition_variable oCond;
    uint64_t nEpoch = 0;     // bumped on every change WaitFor may look at
    uint64_t nSchedule = 0;  // bumped when the timer thread's work may have changed
    sys::Waker oStopWaker;   // wakes the endpoint threads waiting in WaitReadable
    bool bRunning = false;
    bool bStopping = false;
    GatewayOptions oOptions;
    std::vector<std::unique_ptr<Listener>> oListeners;
    std::vector<ConnPtr> oConns;
    std::deque<Telegram> oLog;
    std::map<uint16_t, ScriptFunction> oScripts;
    std::function<void(const GatewayEvent&)> oHook;
    std::shared_ptr<WireTap> pTap;  // set before Start, read without the lock
    std::unique_ptr<Model> pModel;
    std::vector<std::pair<uint8_t, uint8_t>> oNodes;  // (CAN port, node id)
    std::thread oTimer;
    int64_t nNextAliveMs = 0;
    size_t nRestarts = 0;

    // Lock held.
    void Changed() {
        ++nEpoch;
        oCond.notify_all();
    }
    void Rescheduled() {
        ++nSchedule;
        Changed();
    }
    ConnPtr Find(size_t index) const { return index < oConns.size() ? oConns[index] : nullptr; }

    // Waits `ms` unless the gateway stops first; false when it stops.
    bool Pause(uint32_t ms) {
        std::unique_lock<std::mutex> lock(oMutex);
        return !oCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return bStopping; });
    }

    void Emit(GatewayEvent::Kind kind, const ConnectionInfo& info,
              const std::vector<uint8_t>* bytes = nullptr) {
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

    bool IsOpen(const ConnPtr& c) const {
        std::lock_guard<std::mutex> lock(oMutex);
        return c->oInfo.bOpen;
    }

    // Closes a connection from the gateway's side; false if it was closed.
    bool Close(const ConnPtr& c) {
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
    bool SendPieces(const ConnPtr& c, const uint8_t* bytes, size_t length,
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

    bool Send(const ConnPtr& c, const std::vector<uint8_t>& bytes) {
        return SendPieces(c, bytes.data(), bytes.size(), {}, 0);
    }

    // An answer to a request: the configured delay, then the bytes.
    void Reply(const ConnPtr& c, const std::vector<uint8_t>& bytes) {
        uint32_t delay;
        {
            std::lock_guard<std::mutex> lock(oMutex);
            delay = oOptions.nReplyDelayMs;
        }
        if (delay > 0 && !Pause(delay)) return;
        if (!Send(c, bytes)) return;
        ConnectionInfo info;
        {
            std::lock_guard<std::mutex> lock(oMutex);
            if (!oHook) return;
            info = c->oInfo;
        }
        Emit(GatewayEvent::Kind::kAnswered, info, &bytes);
    }

    void Deliver(const std::vector<Delivery>& deliveries) {
        for (const Delivery& d : deliveries) {
            ConnPtr c;
            {
                std::lock_guard<std::mutex> lock(oMutex);
                c = Find(d.nConnection);
            }
            if (c) Send(c, d.oBytes);
        }
    }

    void CloseAll() {
        std::vector<ConnPtr> open;
        {
            std::lock_guard<std::mutex> lock(oMutex);
            for (const ConnPtr& c : oConns)
                if (c->oInfo.bOpen) open.push_back(c);
        }
        for (const ConnPtr& c : open) Close(c);
    }

    // Lock held. Open connections of a CAN port whose CONNECT was accepted.
    size_t LinkedOnPort(uint8_t canPort) const {
        size_t n = 0;
        for (const ConnPtr& c : oConns)
            if (c->oInfo.bOpen && c->oInfo.bLinked && c->oInfo.nCanPort == canPort) ++n;
        return n;
    }

    void HandleTelegram(const ConnPtr& c, const uint8_t* bytes, size_t length);
    void Answer(const ConnPtr& c, const Request& request);
    void TcpReader(const ConnPtr& c);
    void AcceptLoop(Listener* listener);
    void UdpLoop(Listener* listener);
    void TimerLoop();
    void AddTcpConnection(const Listener& listener, sys::Socket socket,
                          const sys::PeerAddress& peer);
    ConnPtr UdpConnection(const Listener& listener, const sys::PeerAddress& from);
    void ReapFinished();
};

// ---------------------------------------------------------------- telegrams

void Gateway::Impl::HandleTelegram(const ConnPtr& c, const uint8_t* bytes, size_t length) {
    Telegram logged;
    logged.nTimeMs = sys::MonotonicMs();
    logged.oBytes.assign(bytes, bytes + length);
    TelegramView view;
    const bool parsed = view.Parse(bytes, length);
    ScriptFunction script;
    ConnectionInfo info;
    bool drop = false;
    bool freeze = false;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        if (c->bFrozen) return;  // read before the freeze: never handled
        ++c->nTelegrams;
        drop = oOptions.nDropAfterTelegrams != 0 && c->nTelegrams >= oOptions.nDropAfterTelegrams;
        if (oOptions.nFreezeAfterTelegrams != 0 &&
            c->nTelegrams >= oOptions.nFreezeAfterTelegrams) {
            freeze = true;
            c->bFrozen = c->bStopReading = true;
        }
        logged.nConnection = c->oInfo.nIndex;
        oLog.push_back(logged);
        if (oOptions.nMaxLogEntries != 0 && oLog.size() > oOptions.nMaxLogEntries) oLog.pop_front();
        if (parsed) {
            const auto it = oScripts.find(view.nCommand);
            if (it != oScripts.end()) script = it->second;
        }
        info = c->oInfo;
        Changed();
    }
    Emit(GatewayEvent::Kind::kTelegram, info, &logged.oBytes);
    if (drop) {
        Close(c);
        return;
    }
    if (freeze) return;
    if (!parsed) return;  // fewer than 7 bytes: nothing to answer

    Request request;
    request.nConnection = info.nIndex;
    request.nCanPort = info.nCanPort;
    request.nTransport = info.nTransport;
    request.nCommand = view.nCommand;
    request.nTelegramId = view.nTelegramId;
    request.oData.assign(view.pData, view.pData + view.nDataLength);
    request.oRaw = std::move(logged.oBytes);
    request.bChecksumOk = view.ChecksumMatches();

    if (script) {
        const std::optional<std::vector<uint8_t>> reply = script(request);
        if (reply) Reply(c, *reply);
    } else if (request.bChecksumOk) {
        // A corrupted telegram is dropped without an answer, as the device does.
        Answer(c, request);
    }
    std::lock_guard<std::mutex> lock(oMutex);
    Changed();
}

void Gateway::Impl::Answer(const ConnPtr& c, const Request& r) {
    const uint16_t word = r.nCommand;
    if (word == (kWordDisconnect | kConfirmationFlag)) {
        Close(c);  // the client confirmed the gateway's DISCONNECT
        return;
    }
    if ((word & kConfirmationFlag) != 0) return;  // answers to the gateway's own requests
    if (word == kWordConnect) {
        std::optional<uint8_t> answer;
        {
            std::lock_guard<std::mutex> lock(oMutex);
            answer = oOptions.oConnectAnswer;
            if (answer == uint8_t{0} && oOptions.nMaxLinksPerPort != 0 && !c->oInfo.bLinked &&
                LinkedOnPort(c->oInfo.nCanPort) >= oOptions.nMaxLinksPerPort) {
                answer = 1;  // maximum number of connections reached
            }
            if (answer == uint8_t{0}) c->oInfo.bLinked = true;
        }
        if (answer) Reply(c, MakeConfirmation(r, *answer));
        return;
    }
    if (word == kWordDisconnect) {
        std::optional<uint8_t> answer;
        {
            std::lock_guard<std::mutex> lock(oMutex);
            answer = oOptions.oDisconnectAnswer;
        }
        if (!answer) return;  // a silent gateway also keeps the connection
        Reply(c, MakeConfirmation(r, *answer));
        Close(c);
        return;
    }
    if (word == kWordAlive) {
        uint8_t result = 0xFF;  // no period in the request
        if (r.oData.size() >= 4) {
            result = 0;
            std::lock_guard<std::mutex> lock(oMutex);
            c->oInfo.nClientAliveMs = GetU32(r.oData.data());
        }
        Reply(c, MakeConfirmation(r, result));
        return;
    }

    ModelOutcome outcome;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        if (!pModel) return;
        outcome = pModel->Handle(c->oInfo.nIndex, word, r.nTelegramId, r.oData.data(),
                                 r.oData.size(), MonotonicUs());
        if (outcome.bRestart) {
            // Counted before the confirmation leaves, so that a client that
            // has it already sees the restart.
            ++nRestarts;
            pModel->Restart();
        }
        Rescheduled();
    }
    if (outcome.oReply) Reply(c, *outcome.oReply);
    Deliver(outcome.oDeliveries);
    if (outcome.bCloseConnection) Close(c);
    if (outcome.bRestart) CloseAll();
}

// ---------------------------------------------------------------- threads

void Gateway::Impl::TcpReader(const ConnPtr& c) {
    std::shared_ptr<SocketRef> socket;
    sys::Waker* waker;  // stays until this thread releases it at its end
    {
        std::lock_guard<std::mutex> lock(oMutex);
        socket = c->pSocket;
        waker = c->pWaker.get();
    }
    // Room for an incomplete telegram of the largest size plus one read.
    std::vector<uint8_t> buffer(kMaxTelegramSize + kReadChunk);
    size_t fill = 0;
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
            const long got = sys::Receive(socket->h, buffer.data() + fill, buffer.size() - fill);
            if (got == -2) continue;
            if (got <= 0) break;  // the client closed, or the socket failed
            if (pTap)
                pTap->Carried(c->oInfo.nIndex, true, &buffer[fill],
                              static_cast<size_t>(got));  // wire tap
            fill += static_cast<size_t>(got);

            // Cut telegrams: the length field counts the bytes after it.
            size_t start = 0;
            while (fill - start >= 2) {
                const size_t total = static_cast<size_t>(GetU16(&buffer[start])) + 2;
                if (fill - start < total) break;
                HandleTelegram(c, &buffer[start], total);
                start += total;
                if (!IsOpen(c)) {
                    more = false;
                    break;
                }
            }
            // Keep the incomplete rest at the front; it is shorter than the
            // largest telegram, so a whole read always fits behind it.
            if (start > 0) {
                std::memmove(buffer.data(), buffer.data() + start, fill - start);
                fill -= start;
            }
        }
    } catch (...) {
        // A failing script or an exhausted heap ends this connection only.
    }
    Close(c);
    for (int i = 0; i < kDrainReads; ++i) {
        if (sys::Receive(socket->h, buffer.data(), buffer.size()) <= 0) break;
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
                const size_t length = static_cast<size_t>(got);
                size_t offset = 0;
                while (offset + 2 < length) {
                    const size_t total = static_cast<size_t>(GetU16(&buffer[offset])) + 2;
                    if (length - offset < total) break;
                    HandleTelegram(c, &buffer[offset], total);
                    offset += total;
                    if (!IsOpen(c)) break;
                }
            } catch (...) {
                if (c) Close(c);
            }
        }
    }
}

void Gateway::Impl::TimerLoop() {
    std::unique_lock<std::mutex> lock(oMutex);
    while (!bStopping) {
        const int64_t nowMs = sys::MonotonicMs();
        const int64_t nowUs = MonotonicUs();
        int64_t nextUs = nowUs + 1000000;
        std::vector<Delivery> out;
        try {
            if (oOptions.nAliveMs != 0) {
                if (nowMs >= nNextAliveMs) {
                    const std::vector<uint8_t> request =
                        MakeTelegram(kWordAlive, 0, U32Bytes(oOptions.nAliveMs));
                    for (const ConnPtr& c : oConns)
                        if (c->oInfo.bOpen) out.push_back(Delivery{c->oInfo.nIndex, request});
                    nNextAliveMs = nowMs + std::max<int64_t>(oOptions.nAliveMs / 2, 10);
                }
                nextUs = std::min(nextUs, nowUs + (nNextAliveMs - nowMs) * 1000);
            }
            ModelOutcome outcome = pModel->Tick(nowUs);
            for (Delivery& d : outcome.oDeliveries) out.push_back(std::move(d));
            nextUs = std::min(nextUs, pModel->NextDueUs(nowUs));
        } catch (...) {
            out.clear();  // out of memory: try again on the next pass
        }
        const uint64_t seen = nSchedule;
        if (!out.empty()) {
            lock.unlock();
            Deliver(out);
            lock.lock();
        }
        const int64_t waitUs = std::max<int64_t>(nextUs - MonotonicUs(), 0);
        oCond.wait_for(lock, std::chrono::microseconds(waitUs),
                       [&] { return bStopping || nSchedule != seen; });
    }
}

// ---------------------------------------------------------------- Gateway

Gateway::Gateway() : p(new Impl) {}

Gateway::~Gateway() {
    Stop();
}

bool Gateway::Start(const GatewayOptions& options, std::string* error) {
    auto fail = [error](const std::string& text) {
        if (error != nullptr) *error = text;
        return false;
    };
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        if (p->bRunning) return fail("the gateway is already running");
    }
    if (options.oCanPorts.empty()) return fail("no CAN port given");
    if (!options.bTcp && !options.bUdp) return fail("neither TCP nor UDP is enabled");
    std::vector<uint8_t> ports = options.oCanPorts;
    std::sort(ports.begin(), ports.end());
    if (std::adjacent_find(ports.begin(), ports.end()) != ports.end())
        return fail("a CAN port is given twice");
    if (ports.back() > 99) return fail("CAN ports are 0 to 99");
    if (options.nBasePort != 0 && options.nBasePort + 100u * ports.back() > 0xFFFF)
        return fail("the base port leaves no room for the highest CAN port");
    for (const auto& bridge : options.oBridges) {
        const auto served = [&](uint8_t port) {
            return std::binary_search(ports.begin(), ports.end(), port);
        };
        if (bridge.first == bridge.second || !served(bridge.first) || !served(bridge.second)) {
            return fail("bridge " + std::to_string(bridge.first) + ":" +
                        std::to_string(bridge.second) + " needs two different served CAN ports");
        }
    }

    std::vector<std::unique_ptr<Listener>> listeners;
    for (uint8_t canPort : ports) {
        const uint16_t port =
            options.nBasePort == 0 ? 0 : static_cast<uint16_t>(options.nBasePort + 100u * canPort);
        for (int transport : {sys::kTransportTcp, sys::kTransportUdp}) {
            if (transport == sys::kTransportTcp ? !options.bTcp : !options.bUdp) continue;
            std::string reason;
            const sys::Socket s =
                sys::Listen(options.sBindAddress.c_str(), port, transport, &reason);
            if (s == sys::kNoSocket) {
                return fail("cannot bind " +
                            std::string(transport == sys::kTransportTcp ? "TCP " : "UDP ") +
                            options.sBindAddress + " port " + std::to_string(port) + ": " + reason);
            }
            auto listener = std::make_unique<Listener>();
            listener->nCanPort = canPort;
            listener->nTransport = transport;
            listener->pSocket = std::make_shared<SocketRef>(s);
            listener->nPort = sys::LocalPort(s);
            listeners.push_back(std::move(listener));
        }
    }

    std::unique_lock<std::mutex> lock(p->oMutex);
    if (p->bRunning) return fail("the gateway is already running");
    p->oOptions = options;
    p->oOptions.oCanPorts = ports;
    p->oLog.clear();
    p->oConns.clear();
    p->nRestarts = 0;
    p->nNextAliveMs = 0;
    p->pModel = std::make_unique<Model>(ports, options.nSerialNumber);
    for (const auto& bridge : options.oBridges) p->pModel->Bridge(bridge.first, bridge.second);
    const int64_t nowUs = MonotonicUs();
    for (const auto& node : p->oNodes) {
        ModelOutcome ignored;  // no connection is there to hear the boot-up
        p->pModel->AddNode(node.first, node.second, nowUs, &ignored);
    }
    p->oListeners = std::move(listeners);
    p->oStopWaker.Clear();
    p->bStopping = false;
    p->bRunning = true;
    try {
        for (auto& listener : p->oListeners) {
            Listener* l = listener.get();
            if (l->nTransport == sys::kTransportTcp) {
                l->oThread = std::thread([this, l] { p->AcceptLoop(l); });
            } else {
                l->oThread = std::thread([this, l] { p->UdpLoop(l); });
            }
        }
        p->oTimer = std::thread([this] { p->TimerLoop(); });
    } catch (const std::system_error& e) {
        lock.unlock();
        Stop();
        return fail(std::string("cannot start a thread: ") + e.what());
    }
    p->Changed();
    return true;
}

void Gateway::Stop() {
    std::vector<std::shared_ptr<SocketRef>> sockets;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        if (!p->bRunning || p->bStopping) return;
        p->bStopping = true;  // no connection is added from here on
        for (const ConnPtr& c : p->oConns) {
            if (c->pWaker) c->pWaker->Signal();
            if (c->pSocket && c->oInfo.nTransport == sys::kTransportTcp)
                sockets.push_back(c->pSocket);
        }
        p->Rescheduled();
    }
    p->oStopWaker.Signal();
    // Also frees senders blocked on a client that reads nothing.
    for (const auto& s : sockets) sys::ShutdownSocket(s->h);
    for (auto& listener : p->oListeners)
        if (listener->oThread.joinable()) listener->oThread.join();
    if (p->oTimer.joinable()) p->oTimer.join();

    std::vector<std::thread> readers;
    std::vector<ConnPtr> open;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        for (const ConnPtr& c : p->oConns) {
            if (c->oThread.joinable()) readers.push_back(std::move(c->oThread));
            if (c->oInfo.bOpen) open.push_back(c);
        }
    }
    for (std::thread& t : readers) t.join();
    for (const ConnPtr& c : open) p->Close(c);

    std::lock_guard<std::mutex> lock(p->oMutex);
    for (const ConnPtr& c : p->oConns) c->pSocket.reset();
    p->oListeners.clear();
    p->bRunning = false;
    p->bStopping = false;
    p->oStopWaker.Clear();
    p->Changed();
}

bool Gateway::Running() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return p->bRunning;
}

uint16_t Gateway::TcpPort(uint8_t canPort) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    for (const auto& l : p->oListeners)
        if (l->nCanPort == canPort && l->nTransport == sys::kTransportTcp) return l->nPort;
    return 0;
}

uint16_t Gateway::UdpPort(uint8_t canPort) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    for (const auto& l : p->oListeners)
        if (l->nCanPort == canPort && l->nTransport == sys::kTransportUdp) return l->nPort;
    return 0;
}

std::string Gateway::BindAddress() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return p->oOptions.sBindAddress;
}

void Gateway::SetConnectAnswer(std::optional<uint8_t> result) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oOptions.oConnectAnswer = result;
}

void Gateway::SetDisconnectAnswer(std::optional<uint8_t> result) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oOptions.oDisconnectAnswer = result;
}

void Gateway::SetReplyDelay(uint32_t ms) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oOptions.nReplyDelayMs = ms;
}

void Gateway::SetAliveRequests(uint32_t periodMs) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oOptions.nAliveMs = periodMs;
    p->nNextAliveMs = 0;
    p->Rescheduled();
}

bool Gateway::SendAliveRequest(size_t connection, uint32_t periodMs) {
    return SendTelegram(connection, kWordAlive, 0, U32Bytes(periodMs));
}

bool Gateway::SendDisconnectRequest(size_t connection) {
    return SendTelegram(connection, kWordDisconnect, 0);
}

bool Gateway::SendConnectRequest(size_t connection, const std::vector<uint8_t>& data) {
    return SendTelegram(connection, kWordConnect, 1, data);
}

std::vector<Telegram> Gateway::Log() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return std::vector<Telegram>(p->oLog.begin(), p->oLog.end());
}

std::vector<Telegram> Gateway::Received(size_t connection) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    std::vector<Telegram> out;
    for (const Telegram& t : p->oLog)
        if (t.nConnection == connection) out.push_back(t);
    return out;
}

void Gateway::ClearLog() {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oLog.clear();
    p->Changed();
}

bool Gateway::WaitFor(const std::function<bool()>& predicate, int64_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(std::max<int64_t>(timeoutMs, 0));
    std::unique_lock<std::mutex> lock(p->oMutex);
    for (;;) {
        const uint64_t seen = p->nEpoch;
        lock.unlock();
        if (predicate()) return true;
        lock.lock();
        if (!p->oCond.wait_until(lock, deadline, [&] { return p->nEpoch != seen; })) {
            lock.unlock();
            return predicate();
        }
    }
}

std::optional<Telegram> Gateway::WaitForCommand(uint16_t command, int64_t timeoutMs, size_t nth) {
    std::optional<Telegram> found;
    WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(p->oMutex);
            size_t seen = 0;
            for (const Telegram& t : p->oLog) {
                if (t.Command() == command && t.oBytes.size() >= 4 && seen++ == nth) {
                    found = t;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

size_t Gateway::CountCommand(uint16_t command) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return static_cast<size_t>(std::count_if(
        p->oLog.begin(), p->oLog.end(),
        [&](const Telegram& t) { return t.oBytes.size() >= 4 && t.Command() == command; }));
}

void Gateway::Script(uint16_t command, ScriptFunction script) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    if (script) {
        p->oScripts[command] = std::move(script);
    } else {
        p->oScripts.erase(command);
    }
}

void Gateway::ClearScripts() {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oScripts.clear();
}

bool Gateway::SendRaw(size_t connection, const std::vector<uint8_t>& bytes,
                      std::vector<size_t> splitPoints, uint32_t delayMsBetween) {
    std::sort(splitPoints.begin(), splitPoints.end());
    splitPoints.erase(std::unique(splitPoints.begin(), splitPoints.end()), splitPoints.end());
    splitPoints.erase(std::remove_if(splitPoints.begin(), splitPoints.end(),
                                     [&](size_t at) { return at == 0 || at >= bytes.size(); }),
                      splitPoints.end());
    ConnPtr c;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        c = p->Find(connection);
    }
    return c && p->SendPieces(c, bytes.data(), bytes.size(), splitPoints, delayMsBetween);
}

bool Gateway::SendTelegram(size_t connection, uint16_t command, uint16_t telegramId,
                           const std::vector<uint8_t>& data) {
    return SendRaw(connection, MakeTelegram(command, telegramId, data));
}

bool Gateway::DropConnection(size_t connection) {
    ConnPtr c;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        c = p->Find(connection);
    }
    return c && p->Close(c);
}

void Gateway::DropAll() {
    p->CloseAll();
}

void Gateway::SetStopReading(size_t connection, bool stop) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    if (ConnPtr c = p->Find(connection)) {
        c->bStopReading = stop;
        p->Changed();
    }
}

bool Gateway::FreezeConnection(size_t connection) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    ConnPtr c = p->Find(connection);
    if (!c || !c->oInfo.bOpen) return false;
    c->bFrozen = c->bStopReading = true;
    p->Changed();
    return true;
}

size_t Gateway::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return p->oConns.size();
}

size_t Gateway::OpenConnectionCount() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return static_cast<size_t>(std::count_if(p->oConns.begin(), p->oConns.end(),
                                             [](const ConnPtr& c) { return c->oInfo.bOpen; }));
}

std::optional<ConnectionInfo> Gateway::Connection(size_t connection) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    if (ConnPtr c = p->Find(connection)) return c->oInfo;
    return std::nullopt;
}

bool Gateway::WaitForConnections(size_t count, int64_t timeoutMs) {
    return WaitFor([&] { return ConnectionCount() >= count; }, timeoutMs);
}

bool Gateway::WaitForClosed(size_t connection, int64_t timeoutMs) {
    return WaitFor(
        [&] {
            const std::optional<ConnectionInfo> info = Connection(connection);
            return info && !info->bOpen;
        },
        timeoutMs);
}

bool Gateway::WaitForIdle(int64_t timeoutMs) {
    return WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(p->oMutex);
            return std::all_of(p->oConns.begin(), p->oConns.end(), [](const ConnPtr& c) {
                return !c->oInfo.bOpen && (c->bThreadDone || !c->oThread.joinable());
            });
        },
        timeoutMs);
}

size_t Gateway::RestartCount() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return p->nRestarts;
}

void Gateway::SetEventHook(std::function<void(const GatewayEvent&)> hook) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oHook = std::move(hook);
}

void Gateway::SetWireTap(std::shared_ptr<WireTap> tap) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->pTap = std::move(tap);
}

bool Gateway::InjectFrame(uint8_t canPort, uint32_t id, uint8_t flags,
                          const std::vector<uint8_t>& data) {
    ModelOutcome outcome;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        if (!p->bRunning || !p->pModel) return false;
        CanFrame frame;
        frame.nId = id;
        frame.nFlags = static_cast<uint8_t>(flags & ~kFlagTimestamp);
        frame.oData = data;
        if (!p->pModel->InjectFrame(canPort, frame, MonotonicUs(), &outcome)) return false;
        p->Rescheduled();
    }
    p->Deliver(outcome.oDeliveries);
    return true;
}

bool Gateway::AddNode(uint8_t nodeId, uint8_t canPort) {
    if (nodeId == 0 || nodeId > 127) return false;
    ModelOutcome outcome;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        const auto entry = std::make_pair(canPort, nodeId);
        if (std::find(p->oNodes.begin(), p->oNodes.end(), entry) != p->oNodes.end()) return false;
        if (p->bRunning && !p->pModel->AddNode(canPort, nodeId, MonotonicUs(), &outcome))
            return false;
        p->oNodes.push_back(entry);
        p->Rescheduled();
    }
    p->Deliver(outcome.oDeliveries);
    return true;
}

bool Gateway::EmitEmcy(uint8_t nodeId, uint16_t errorCode, uint8_t errorRegister,
                       const std::array<uint8_t, 5>& vendorBytes, uint8_t canPort) {
    ModelOutcome outcome;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        if (!p->bRunning) return false;
        const uint8_t vendor[5] = {vendorBytes[0], vendorBytes[1], vendorBytes[2], vendorBytes[3],
                                   vendorBytes[4]};
        if (!p->pModel->EmitEmcy(canPort, nodeId, errorCode, errorRegister, vendor, MonotonicUs(),
                                 &outcome))
            return false;
        p->Rescheduled();
    }
    p->Deliver(outcome.oDeliveries);
    return true;
}

bool Gateway::EmitPdo(uint8_t nodeId, uint8_t pdoNumber, const std::vector<uint8_t>& data,
                      uint8_t canPort) {
    ModelOutcome outcome;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        if (!p->bRunning) return false;
        if (!p->pModel->EmitPdo(canPort, nodeId, pdoNumber, data, MonotonicUs(), &outcome))
            return false;
        p->Rescheduled();
    }
    p->Deliver(outcome.oDeliveries);
    return true;
}

std::optional<uint8_t> Gateway::NodeState(uint8_t nodeId, uint8_t canPort) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    if (!p->pModel) return std::nullopt;
    return p->pModel->NodeState(canPort, nodeId);
}

void Gateway::SetDigitalInputs(uint32_t bits) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    if (p->pModel) p->pModel->SetDigitalInputs(bits);
}

uint32_t Gateway::DigitalOutputs() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return p->pModel ? p->pModel->DigitalOutputs() : 0;
}

bool Gateway::CanopenMode(uint8_t canPort) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return p->pModel && p->pModel->CanopenMode(canPort);
}

}  // namespace tes::sim
