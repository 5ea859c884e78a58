// Connection, socket side: connect and disconnect, dropping the link,
// sending, and the receive thread that cuts the stream (or each datagram)
// into telegrams. Transport layer.
#include "transport/ip_connection.h"

#include <algorithm>
#include <new>

#include "protocol/commands.h"
#include "protocol/telegram.h"
#include "transport/connection_threads.h"
#include "transport/telegram_cutter.h"

namespace tes {
namespace {

constexpr size_t kDatagramBufferSize = 0x10010;

int32_t MsLeft(int64_t deadline) {
    const int64_t left = deadline - sys::MonotonicMs();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(left);
}

}  // namespace

CTesIPConnection::CTesIPConnection() = default;

CTesIPConnection::~CTesIPConnection() {
    if (State() == kStateConnected) Disconnect(500);
    StopThreads();
    oWatch.Unwatch();
    ReleaseSocket();
}

bool CTesIPConnection::IsReceiveThread() const {
    return pReadThread && pReadThread->IsCurrent();
}

void CTesIPConnection::StopThreads() {
    StopAliveThread();
    if (pReadThread) {
        pReadThread->RequestStop();
        oWaker.Signal();
        oWaiterWaker.Signal();
        pReadThread->StopAndJoin();
    }
}

int CTesIPConnection::Connect(uint8_t deviceType, const std::vector<uint8_t>& connectData,
                              const char* host, uint16_t port, uint32_t timeoutMs, int transport,
                              bool linkControl) {
    const int32_t state = State();
    if (state == kStateNoStack) return sys::kTrNoStack;
    if (state != kStateClosed) return sys::kTrNotAllowed;
    if (transport != sys::kTransportTcp && transport != sys::kTransportUdp) {
        return sys::kTrSocketError;
    }
    nState.store(kStateConnecting);
    SetLinkCommands(deviceType);
    bLinkControl = linkControl;
    nTransport = transport;
    nAliveMode.store(0);
    oConnectEvent.Reset();
    const int64_t deadline = sys::MonotonicMs() + timeoutMs;

    // A receive thread of an earlier link must be gone before its socket is,
    // and so must a waiter reading it, which holds the reading role until
    // its time-out at most.
    if (pReadThread) {
        pReadThread->RequestStop();
        oWaker.Signal();
        pReadThread->StopAndJoin();
    }
    for (int free = kRoleFree; !nReadRole.compare_exchange_strong(free, kRoleReceiver);
         free = kRoleFree) {
        oRoleReturned.Wait(-1);
    }
    oWatch.Unwatch();
    ReleaseSocket();
    oWaker.Clear();
    oWaiterWaker.Clear();
    bHandedOver.store(false);
    if (transport == sys::kTransportTcp) {
        if (!pCutter) pCutter = std::make_unique<CStreamCutter>();
        pCutter->Reset();
    }
    nReadRole.store(kRoleFree, std::memory_order_release);

    const int opened = OpenTransport(host, port, transport, timeoutMs);
    if (opened != sys::kTrOk) return opened;
    oWatch.Watch(hSocket, oWaker);
    sPeerAddress = sys::PeerAddressText(oPeerAddress);
    sHost = host;
    nPort = port;
    nState.store(kStateConnected);

    // A link without its receive thread would deliver no indication: the
    // system refusing the thread fails the open.
    if (!pReadThread) pReadThread = std::make_unique<CReadThread>(*this);
    if (!pReadThread->Start()) {
        DropLink();
        return sys::kTrSocketError;
    }

    if (bLinkControl) {
        const int32_t left = MsLeft(deadline);
        if (left <= 0) {  // opening used the whole time: no time for the handshake
            DropLink();
            return sys::kTrTimeout;
        }
        const int sent = connectData.size() > kMaxTelegramData
                             ? static_cast<int>(sys::kTrSocketError)
                             : SendLinkTelegram(CTesMsg(connectData.data(),
                                                        static_cast<uint16_t>(connectData.size()),
                                                        nCmdConnect, 1),
                                                left);
        if (sent != sys::kTrOk) {
            DropLink();
            return sent;
        }
        if (!oConnectEvent.Wait(MsLeft(deadline))) {
            DropLink();
            return sys::kTrTimeout;
        }
        const uint8_t answer = cConnectResult.load();
        if (answer != 0) {
            DropLink();
            return answer == 1 ? sys::kTrRefused : sys::kTrNotConnected;
        }
    }
    OnConnectionChanged(true);
    return sys::kTrOk;
}

int CTesIPConnection::Disconnect(int32_t timeoutMs) {
    if (State() != kStateConnected) return sys::kTrNotAllowed;
    int result = sys::kTrOk;
    if (bLinkControl) {
        oDisconnectEvent.Reset();
        result = SendLinkTelegram(CTesMsg(nullptr, 0, nCmdDisconnect, 0), timeoutMs);
        // On the receive thread (a callback closing its own handle) nobody can
        // read the confirmation, so the request is sent without waiting.
        if (result == sys::kTrOk && !IsReceiveThread()) {
            if (!oDisconnectEvent.Wait(std::max<int32_t>(timeoutMs, 0))) {
                result = sys::kTrTimeout;
            } else if (cDisconnectResult.load() != 0) {
                result = sys::kTrSocketError;
            }
        }
    }
    DropLink();
    return result;
}

int CTesIPConnection::DropLink() {
    int32_t expected = kStateConnected;
    if (!nState.compare_exchange_strong(expected, kStateDisconnecting)) return sys::kTrNotAllowed;
    OnConnectionChanged(false);
    sys::ShutdownSocket(hSocket);
    oWaker.Signal();
    oWaiterWaker.Signal();
    nState.store(kStateClosed);
    return sys::kTrOk;
}

int CTesIPConnection::Send(const uint8_t* bytes, size_t length, int32_t timeoutMs) {
    const int32_t state = State();
    // A link that is being dropped is gone for the caller already: a request
    // woken by the drop and sent again at once must not read "not allowed".
    if (state == kStateClosed || state == kStateDisconnecting) return sys::kTrNotConnected;
    if (state == kStateNoStack) return sys::kTrNoStack;
    if (state != kStateConnected) return sys::kTrNotAllowed;
    sys::IoResult io;
    {
        CTesLock lock(oSendMutex);
        // TCP: the time limit starts when the socket first would block, so a
        // frame that goes out at once reads no clock.
        io = nTransport == sys::kTransportUdp
                 ? sys::SendDatagram(hSocket, bytes, length, sys::MonotonicMs() + timeoutMs)
                 : sys::SendStreamWithin(hSocket, bytes, length, timeoutMs);
    }
    switch (io) {
        case sys::IoResult::kDone:
            if (nAliveMode.load(std::memory_order_relaxed) == 1) {
                nLastSendMs.store(sys::CoarseMonotonicMs(), std::memory_order_relaxed);
            }
            return sys::kTrOk;
        case sys::IoResult::kTimeout:
            DropLink();
            return sys::kTrTimeout;
        case sys::IoResult::kWaitFailed:
            DropLink();
            return sys::kTrSocketError;
        case sys::IoResult::kSendFailed:
            // A stream that refused a send (reset by the gateway, or cut
            // part-way through a telegram) is gone: the state says so at
            // once, not only when the receive thread reads the end.
            if (nTransport == sys::kTransportTcp) DropLink();
            break;
    }
    return sys::kTrSocketError;
}

void CTesIPConnection::HandleReceived(const uint8_t* bytes, uint32_t length) {
    // Running out of memory costs the one telegram being handled (its
    // confirmation or its queue entry), never the receive thread, which
    // goes on with the next.
    try {
        HandleTelegram(bytes, length);
    } catch (const std::bad_alloc&) {
        nDroppedTelegrams.fetch_add(1, std::memory_order_relaxed);
    }
}

void CTesIPConnection::Receive() {
    // Without its buffers the receive thread cannot run, and a link nobody
    // reads is of no use: it ends.
    try {
        if (nTransport == sys::kTransportUdp) {
            ReceiveDatagrams();
        } else {
            ReceiveStream();
        }
    } catch (const std::bad_alloc&) {
        DropLink();
    }
}

CTesIPConnection::WaitOutcome CTesIPConnection::AwaitData() {
    switch (oWatch.Wait(ReceiveWaitMs())) {
        case sys::WaitResult::kReadable:
            return WaitOutcome::kData;
        case sys::WaitResult::kTimeout:
            EndLinkIfSilent();
            return WaitOutcome::kAgain;
        case sys::WaitResult::kWoken:
            // A stop sets its flag before it signals, so after the clear the
            // loop's test sees it, or the signal is there again.
            oWaker.Clear();
            return WaitOutcome::kAgain;
        case sys::WaitResult::kFailed:
            break;
    }
    DropLink();
    return WaitOutcome::kBroken;
}

bool CTesIPConnection::TakeReadRoleForReceive() {
    for (int free = kRoleFree;
         !nReadRole.compare_exchange_strong(free, kRoleReceiver, std::memory_order_acquire);
         free = kRoleFree) {
        // The waiter reads what comes meanwhile; should the link fall silent
        // after that, this thread still ends it in time.
        const int waitMs = ReceiveWaitMs();
        if (!oRoleReturned.Wait(waitMs) && waitMs >= 0) EndLinkIfSilent();
        if (pReadThread->StopRequested() || State() != kStateConnected) return false;
    }
    return true;
}

void CTesIPConnection::ReceiveStream() {
    CStreamCutter& cutter = *pCutter;
    const auto handle = [this](const uint8_t* bytes, uint32_t length) {
        HandleReceived(bytes, length);
    };
    const sys::Socket s = hSocket;
    while (!pReadThread->StopRequested() && State() == kStateConnected) {
        // Telegrams a waiter left behind come before anything still to read.
        if (!bHandedOver.load(std::memory_order_acquire)) {
            const WaitOutcome wait = AwaitData();
            if (wait == WaitOutcome::kAgain) continue;
            if (wait == WaitOutcome::kBroken) break;
        }
        if (!TakeReadRoleForReceive()) break;
        long got = 0;
        if (!bHandedOver.exchange(false, std::memory_order_relaxed)) {
            got = sys::Receive(s, cutter.Space(), cutter.SpaceSize());
            if (got <= 0 && got != -2) DropLink();  // orderly close by the gateway, or an error
        }
        if (got >= 0) {
            OnReceiveBatch(true);
            cutter.Received(static_cast<size_t>(got), handle);
            OnReceiveBatch(false);
        }
        // Nobody waits for the role the receive thread gives back: a waiter
        // only tries to take it, and an open waits only once this thread is gone.
        nReadRole.store(kRoleFree, std::memory_order_release);
    }
}

bool CTesIPConnection::TakeReadRole() {
    if (nTransport != sys::kTransportTcp || IsReceiveThread()) return false;
    int free = kRoleFree;
    if (!nReadRole.compare_exchange_strong(free, kRoleWaiter, std::memory_order_acquire)) {
        return false;
    }
    // What a waiter left behind is the receive thread's to handle first; and
    // data must not wake the receive thread while the waiter reads, or the
    // reply would wake two threads instead of one.
    if (bHandedOver.load(std::memory_order_relaxed) || State() != kStateConnected ||
        !oWatch.Pause()) {
        FreeWaiterRole();
        return false;
    }
    return true;
}

void CTesIPConnection::ReturnReadRole() {
    oWatch.Resume();
    FreeWaiterRole();
}

void CTesIPConnection::FreeWaiterRole() {
    nReadRole.store(kRoleFree, std::memory_order_release);
    oRoleReturned.Signal();  // a receive thread or an open may wait for it
}

CTesIPConnection::WaiterRead CTesIPConnection::ReadAsWaiter(int32_t timeoutMs, int32_t spinUs,
                                                            sys::SpinResult* spun) {
    const sys::Socket s = hSocket;
    *spun = sys::SpinResult::kAtOnce;
    if (spinUs > 0) {
        const int64_t until = sys::MonotonicUs() + spinUs;
        while (sys::WaitReadable(s, oWaiterWaker, 0) == sys::WaitResult::kTimeout) {
            if (sys::MonotonicUs() >= until) {
                *spun = sys::SpinResult::kRanOut;
                break;
            }
            *spun = sys::SpinResult::kCaught;
        }
    }
    switch (sys::WaitReadable(s, oWaiterWaker, timeoutMs)) {
        case sys::WaitResult::kReadable:
            break;
        case sys::WaitResult::kTimeout:
            return WaiterRead::kTimeout;
        case sys::WaitResult::kWoken:
        case sys::WaitResult::kFailed:
            return WaiterRead::kGiveUp;
    }
    CStreamCutter& cutter = *pCutter;
    const long got = sys::Receive(s, cutter.Space(), cutter.SpaceSize());
    if (got == -2) return WaiterRead::kRead;
    if (got <= 0) {
        DropLink();
        return WaiterRead::kGiveUp;
    }
    bool handOver = false;
    cutter.Received(static_cast<size_t>(got), [&](const uint8_t* bytes, uint32_t length) {
        if (length < kTelegramOverhead || (GetU16(bytes + 2) & kConfirmationFlag) == 0) {
            handOver = true;
            return false;
        }
        HandleReceived(bytes, length);
        return true;
    });
    if (!handOver) return WaiterRead::kRead;
    // Set before the signal: the receive thread tests it after its wake-up.
    bHandedOver.store(true, std::memory_order_release);
    oWaker.Signal();
    return WaiterRead::kGiveUp;
}

void CTesIPConnection::ReceiveDatagrams() {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kDatagramBufferSize]);
    const sys::Socket s = hSocket;
    while (!pReadThread->StopRequested() && State() == kStateConnected) {
        const WaitOutcome wait = AwaitData();
        if (wait == WaitOutcome::kAgain) continue;
        if (wait == WaitOutcome::kBroken) break;
        const long got = sys::Receive(s, buffer.get(), kDatagramBufferSize);
        if (got == -2) continue;
        if (got <= 0) {
            DropLink();
            break;
        }
        OnReceiveBatch(true);
        CutDatagram(
            buffer.get(), static_cast<size_t>(got),
            [this](const uint8_t* bytes, uint32_t length) { HandleReceived(bytes, length); });
        OnReceiveBatch(false);
    }
}

}  // namespace tes
