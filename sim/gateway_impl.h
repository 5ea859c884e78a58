// The gateway simulator's inner state, shared by the files that implement
// it: gateway.cpp (start, stop, endpoints), gateway_sockets.cpp (accepting,
// reading, cutting and sending), gateway_requests.cpp (link control, the
// model's answers and the timer) and gateway_controls.cpp (what tests and
// the program steer and read). Included by those files only. Simulator layer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "gateway.h"
#include "model.h"
#include "transport/platform.h"

namespace tes::sim {

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

inline std::vector<uint8_t> U32Bytes(uint32_t value) {
    std::vector<uint8_t> out;
    AppendU32(&out, value);
    return out;
}

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
              const std::vector<uint8_t>* bytes = nullptr);

    bool IsOpen(const ConnPtr& c) const {
        std::lock_guard<std::mutex> lock(oMutex);
        return c->oInfo.bOpen;
    }

    // Closes a connection from the gateway's side; false if it was closed.
    bool Close(const ConnPtr& c);

    // Sends bytes in pieces cut at `splits` (ascending offsets inside the
    // block), pausing between them. A TCP send that does not complete ends
    // the connection, since its stream can no longer be cut correctly.
    bool SendPieces(const ConnPtr& c, const uint8_t* bytes, size_t length,
                    const std::vector<size_t>& splits, uint32_t pauseMs);

    bool Send(const ConnPtr& c, const std::vector<uint8_t>& bytes);

    // An answer to a request: the configured delay, then the bytes.
    void Reply(const ConnPtr& c, const std::vector<uint8_t>& bytes);

    void Deliver(const std::vector<Delivery>& deliveries);

    void CloseAll();

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

}  // namespace tes::sim
