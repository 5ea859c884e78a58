// The benchmark's peer: per-connection answering, frame counting and pushing,
// and the process it runs in.
#include "peer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "wire.h"

namespace bench {

namespace {

bool SendAll(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        const ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void Answer(std::vector<uint8_t>* out, uint16_t command, uint16_t id, const uint8_t* data, size_t n) {
    const size_t at = out->size();
    out->resize(at + n + kOverhead);
    PutTelegram(out->data() + at, static_cast<uint16_t>(command | kConfirmation), id, data, n);
}

// Frames 0 .. count-1 as CAN_FRAME_IND telegrams, about 64 KiB per send.
bool PushFrames(int fd, uint32_t count) {
    constexpr uint32_t kPerBlock = 65520 / kFrameTelegram;
    std::vector<uint8_t> block(kPerBlock * kFrameTelegram);
    uint8_t payload[kFramePayload];
    for (uint32_t seq = 0; seq < count;) {
        const uint32_t n = count - seq < kPerBlock ? count - seq : kPerBlock;
        for (uint32_t i = 0; i < n; ++i, ++seq) {
            PutFramePayload(payload, seq);
            PutTelegram(block.data() + i * kFrameTelegram, kCmdWrite, static_cast<uint16_t>(seq),
                        payload, sizeof payload);
        }
        if (!SendAll(fd, block.data(), n * kFrameTelegram)) return false;
    }
    return true;
}

}  // namespace

void ServeConnection(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly off TCP
    bool confirmData = false;
    uint32_t good = 0;
    uint32_t writes = 0;
    StreamCutter cutter(1 << 18);
    std::vector<uint8_t> out;
    out.reserve(1 << 16);
    for (;;) {
        size_t room = 0;
        uint8_t* space = cutter.Space(&room);
        const ssize_t got = recv(fd, space, room, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        cutter.Commit(static_cast<size_t>(got));
        View v;
        uint32_t push = 0;
        while (cutter.Next(&v)) {
            if (!v.bWellFormed) continue;
            const uint8_t ok = 0;
            switch (v.nCommand) {
                case kCmdWrite: {
                    const uint32_t seq = writes++;
                    if (v.nDataLength == kFramePayload &&
                        IsFrame(GetU32(v.pData), v.pData + 5, 8, v.pData[4], seq)) {
                        ++good;
                    }
                    if (confirmData) {
                        timespec ts{};
                        clock_gettime(CLOCK_REALTIME, &ts);
                        uint8_t data[kWriteConfirmationData] = {0};
                        PutU32(data + 1, static_cast<uint32_t>(ts.tv_sec));
                        PutU32(data + 5, static_cast<uint32_t>(ts.tv_nsec / 1000));
                        Answer(&out, v.nCommand, v.nId, data, sizeof data);
                    }
                    break;
                }
                case kCmdSetConfig:
                    confirmData = v.nDataLength >= 1 && v.pData[0] != 0;
                    Answer(&out, v.nCommand, v.nId, &ok, 1);
                    break;
                case kCmdGetGlobals: {
                    uint8_t data[kGlobalsReplyData] = {0, 1, 0, 0, 0, 0, 1, 0, 1};
                    PutU32(data + 2, good);
                    Answer(&out, v.nCommand, v.nId, data, sizeof data);
                    break;
                }
                case kCmdSetGlobals:
                    Answer(&out, v.nCommand, v.nId, &ok, 1);
                    if (v.nDataLength >= 5) push += GetU32(v.pData + 1);
                    break;
                default:
                    if ((v.nCommand & kConfirmation) == 0) Answer(&out, v.nCommand, v.nId, &ok, 1);
                    break;
            }
        }
        if (!out.empty()) {
            if (!SendAll(fd, out.data(), out.size())) break;
            out.clear();
        }
        if (push != 0 && !PushFrames(fd, push)) break;
    }
    close(fd);
}

void ServeListener(int listener) {
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                usleep(1000);
                continue;
            }
            return;
        }
        std::thread(ServeConnection, fd).detach();
    }
}

bool PeerProcess::Start(unsigned port, std::string* error) {
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 32; ++attempt) {
        // Outside 127.0.0.0/16, like the test suite's gateways, and away from
        // the addresses they tend to use.
        const unsigned b = 200 + random() % 54, c = random() % 256, d = 1 + random() % 254;
        const std::string address =
            "127." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d);
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 512) != 0) {
            if (error) *error = std::strerror(errno);
            close(fd);
            continue;
        }
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid < 0) {
            if (error) *error = std::strerror(errno);
            close(fd);
            return false;
        }
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(0);
            ServeListener(fd);
            _exit(0);
        }
        close(fd);
        nPid = pid;
        sAddress = address;
        return true;
    }
    return false;
}

void PeerProcess::Stop() {
    if (nPid <= 0) return;
    kill(nPid, SIGKILL);
    int status = 0;
    waitpid(nPid, &status, 0);
    nPid = -1;
}

}  // namespace bench
