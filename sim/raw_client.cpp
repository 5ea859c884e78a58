// A bare telegram client for the simulator's tests. Simulator layer.
#include "raw_client.h"

#include <algorithm>

namespace tes::sim {

RawClient::~RawClient() {
    Close();
}

bool RawClient::Connect(const std::string& host, uint16_t port, int transport, uint32_t timeoutMs) {
    Close();
    sys::PeerAddress peer;
    nTransport = transport;
    return sys::ConnectAny(host.c_str(), port, transport, timeoutMs, &hSocket, &peer) == sys::kTrOk;
}

void RawClient::Close() {
    sys::CloseSocket(hSocket);
    hSocket = sys::kNoSocket;
    oStream.Reset();
    oQueue.clear();
    bPeerClosed = false;
}

bool RawClient::Send(const std::vector<uint8_t>& bytes) {
    if (hSocket == sys::kNoSocket) return false;
    const int64_t deadline = sys::MonotonicMs() + 2000;
    const sys::IoResult r = nTransport == sys::kTransportUdp
                                ? sys::SendDatagram(hSocket, bytes.data(), bytes.size(), deadline)
                                : sys::SendStream(hSocket, bytes.data(), bytes.size(), deadline);
    return r == sys::IoResult::kDone;
}

bool RawClient::SendTelegram(uint16_t command, uint16_t telegramId,
                             const std::vector<uint8_t>& data) {
    return Send(wire::MakeTelegram(command, telegramId, data));
}

bool RawClient::ReadSome(int64_t deadlineMs) {
    if (hSocket == sys::kNoSocket || bPeerClosed) return false;
    const int64_t left = deadlineMs - sys::MonotonicMs();
    if (left <= 0) return false;
    if (sys::WaitReadable(hSocket, oWaker, static_cast<int>(std::min<int64_t>(left, 1 << 30))) !=
        sys::WaitResult::kReadable)
        return false;
    // A datagram is read whole; a stream straight into the cutter.
    uint8_t datagram[65536];
    size_t room = sizeof datagram;
    uint8_t* into = nTransport == sys::kTransportUdp ? datagram : oStream.Space(&room);
    const long got = sys::Receive(hSocket, into, room);
    if (got == -2) return true;  // woken without data; try again
    if (got <= 0) {
        bPeerClosed = true;
        return false;
    }
    wire::View piece;
    if (nTransport == sys::kTransportUdp) {
        wire::DatagramWalker walker(datagram, static_cast<size_t>(got));
        while (walker.Next(&piece)) oQueue.emplace_back(piece.pBytes, piece.pBytes + piece.nSize);
        return true;
    }
    oStream.Commit(static_cast<size_t>(got));
    while (oStream.Next(&piece)) oQueue.emplace_back(piece.pBytes, piece.pBytes + piece.nSize);
    return true;
}

std::optional<std::vector<uint8_t>> RawClient::Receive(int64_t timeoutMs) {
    const int64_t deadline = sys::MonotonicMs() + timeoutMs;
    while (oQueue.empty()) {
        if (!ReadSome(deadline)) return std::nullopt;
    }
    std::vector<uint8_t> out = std::move(oQueue.front());
    oQueue.pop_front();
    return out;
}

std::optional<std::vector<uint8_t>> RawClient::ReceiveCommand(uint16_t command, int64_t timeoutMs) {
    const int64_t deadline = sys::MonotonicMs() + timeoutMs;
    for (;;) {
        std::optional<std::vector<uint8_t>> t = Receive(deadline - sys::MonotonicMs());
        if (!t) return std::nullopt;
        if (t->size() >= 4 && wire::GetU16(t->data() + 2) == command) return t;
    }
}

std::optional<std::vector<uint8_t>> RawClient::Exchange(uint16_t command, uint16_t telegramId,
                                                        const std::vector<uint8_t>& data,
                                                        int64_t timeoutMs) {
    if (!SendTelegram(command, telegramId, data)) return std::nullopt;
    const int64_t deadline = sys::MonotonicMs() + timeoutMs;
    const uint16_t confirmation = wire::ConfirmationOf(command);
    for (;;) {
        std::optional<std::vector<uint8_t>> t =
            ReceiveCommand(confirmation, deadline - sys::MonotonicMs());
        if (!t || (t->size() >= 6 && wire::GetU16(t->data() + 4) == telegramId)) return t;
    }
}

bool RawClient::WaitClosed(int64_t timeoutMs) {
    const int64_t deadline = sys::MonotonicMs() + timeoutMs;
    while (!bPeerClosed) {
        if (!ReadSome(deadline) && !bPeerClosed) return false;
    }
    return true;
}

}  // namespace tes::sim
