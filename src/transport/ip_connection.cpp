// Connection: connect and disconnect handshakes, sending, the receive thread
// that cuts the stream into telegrams, link-control answers and keep-alive.
#include "transport/ip_connection.h"

#include <algorithm>
#include <cstring>

#include "protocol/telegram.h"
#include "transport/telegram_cutter.h"
#include "transport/trace.h"

namespace tes {

namespace {

constexpr size_t kDatagramBufferSize = 0x10010;
constexpr int kReceivePollMs = 1000;
constexpr int32_t kAnswerTimeoutMs = 1000;

int32_t MsLeft(int64_t deadline) {
    const int64_t left = deadline - sys::MonotonicMs();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(left);
}

// A link-control telegram passes only whole and with the right checksum.
bool ParseLinkTelegram(const uint8_t* bytes, uint32_t length, TelegramView* view) {
    return view->Parse(bytes, length) && view->ChecksumMatches();
}

}  // namespace

class CTesIPConnection::CReadThread : public CTesThread {
public:
    explicit CReadThread(CTesIPConnection& connection) : oConnection(connection) {}
    ~CReadThread() override { StopAndJoin(); }
    using CTesThread::StopRequested;

protected:
    void Run() override {
        if (oConnection.nTransport == sys::kTransportUdp) {
            oConnection.ReceiveDatagrams();
        } else {
            oConnection.ReceiveStream();
        }
    }

private:
    CTesIPConnection& oConnection;
};

class CTesIPConnection::CAliveThread : public CTesThread {
public:
    explicit CAliveThread(CTesIPConnection& connection) : oConnection(connection) {}
    ~CAliveThread() override { StopAndJoin(); }

protected:
    void Run() override {
        // A tick ends each quarter period, so three silent ticks are three
        // quarters of the period after the start.
        for (;;) {
            const uint32_t sleepMs = std::max<uint32_t>(oConnection.nAlivePeriod.load() / 4, 10);
            if (SleepUnlessStopped(sleepMs)) break;
            oConnection.AliveTick();
        }
    }

private:
    CTesIPConnection& oConnection;
};

CTesIPConnection::CTesIPConnection() = default;

CTesIPConnection::~CTesIPConnection() {
    if (State() == kStateConnected) Disconnect(500);
    StopThreads();
    ReleaseSocket();
}

bool CTesIPConnection::IsReceiveThread() const { return pReadThread && pReadThread->IsCurrent(); }

void CTesIPConnection::StopThreads() {
    StopAliveThread();
    if (pReadThread) {
        pReadThread->RequestStop();
        oWaker.Signal();
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
    const uint16_t p = deviceType;
    cDeviceType = deviceType;
    nCmdConnect = static_cast<uint16_t>(((p & 0x7F) << 8) + 1);
    nCmdConnectConf = static_cast<uint16_t>((p << 8) | 0x8000 | 1);
    nCmdDisconnect = static_cast<uint16_t>(((p & 0x7F) << 8) + 2);
    nCmdDisconnectConf = static_cast<uint16_t>((p << 8) | 0x8000 | 2);
    nCmdAlive = static_cast<uint16_t>(((p & 0x7F) << 8) + 13);
    nCmdAliveConf = static_cast<uint16_t>((p << 8) | 0x8000 | 13);
    bLinkControl = linkControl;
    nTransport = transport;
    nAliveMode.store(0);
    oConnectEvent.Reset();
    const int64_t deadline = sys::MonotonicMs() + timeoutMs;

    // A receive thread of an earlier link must be gone before its socket is.
    if (pReadThread) {
        pReadThread->RequestStop();
        oWaker.Signal();
        pReadThread->StopAndJoin();
    }
    ReleaseSocket();
    oWaker.Clear();

    const int opened = OpenTransport(host, port, transport, timeoutMs);
    if (opened != sys::kTrOk) return opened;
    sPeerAddress = sys::PeerAddressText(oPeerAddress);
    sHost = host;
    nPort = port;
    nState.store(kStateConnected);

    if (!pReadThread) pReadThread = std::make_unique<CReadThread>(*this);
    pReadThread->Start();  // without a thread the handshake below times out

    if (bLinkControl) {
        const int32_t left = MsLeft(deadline);
        if (left <= 0) {  // opening used the whole time: no time for the handshake
            DropLink();
            return sys::kTrTimeout;
        }
        const int sent = SendLinkTelegram(nCmdConnect, 1, connectData.data(), connectData.size(), left);
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
        result = SendLinkTelegram(nCmdDisconnect, 0, nullptr, 0, timeoutMs);
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
    nState.store(kStateClosed);
    return sys::kTrOk;
}

int CTesIPConnection::Send(const uint8_t* bytes, size_t length, int32_t timeoutMs) {
    const int32_t state = State();
    if (state == kStateClosed) return sys::kTrNotConnected;
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
                nLastSendTick.store(nAliveTick.load(std::memory_order_relaxed),
                                    std::memory_order_relaxed);
            }
            return sys::kTrOk;
        case sys::IoResult::kTimeout:
            DropLink();
            return sys::kTrTimeout;
        case sys::IoResult::kWaitFailed:
            DropLink();
            return sys::kTrSocketError;
        case sys::IoResult::kSendFailed:
            break;
    }
    return sys::kTrSocketError;
}

int CTesIPConnection::SendLinkTelegram(uint16_t command, uint16_t telegramId, const uint8_t* data,
                                       size_t length, int32_t timeoutMs) {
    if (length > kMaxTelegramData) return sys::kTrSocketError;
    std::vector<uint8_t> bytes(length + kTelegramOverhead);
    EncodeTelegram(bytes.data(), command, telegramId, data, length);
    return Send(bytes.data(), bytes.size(), timeoutMs);
}

int CTesIPConnection::SendAliveRequest(int32_t timeoutMs) {
    uint8_t period[4];
    PutU32(period, nAlivePeriod.load());
    return SendLinkTelegram(nCmdAlive, 0, period, sizeof period, timeoutMs);
}

int CTesIPConnection::StartAlive(uint32_t periodMs) {
    if (State() != kStateConnected) return sys::kTrNotConnected;
    if (periodMs != 0) {
        nAlivePeriod.store(periodMs);
        EnsureAliveThread();
        nAliveMode.store(1);
        return SendAliveRequest(static_cast<int32_t>(std::min<uint32_t>(periodMs, 0x7FFFFFFF)));
    }
    nAliveMode.store(0);
    StopAliveThread();
    // The gateway reads a period of 0 as "stop watching".
    nAlivePeriod.store(0);
    return SendAliveRequest(kAnswerTimeoutMs);
}

void CTesIPConnection::EnsureAliveThread() {
    CTesLock lock(oAliveThreadMutex);
    if (!pAliveThread) {
        nAliveTick.store(0);
        nLastSendTick.store(0);
        nLastReceiveTick.store(0);
        pAliveThread = std::make_unique<CAliveThread>(*this);
        pAliveThread->Start();
    }
}

void CTesIPConnection::StopAliveThread() {
    std::unique_ptr<CAliveThread> thread;
    {
        CTesLock lock(oAliveThreadMutex);
        thread = std::move(pAliveThread);
    }
    thread.reset();  // stops and joins outside the lock
}

void CTesIPConnection::AliveTick() {
    if (nAliveMode.load() == 0) return;
    if (State() == kStateConnected) {
        const uint32_t tick = nAliveTick.fetch_add(1) + 1;
        if (tick > nLastReceiveTick.load() + 4) Disconnect(1000);  // five ticks of silence
        if (nAliveMode.load() == 1 &&
            (tick > nLastSendTick.load() + 2 || tick > nLastReceiveTick.load() + 2)) {
            SendAliveRequest(static_cast<int32_t>(nAlivePeriod.load() / 2));
        }
    } else {
        nAliveMode.store(0);
        nAlivePeriod.store(0);
        nAliveTick.store(0);
        nLastSendTick.store(0);
        nLastReceiveTick.store(0);
    }
}

void CTesIPConnection::ReceiveStream() {
    CStreamCutter cutter;
    const sys::Socket s = hSocket;
    while (!pReadThread->StopRequested() && State() == kStateConnected) {
        const sys::WaitResult wait = sys::WaitReadable(s, oWaker, kReceivePollMs);
        if (wait == sys::WaitResult::kTimeout || wait == sys::WaitResult::kWoken) continue;
        if (wait == sys::WaitResult::kFailed) {
            DropLink();
            break;
        }
        const long got = sys::Receive(s, cutter.Space(), cutter.SpaceSize());
        if (got == -2) continue;
        if (got <= 0) {  // orderly close by the gateway, or a receive error
            DropLink();
            break;
        }
        OnReceiveBatch(true);
        cutter.Received(static_cast<size_t>(got), [this](const uint8_t* bytes, uint32_t length) {
            HandleTelegram(bytes, length);
        });
        OnReceiveBatch(false);
    }
}

void CTesIPConnection::ReceiveDatagrams() {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kDatagramBufferSize]);
    const sys::Socket s = hSocket;
    while (!pReadThread->StopRequested() && State() == kStateConnected) {
        const sys::WaitResult wait = sys::WaitReadable(s, oWaker, kReceivePollMs);
        if (wait == sys::WaitResult::kTimeout || wait == sys::WaitResult::kWoken) continue;
        if (wait == sys::WaitResult::kFailed) {
            DropLink();
            break;
        }
        const long got = sys::Receive(s, buffer.get(), kDatagramBufferSize);
        if (got == -2) continue;
        if (got <= 0) {
            DropLink();
            break;
        }
        OnReceiveBatch(true);
        CutDatagram(buffer.get(), static_cast<size_t>(got),
                    [this](const uint8_t* bytes, uint32_t length) { HandleTelegram(bytes, length); });
        OnReceiveBatch(false);
    }
}

void CTesIPConnection::HandleTelegram(const uint8_t* bytes, uint32_t length) {
    if (!bLinkControl) {
        OnTelegram(bytes, length);
        return;
    }
    if (nAliveMode.load(std::memory_order_relaxed) != 0) {
        nLastReceiveTick.store(nAliveTick.load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    if (length < kTelegramOverhead) {
        OnTelegram(bytes, length);
        return;
    }
    const uint16_t command = GetU16(bytes + 2);
    TelegramView view;
    if (command == nCmdAlive) {
        HandleAliveRequest(bytes, length);
    } else if (command == nCmdAliveConf) {
        // a sign of life, nothing more
    } else if (command == nCmdConnect) {
        if (!ParseLinkTelegram(bytes, length, &view)) return;
        const uint8_t answer = AcceptConnect(view.pData, view.nDataLength) ? 0 : 0xFF;
        SendLinkTelegram(nCmdConnectConf, view.nTelegramId, &answer, 1, kAnswerTimeoutMs);
        if (answer != 0) DropLink();
    } else if (command == nCmdConnectConf) {
        if (length >= 8 && ParseLinkTelegram(bytes, length, &view)) {
            cConnectResult.store(view.pData[0]);
            oConnectEvent.Signal();
        }
    } else if (command == nCmdDisconnect) {
        if (!ParseLinkTelegram(bytes, length, &view)) return;
        const uint8_t answer = 0;
        SendLinkTelegram(nCmdDisconnectConf, view.nTelegramId, &answer, 1, kAnswerTimeoutMs);
        DropLink();
    } else if (command == nCmdDisconnectConf) {
        if (length >= 8 && ParseLinkTelegram(bytes, length, &view)) {
            cDisconnectResult.store(view.pData[0]);
            oDisconnectEvent.Signal();
        }
    } else {
        OnTelegram(bytes, length);
    }
}

void CTesIPConnection::HandleAliveRequest(const uint8_t* bytes, uint32_t length) {
    TelegramView view;
    if (!ParseLinkTelegram(bytes, length, &view)) return;
    uint8_t answer = 0;
    int32_t answerTimeout = kAnswerTimeoutMs;
    if (view.nDataLength < 4) {
        answer = 0xFF;
    } else {
        const uint32_t period = GetU32(view.pData);
        nAlivePeriod.store(period);
        if (period == 0) {
            nAliveMode.store(0);
            StopAliveThread();
        } else {
            answerTimeout = static_cast<int32_t>(std::min<uint32_t>(period, 0x7FFFFFFF));
            int32_t off = 0;
            if (nAliveMode.compare_exchange_strong(off, 2)) EnsureAliveThread();
        }
    }
    SendLinkTelegram(nCmdAliveConf, view.nTelegramId, &answer, 1, answerTimeout);
}

}  // namespace tes
