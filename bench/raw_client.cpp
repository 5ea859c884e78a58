// The raw-socket client: blocking connect, send and receive on one socket.
#include "raw_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

bool RawLink::Connect(const std::string& address, unsigned port) {
    Abandon();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) return false;
    nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nFd < 0) return false;
    const int one = 1;
    setsockopt(nFd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    setsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(nFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        Abandon();
        return false;
    }
    return true;
}

bool RawLink::Open(const std::string& address, unsigned port, bool confirmData) {
    if (!Connect(address, port)) return false;
    View c;
    nNextId = 2;
    const uint8_t config[2] = {static_cast<uint8_t>(confirmData ? 1 : 0), 0};
    if (!Exchange(kCmdConnect, 1, nullptr, 0, &c) || c.nDataLength < 1 || c.pData[0] != 0 ||
        !Request(kCmdSetConfig, config, sizeof config, &c) || c.nDataLength < 1 || c.pData[0] != 0) {
        Abandon();
        return false;
    }
    return true;
}

bool RawLink::Close() {
    View c;
    const bool ok = Exchange(kCmdDisconnect, 0, nullptr, 0, &c) && c.nDataLength >= 1 && c.pData[0] == 0;
    if (nFd >= 0) shutdown(nFd, SHUT_RDWR);
    Abandon();
    return ok;
}

void RawLink::Abandon() {
    if (nFd >= 0) close(nFd);
    nFd = -1;
    oCutter.Reset();
}

bool RawLink::SendAll(const uint8_t* bytes, size_t length) {
    while (length > 0) {
        const ssize_t n = send(nFd, bytes, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool RawLink::Read(View* view) {
    while (!oCutter.Next(view)) {
        size_t room = 0;
        uint8_t* space = oCutter.Space(&room);
        const ssize_t n = recv(nFd, space, room, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        oCutter.Commit(static_cast<size_t>(n));
    }
    return true;
}

bool RawLink::Exchange(uint16_t command, uint16_t id, const uint8_t* data, size_t length,
                       View* confirmation) {
    uint8_t bytes[kOverhead + 64];
    if (length > 64) return false;
    const size_t size = PutTelegram(bytes, command, id, data, length);
    if (!SendAll(bytes, size)) return false;
    const uint16_t expected = static_cast<uint16_t>(command | kConfirmation);
    for (;;) {
        if (!Read(confirmation)) return false;
        if (confirmation->nCommand == expected && confirmation->nId == id &&
            confirmation->bWellFormed) {
            return true;
        }
        ++nSkipped;
    }
}

bool RawLink::Request(uint16_t command, const uint8_t* data, size_t length, View* confirmation) {
    return Exchange(command, TakeId(), data, length, confirmation);
}

bool RawLink::GoodFrames(uint32_t* good) {
    View c;
    if (!Request(kCmdGetGlobals, nullptr, 0, &c) || c.nDataLength < 6 || c.pData[0] != 0) return false;
    *good = GetU32(c.pData + 2);
    return true;
}

}  // namespace bench
