// Connection, link control: the CONNECT, DISCONNECT and ALIVE telegrams the
// connection exchanges with the gateway on its own, and keep-alive with its
// thread. Transport layer.
#include <algorithm>
#include <cstring>

#include "protocol/commands.h"
#include "protocol/telegram.h"
#include "transport/connection_threads.h"
#include "transport/ip_connection.h"

namespace tes {

namespace {

constexpr int32_t kAnswerTimeoutMs = 1000;
// How long the DISCONNECT to a silent peer may wait for room in the socket.
constexpr int32_t kSilentPeerSendMs = 100;

// A link-control telegram passes only whole and with the right checksum.
bool ParseLinkTelegram(const uint8_t* bytes, uint32_t length, CTesMsg* telegram) {
    return telegram->FromBytes(bytes, length) && telegram->ChecksumMatches();
}

// Request and confirmation words of a link-control command for a device type.
uint16_t RequestWord(uint8_t deviceType, Cmd cmd) {
    return static_cast<uint16_t>(((deviceType & 0x7F) << 8) + static_cast<uint8_t>(cmd));
}
uint16_t ConfirmationWord(uint8_t deviceType, Cmd cmd) {
    return static_cast<uint16_t>((deviceType << 8) | kConfirmationFlag | static_cast<uint8_t>(cmd));
}

// False for every command that is none of CONNECT, DISCONNECT and ALIVE,
// whatever the device type: the telegrams of the data flow skip the
// comparisons with the link commands.
constexpr uint32_t kLinkCommandCodes = 1u << static_cast<uint8_t>(Cmd::CONNECT) |
                                       1u << static_cast<uint8_t>(Cmd::DISCONNECT) |
                                       1u << static_cast<uint8_t>(Cmd::ALIVE);
bool MayBeLinkCommand(uint16_t command) {
    const uint32_t code = command & 0xFFu;
    return code < 32 && (kLinkCommandCodes >> code & 1u) != 0;
}

}  // namespace

void CTesIPConnection::SetLinkCommands(uint8_t deviceType) {
    cDeviceType = deviceType;
    nCmdConnect = RequestWord(deviceType, Cmd::CONNECT);
    nCmdConnectConf = ConfirmationWord(deviceType, Cmd::CONNECT);
    nCmdDisconnect = RequestWord(deviceType, Cmd::DISCONNECT);
    nCmdDisconnectConf = ConfirmationWord(deviceType, Cmd::DISCONNECT);
    nCmdAlive = RequestWord(deviceType, Cmd::ALIVE);
    nCmdAliveConf = ConfirmationWord(deviceType, Cmd::ALIVE);
}

int CTesIPConnection::SendLinkTelegram(const CTesMsg& telegram, int32_t timeoutMs) {
    // Link telegrams are a few bytes: laid out on the stack, so that the
    // DISCONNECT a destructor sends (closing at unload) cannot run out of
    // memory, which would end the process there.
    uint8_t bytes[64 + kTelegramOverhead];
    if (const size_t length = LayOutTelegram(telegram, bytes, sizeof bytes)) {
        return Send(bytes, length, timeoutMs);
    }
    const std::vector<uint8_t> whole = telegram.ToBytes();
    return Send(whole.data(), whole.size(), timeoutMs);
}

int CTesIPConnection::SendAliveRequest(int32_t timeoutMs) {
    uint8_t period[4];
    PutU32(period, nAlivePeriod.load());
    return SendLinkTelegram(CTesMsg(period, sizeof period, nCmdAlive, 0), timeoutMs);
}

int CTesIPConnection::StartAlive(uint32_t periodMs) {
    if (State() != kStateConnected) return sys::kTrNotConnected;
    if (periodMs != 0) {
        nAlivePeriod.store(periodMs);
        EnsureAliveThread();
        nAliveMode.store(1);
        NudgeAliveThread();
        oWaker.Signal();  // the receive thread starts watching for silence
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
        const int64_t now = sys::CoarseMonotonicMs();
        nLastSendMs.store(now);
        nLastReceiveMs.store(now);
        nLastAliveMs.store(now);
        pAliveThread = std::make_unique<CAliveThread>(*this);
        pAliveThread->Start();
    }
}

void CTesIPConnection::NudgeAliveThread() {
    CTesLock lock(oAliveThreadMutex);
    if (pAliveThread) pAliveThread->Wake();
}

void CTesIPConnection::StopAliveThread() {
    std::unique_ptr<CAliveThread> thread;
    {
        CTesLock lock(oAliveThreadMutex);
        thread = std::move(pAliveThread);
    }
    thread.reset();  // stops and joins outside the lock
}

namespace {

// The watch works in quarter periods: an ALIVE request after three quarters
// without sending or without receiving, the end of the link after five
// quarters without receiving anything.
int64_t AliveQuarter(uint32_t periodMs) {
    return std::max<int64_t>(periodMs / 4, 10);
}

}  // namespace

int64_t CTesIPConnection::AliveStep() {
    constexpr int64_t kUntilWoken = -1;
    const uint32_t period = nAlivePeriod.load();
    // With the watch started by the gateway this side only watches, and the
    // receive thread does that (ReceiveWaitMs).
    if (nAliveMode.load() != 1 || period == 0) return kUntilWoken;
    if (State() != kStateConnected) {
        nAliveMode.store(0);
        nAlivePeriod.store(0);
        return kUntilWoken;
    }
    // While the silence lasts the request is repeated: on UDP, where it may
    // be lost, every quarter; on TCP, which delivers it or breaks, after
    // three quarters, so that a request the peer answers at once costs this
    // thread no second wake-up.
    const int64_t quarter = AliveQuarter(period);
    const int64_t repeat = nTransport == sys::kTransportUdp ? quarter : 3 * quarter;
    auto sendAt = [&] {
        return std::max(std::min(nLastSendMs.load(), nLastReceiveMs.load()) + 3 * quarter,
                        nLastAliveMs.load() + repeat);
    };
    int64_t now = sys::MonotonicMs();
    if (now >= sendAt()) {
        nLastAliveMs.store(now);
        SendAliveRequest(static_cast<int32_t>(period / 2));
        now = sys::MonotonicMs();
    }
    return std::max<int64_t>(sendAt() - now, 1);
}

int CTesIPConnection::ReceiveWaitMs() const {
    if (nAliveMode.load(std::memory_order_relaxed) == 0) return -1;
    const uint32_t period = nAlivePeriod.load(std::memory_order_relaxed);
    if (period == 0) return -1;
    const int64_t left = nLastReceiveMs.load(std::memory_order_relaxed) + 5 * AliveQuarter(period) -
                         sys::MonotonicMs();
    return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 0x7FFFFFFF));
}

void CTesIPConnection::EndLinkIfSilent() {
    if (nAliveMode.load() == 0 || State() != kStateConnected) return;
    const uint32_t period = nAlivePeriod.load();
    if (period == 0) return;
    if (sys::MonotonicMs() < nLastReceiveMs.load() + 5 * AliveQuarter(period)) return;
    // A peer that has said nothing for so long will not confirm a
    // DISCONNECT either: it is told (if its socket still takes bytes) and
    // the link ends now, not a confirmation wait later.
    if (bLinkControl) SendLinkTelegram(CTesMsg(nullptr, 0, nCmdDisconnect, 0), kSilentPeerSendMs);
    DropLink();
}

void CTesIPConnection::HandleTelegram(const uint8_t* bytes, uint32_t length) {
    if (!bLinkControl) {
        OnTelegram(bytes, length);
        return;
    }
    if (nAliveMode.load(std::memory_order_relaxed) != 0) {
        nLastReceiveMs.store(sys::CoarseMonotonicMs(), std::memory_order_relaxed);
    }
    if (length < kTelegramOverhead) {
        OnTelegram(bytes, length);
        return;
    }
    const uint16_t command = GetU16(bytes + 2);
    if (MayBeLinkCommand(command)) {
        HandleLinkTelegram(command, bytes, length);
    } else {
        OnTelegram(bytes, length);
    }
}

// Out of line: the telegrams of the data flow take HandleTelegram's short way.
[[gnu::noinline]] void CTesIPConnection::HandleLinkTelegram(uint16_t command,
                                                            const uint8_t* bytes,
                                                            uint32_t length) {
    if (command == nCmdAlive) {
        HandleAliveRequest(bytes, length);
    } else if (command == nCmdAliveConf) {
        // a sign of life, nothing more
    } else if (command == nCmdConnect) {
        CTesMsg telegram;
        if (!ParseLinkTelegram(bytes, length, &telegram)) return;
        const uint8_t answer =
            AcceptConnect(telegram.oData.data(), telegram.oData.size()) ? 0 : 0xFF;
        SendLinkTelegram(CTesMsg(&answer, 1, nCmdConnectConf, telegram.nTelegramId),
                         kAnswerTimeoutMs);
        if (answer != 0) DropLink();
    } else if (command == nCmdConnectConf) {
        CTesMsg telegram;
        if (length >= 8 && ParseLinkTelegram(bytes, length, &telegram)) {
            cConnectResult.store(telegram.oData[0]);
            oConnectEvent.Signal();
        }
    } else if (command == nCmdDisconnect) {
        CTesMsg telegram;
        if (!ParseLinkTelegram(bytes, length, &telegram)) return;
        const uint8_t answer = 0;
        SendLinkTelegram(CTesMsg(&answer, 1, nCmdDisconnectConf, telegram.nTelegramId),
                         kAnswerTimeoutMs);
        DropLink();
    } else if (command == nCmdDisconnectConf) {
        CTesMsg telegram;
        if (length >= 8 && ParseLinkTelegram(bytes, length, &telegram)) {
            cDisconnectResult.store(telegram.oData[0]);
            oDisconnectEvent.Signal();
        }
    } else {
        OnTelegram(bytes, length);
    }
}

void CTesIPConnection::HandleAliveRequest(const uint8_t* bytes, uint32_t length) {
    CTesMsg telegram;
    if (!ParseLinkTelegram(bytes, length, &telegram)) return;
    uint8_t answer = 0;
    int32_t answerTimeout = kAnswerTimeoutMs;
    if (telegram.oData.size() < 4) {
        answer = 0xFF;
    } else {
        const uint32_t period = GetU32(telegram.oData.data());
        nAlivePeriod.store(period);
        if (period == 0) {
            nAliveMode.store(0);
            StopAliveThread();
        } else {
            answerTimeout = static_cast<int32_t>(std::min<uint32_t>(period, 0x7FFFFFFF));
            int32_t off = 0;
            if (nAliveMode.compare_exchange_strong(off, 2)) EnsureAliveThread();
            // This side's requests follow the new period.
            if (nAliveMode.load() == 1) NudgeAliveThread();
        }
    }
    // The request itself becomes the answer: same id, the answer byte as data.
    telegram = CTesMsg(&answer, 1, nCmdAliveConf, telegram.nTelegramId);
    SendLinkTelegram(telegram, answerTimeout);
}

}  // namespace tes
