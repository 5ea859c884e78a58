// tessara-can socketcand: a socketcand server in front of gateway ports.
// Clients speak socketcand's text protocol over TCP; every client that opens
// a bus gets a gateway link of its own. One thread runs a poll loop over the
// listening sockets, the clients and a wake-up pipe; the library's receive
// threads only append frames to a bounded per-link queue and wake the loop.
// Opening a link (and the bus settings, which open one) waits for the
// gateway, so it runs on a thread of its own while the loop serves the rest.
// With --reconnect a broken link is reopened the same way, with back-off,
// while its session stays; the loop keeps away from the link until then.
// POSIX sockets; the Windows builds leave this file out. Tool layer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "reconnect.h"
#include "socketcand_protocol.h"
#include "tool.h"

namespace tool {

namespace {

using scd::Frame;
using scd::Verb;

constexpr size_t kMaxGatewayData = 64;
constexpr size_t kLinkQueueLimit = 2048;  // frames waiting between a receive thread and the loop
constexpr size_t kReadChunk = 4096;
constexpr uint64_t kLinkCheckUs = 100000;  // how often a link's state is looked at
constexpr uint64_t kBeaconPeriodUs = 2000000;
constexpr uint64_t kMinCycleUs = 1000;  // the loop's timers have millisecond resolution
constexpr uint64_t kCloseFlushUs = 1000000;
constexpr size_t kMaxJobs = 256;  // cyclic jobs and subscriptions per client, each
constexpr int kClientSendBuffer = 128 * 1024;

uint64_t NowUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void Log(const std::string& text) {
    std::fprintf(stderr, "tessara-can: socketcand: %s\n", text.c_str());
    std::fflush(stderr);
}

struct BusConfig {
    std::string sName;
    std::string sHost;
    int nCanPort = 0;
};

struct Config {
    std::vector<std::string> oListen;
    std::vector<BusConfig> oBuses;
    int nTimeoutMs = 2000;
    bool bUdp = false;
    size_t nMaxClients = 16;
    size_t nOutLimit = 64 * 1024;
    uint64_t nStallUs = 5000000;
    bool bBeacon = false;
    bool bReconnect = false;
    std::string sBeaconTo = "255.255.255.255:42000";
};

// "ADDR:PORT" or "[V6ADDR]:PORT" into its parts.
bool SplitHostPort(const std::string& text, std::string* host, std::string* port) {
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        *host = text.substr(1, close - 1);
        *port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos) return false;
        *host = text.substr(0, colon);
        *port = text.substr(colon + 1);
    }
    return !host->empty() && !port->empty();
}

bool Resolve(const std::string& text, bool passive, int type, sockaddr_storage* out,
             socklen_t* length) {
    std::string host, port;
    long long n = 0;
    if (!SplitHostPort(text, &host, &port) || !ParseInt(port, 0, 65535, &n)) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(n).c_str(), &hints, &found) != 0) return false;
    std::memcpy(out, found->ai_addr, found->ai_addrlen);
    *length = static_cast<socklen_t>(found->ai_addrlen);
    ::freeaddrinfo(found);
    return true;
}

std::string AddressText(const sockaddr_storage& a) {
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (a.ss_family == AF_INET6) {
        const auto* s = reinterpret_cast<const sockaddr_in6*>(&a);
        ::inet_ntop(AF_INET6, &s->sin6_addr, host, sizeof host);
        port = ntohs(s->sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    const auto* s = reinterpret_cast<const sockaddr_in*>(&a);
    ::inet_ntop(AF_INET, &s->sin_addr, host, sizeof host);
    port = ntohs(s->sin_port);
    return std::string(host) + ":" + std::to_string(port);
}

void CloseFd(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
}

// ---- gateway links

struct Received {
    uint32_t nId = 0;
    int nFlags = 0;
    uint8_t nLength = 0;
    uint8_t aData[kMaxGatewayData] = {};
    uint64_t nSeconds = 0;
    uint32_t nMicros = 0;
};

// Frames of one link between the library's receive thread and the loop.
class LinkQueue {
public:
    explicit LinkQueue(int wakeFd) : nWakeFd(wakeFd) {}

    // On the receive thread: never waits for the loop or a client.
    void Push(const Received& frame) {
        nRxPackets.fetch_add(1, std::memory_order_relaxed);
        nRxBytes.fetch_add(frame.nLength, std::memory_order_relaxed);
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(oMutex);
            if (oQueue.size() >= kLinkQueueLimit) {
                nDropped.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            wake = oQueue.empty();
            oQueue.push_back(frame);
        }
        // One byte per batch: the loop takes the whole queue when it wakes.
        if (wake) {
            const char one = 1;
            [[maybe_unused]] const ssize_t n = ::write(nWakeFd, &one, 1);
        }
    }

    void TakeAll(std::deque<Received>* out) {
        std::lock_guard<std::mutex> lock(oMutex);
        out->swap(oQueue);
        oQueue.clear();
    }

    std::atomic<uint64_t> nRxPackets{0};
    std::atomic<uint64_t> nRxBytes{0};
    std::atomic<uint64_t> nDropped{0};

private:
    const int nWakeFd;
    std::mutex oMutex;
    std::deque<Received> oQueue;
};

// Handle to queue, for the callback, which only gets the handle.
std::mutex gRegistryMutex;
std::map<int, std::shared_ptr<LinkQueue>> gRegistry;

void TESSARA_CALLBACK OnLinkFrame(int id, const char* data, int length, int flags, int handle,
                                  int seconds, int micros) {
    std::shared_ptr<LinkQueue> queue;
    {
        std::lock_guard<std::mutex> lock(gRegistryMutex);
        const auto it = gRegistry.find(handle);
        if (it == gRegistry.end()) return;
        queue = it->second;
    }
    Received r;
    r.nId = static_cast<uint32_t>(id);
    r.nFlags = flags;
    r.nLength = static_cast<uint8_t>(std::clamp(length, 0, static_cast<int>(kMaxGatewayData)));
    if ((flags & kFlagRemote) == 0 && data != nullptr) std::memcpy(r.aData, data, r.nLength);
    if ((flags & kFlagTimestamp) != 0) {
        r.nSeconds = static_cast<uint32_t>(seconds);
        r.nMicros = static_cast<uint32_t>(micros) % 1000000;
    } else {
        // No gateway time stamp: the time of reception.
        const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        r.nSeconds = static_cast<uint64_t>(now / 1000000);
        r.nMicros = static_cast<uint32_t>(now % 1000000);
    }
    queue->Push(r);
}

// What a client set on a bus before it opened it; put back on the port
// after a reopen (a restarted gateway comes back with its power-up settings).
struct BusSettings {
    int nBitRate = 0;      // 0: not set
    int nListenOnly = -1;  // -1: not set, else 0 or 1
};

// One gateway handle on one bus. Open again (or Reopen) reopens it after the
// link broke; the queue and its counters stay.
class GatewayLink {
public:
    GatewayLink(const BusConfig& bus, const Config& config, int wakeFd)
        : oBus(bus),
          nTimeoutMs(config.nTimeoutMs),
          bUdp(config.bUdp),
          pQueue(std::make_shared<LinkQueue>(wakeFd)) {}
    ~GatewayLink() { Close(); }
    GatewayLink(const GatewayLink&) = delete;
    GatewayLink& operator=(const GatewayLink&) = delete;

    // The library's result code. The settings go on the port before the
    // callback, so no frame of the reopened link is taken with the power-up ones.
    int Open(bool restoreSettings = false) {
        Close();
        int handle = -1;
        int rc = CANOpenDeviceEx(&handle, 0, 0, oBus.nCanPort, oBus.sHost.c_str(), nTimeoutMs,
                                 bUdp ? 2 : 1);
        if (rc != 0) return rc;
        if (restoreSettings) rc = PutBackSettings(handle);
        if (rc != 0) {
            CANCloseDevice(handle);
            return rc;
        }
        {
            std::lock_guard<std::mutex> lock(gRegistryMutex);
            gRegistry[handle] = pQueue;
        }
        nHandle = handle;
        rc = CANSetCallbackEx(handle, OnLinkFrame);
        // Frames go to the callback only; nothing piles up in the library's queues.
        if (rc == 0) rc = CANSetMaxSizePerQueue(handle, 0);
        if (rc != 0) Close();
        return rc;
    }

    void Close() {
        if (nHandle < 0) return;
        CANSetCallbackEx(nHandle, nullptr);
        CANCloseDevice(nHandle);
        std::lock_guard<std::mutex> lock(gRegistryMutex);
        gRegistry.erase(nHandle);
        nHandle = -1;
    }

    bool IsUp() const { return nHandle >= 0 && CANDeviceConnectState(nHandle) == 3; }

    // Blocking, on a thread of its own: the old handle goes, a new one comes
    // with back-off until it is open with the settings back. False when the
    // server stops or the session ends first (the link is closed then).
    bool Reopen() {
        Close();
        const bool back = RetryWithBackOff([this] { return Open(true) == 0; },
                                           [this] { return bAbandoned.load(); });
        if (!back) Close();
        return back;
    }
    // From the loop: the session has ended, a Reopen running gives up.
    void Abandon() { bAbandoned = true; }

    // Set before the first Open; read by Reopen only.
    void SetSettings(const BusSettings& settings) { oSettings = settings; }

    int Write(const Frame& f) {
        static const char kZeros[kMaxGatewayData] = {};
        const int flags = (f.bExtended ? kFlagExtended : 0) | (f.bRemote ? kFlagRemote : 0);
        const char* data = f.bRemote ? kZeros : reinterpret_cast<const char*>(f.aData);
        const int rc = CANWrite(nHandle, static_cast<int>(f.nId), data, f.nLength, flags);
        if (rc == 0) {
            ++nTxPackets;
            if (!f.bRemote) nTxBytes += f.nLength;
        }
        return rc;
    }

    LinkQueue& Queue() { return *pQueue; }
    const BusConfig& Bus() const { return oBus; }
    uint64_t nTxPackets = 0;
    uint64_t nTxBytes = 0;

private:
    // Only what the client asked for changes; the rest stays as the port has it.
    int PutBackSettings(int handle) const {
        if (oSettings.nBitRate == 0 && oSettings.nListenOnly < 0) return 0;
        int bitRate = 0, termination = 0, highSpeed = 0, timestamps = 0;
        unsigned char mode = 0;
        int rc = CANGetGlobals(handle, &bitRate, &mode, &termination, &highSpeed, &timestamps);
        if (rc != 0) return rc;
        const int wantRate = oSettings.nBitRate != 0 ? oSettings.nBitRate : bitRate;
        const unsigned char wantMode =
            oSettings.nListenOnly < 0 ? mode : static_cast<unsigned char>(oSettings.nListenOnly);
        if (wantRate == bitRate && wantMode == mode) return 0;
        return CANSetGlobals(handle, wantRate, wantMode, termination, highSpeed, timestamps);
    }

    const BusConfig oBus;
    const int nTimeoutMs;
    const bool bUdp;
    std::shared_ptr<LinkQueue> pQueue;
    BusSettings oSettings;
    std::atomic<bool> bAbandoned{false};
    int nHandle = -1;
};

// ---- clients

enum class Mode { kNoBus, kBcm, kRaw, kControl };

uint64_t Key(uint32_t id, bool extended) {
    return (extended ? 1ull << 32 : 0) | id;
}

struct CyclicJob {
    Frame oFrame;
    uint64_t nPeriodUs = 0;
    uint64_t nDueUs = 0;
};

struct Subscription {
    uint64_t nIntervalUs = 0;
    Frame oMask;         // nLength 0: every frame, else changes in the masked bytes
    bool bSeen = false;  // oLast holds the last frame looked at
    Received oLast;
    uint64_t nSentUs = 0;
    bool bSent = false;
    bool bPending = false;  // throttled: oPending goes out at nSentUs + nIntervalUs
    Received oPending;
};

struct Client {
    int nFd = -1;
    unsigned nNumber = 0;
    std::string sPeer;
    scd::Splitter oSplitter;
    Mode eMode = Mode::kNoBus;
    std::shared_ptr<GatewayLink> pLink;
    // pLink is being reopened aside: the loop leaves it alone until then.
    bool bReconnecting = false;
    uint64_t nLostUs = 0;
    std::map<std::string, BusSettings> oSettings;  // by bus name, given before open
    // While a gateway request runs aside, the client's further messages wait.
    bool bBusy = false;
    std::deque<scd::Splitter::Piece> oWaiting;
    std::string sOut;
    size_t nOutAt = 0;  // sOut[nOutAt..] is still to be sent
    uint64_t nProgressUs = 0;
    uint64_t nDroppedFrames = 0;
    bool bClosing = false;  // reads no more; closes once its output is out
    uint64_t nCloseByUs = 0;
    bool bDead = false;
    std::map<uint64_t, CyclicJob> oJobs;
    std::map<uint64_t, Subscription> oSubs;
    uint32_t nStatsMs = 0;
    uint64_t nStatsDueUs = 0;
    unsigned nErrorsLogged = 0;

    size_t Pending() const { return sOut.size() - nOutAt; }
    std::string Name() const { return "[" + std::to_string(nNumber) + "] " + sPeer; }
};

class Server {
public:
    explicit Server(const Config& config) : oConfig(config) {}
    ~Server() {
        for (auto& w : oWorkers) w.second.join();
        oClients.clear();
        for (int& fd : oListeners) CloseFd(&fd);
        CloseFd(&nWakeRead);
        CloseFd(&nWakeWrite);
        CloseFd(&nBeaconFd);
    }

    int Run();

private:
    bool Listen();
    bool StartBeacon();
    void Accept(int listener);
    void ReadFrom(Client& c);
    void Process(Client& c);
    // Runs `work` on a thread of its own; `finish` then runs on the loop with
    // its result, if the client is still there. `hold`: the client's further
    // messages wait until then.
    void RunAside(Client& c, std::function<int()> work, std::function<void(Client&, int)> finish,
                  bool hold = true);
    void LinkBroke(Client& c, uint64_t now);
    void FinishAside();
    void Handle(Client& c, const std::string& body);
    void HandleBusSetting(Client& c, const scd::Command& cmd);
    void Deliver(Client& c, const Received& r, uint64_t now);
    void SendFrame(Client& c, const Received& r);
    void RunTimers(uint64_t now);
    // Sends what the socket takes without waiting.
    void Send(Client& c, uint64_t now);
    // Send, then the client's end: closed once flushed, or stuck too long.
    void Flush(Client& c, uint64_t now);
    void Fail(Client& c, const std::string& text) { scd::AppendError(text, &c.sOut); }
    // A log line per error, up to a bound per client: a client cannot flood the log.
    void LogError(Client& c, const std::string& text) {
        constexpr unsigned kMaxErrorLines = 20;
        if (c.nErrorsLogged < kMaxErrorLines) Log(c.Name() + " error: " + text);
        if (++c.nErrorsLogged == kMaxErrorLines)
            Log(c.Name() + ": further errors of this client are not logged");
    }
    void CloseAfterFlush(Client& c, const std::string& why, uint64_t now);
    void Drop(Client& c, const std::string& why);
    const BusConfig* FindBus(const std::string& name) const;
    uint64_t NextTimerUs(uint64_t now) const;

    const Config oConfig;
    std::vector<int> oListeners;
    std::vector<std::string> oUrls;
    int nWakeRead = -1;
    int nWakeWrite = -1;
    int nBeaconFd = -1;
    sockaddr_storage oBeaconTo{};
    socklen_t nBeaconToLength = 0;
    std::string sBeacon;
    uint64_t nBeaconDueUs = 0;
    uint64_t nLinkCheckDueUs = 0;
    unsigned nNextNumber = 1;
    std::vector<std::unique_ptr<Client>> oClients;
    std::deque<Received> oBatch;

    struct Done {
        unsigned nWork;
        unsigned nClient;
        bool bHold;
        int nResult;
        std::function<void(Client&, int)> fFinish;
    };
    std::mutex oDoneMutex;
    std::vector<Done> oDone;  // guarded by oDoneMutex
    std::map<unsigned, std::thread> oWorkers;
    unsigned nNextWork = 1;
};

const BusConfig* Server::FindBus(const std::string& name) const {
    for (const BusConfig& b : oConfig.oBuses) {
        if (b.sName == name) return &b;
    }
    return nullptr;
}

bool Server::Listen() {
    for (const std::string& text : oConfig.oListen) {
        sockaddr_storage a{};
        socklen_t length = 0;
        if (!Resolve(text, true, SOCK_STREAM, &a, &length)) {
            Log("cannot read listening address '" + text + "' (ADDR:PORT, [V6ADDR]:PORT)");
            return false;
        }
        const int fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int on = 1;
        if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (fd >= 0 && a.ss_family == AF_INET6)
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
            ::listen(fd, 16) != 0) {
            Log("cannot listen on " + text + ": " + std::strerror(errno));
            if (fd >= 0) ::close(fd);
            return false;
        }
        length = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        oListeners.push_back(fd);
        oUrls.push_back(AddressText(a));
    }
    return true;
}

bool Server::StartBeacon() {
    if (!Resolve(oConfig.sBeaconTo, false, SOCK_DGRAM, &oBeaconTo, &nBeaconToLength)) {
        Log("cannot read beacon address '" + oConfig.sBeaconTo + "' (ADDR:PORT)");
        return false;
    }
    nBeaconFd = ::socket(oBeaconTo.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    if (nBeaconFd < 0 || ::setsockopt(nBeaconFd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        Log(std::string("cannot open the beacon socket: ") + std::strerror(errno));
        return false;
    }
    char host[256] = "tessara";
    if (::gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "tessara");
    host[sizeof host - 1] = '\0';
    std::vector<std::string> urls, buses;
    for (const std::string& u : oUrls) urls.push_back("can://" + u);
    for (const BusConfig& b : oConfig.oBuses) buses.push_back(b.sName);
    sBeacon = scd::BeaconText(host, urls, buses);
    return true;
}

void Server::Accept(int listener) {
    for (;;) {
        sockaddr_storage a{};
        socklen_t length = sizeof a;
        const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&a), &length,
                                 SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        const std::string peer = AddressText(a);
        if (oClients.size() >= oConfig.nMaxClients) {
            std::string text;
            scd::AppendError("too many clients", &text);
            [[maybe_unused]] const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
            ::close(fd);
            Log("refused " + peer + ": " + std::to_string(oConfig.nMaxClients) +
                " clients connected already");
            continue;
        }
        // What the kernel holds for a client is bounded too, so a client that
        // stops reading is noticed soon.
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kClientSendBuffer, sizeof kClientSendBuffer);
        auto c = std::make_unique<Client>();
        c->nFd = fd;
        c->nNumber = nNextNumber++;
        c->sPeer = peer;
        c->nProgressUs = NowUs();
        c->sOut = "< hi >";
        Log(c->Name() + " connected");
        oClients.push_back(std::move(c));
    }
}

void Server::CloseAfterFlush(Client& c, const std::string& why, uint64_t now) {
    if (c.bClosing) return;
    Log(c.Name() + " " + why);
    c.bClosing = true;
    c.nCloseByUs = now + kCloseFlushUs;
    if (c.pLink && c.bReconnecting) c.pLink->Abandon();  // the reopen closes it
    if (c.pLink && !c.bReconnecting) c.pLink->Close();
}

void Server::Drop(Client& c, const std::string& why) {
    if (c.bDead) return;
    std::string text = c.Name() + " " + why;
    if (c.nDroppedFrames != 0) text += " (" + std::to_string(c.nDroppedFrames) + " frames dropped)";
    Log(text);
    c.bDead = true;
}

void Server::ReadFrom(Client& c) {
    char buffer[kReadChunk];
    const ssize_t got = ::recv(c.nFd, buffer, sizeof buffer, 0);
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            Drop(c, std::string("closed: ") + std::strerror(errno));
        return;
    }
    if (got == 0) {
        Drop(c, c.oSplitter.InMessage() ? "closed inside a message (the half message is ignored)"
                                        : "closed");
        return;
    }
    std::vector<scd::Splitter::Piece> pieces;
    c.oSplitter.Feed(buffer, static_cast<size_t>(got), &pieces);
    for (scd::Splitter::Piece& p : pieces) c.oWaiting.push_back(std::move(p));
    Process(c);
}

void Server::Process(Client& c) {
    while (!c.oWaiting.empty() && !c.bBusy && !c.bClosing && !c.bDead) {
        const scd::Splitter::Piece p = std::move(c.oWaiting.front());
        c.oWaiting.pop_front();
        switch (p.eKind) {
            case scd::Splitter::Kind::kMessage:
                Handle(c, p.sText);
                break;
            case scd::Splitter::Kind::kStray:
                Fail(c, "bytes outside a message");
                break;
            case scd::Splitter::Kind::kTooLong:
                Fail(c, "message longer than " + std::to_string(scd::kMaxMessage) + " bytes");
                CloseAfterFlush(c, "sent an over-long message: disconnected", NowUs());
                break;
        }
    }
}

void Server::RunAside(Client& c, std::function<int()> work,
                      std::function<void(Client&, int)> finish, bool hold) {
    if (hold) c.bBusy = true;
    const unsigned id = nNextWork++;
    const unsigned client = c.nNumber;
    oWorkers[id] = std::thread(
        [this, id, client, hold, work = std::move(work), finish = std::move(finish)]() mutable {
            const int rc = work();
            {
                std::lock_guard<std::mutex> lock(oDoneMutex);
                oDone.push_back(Done{id, client, hold, rc, std::move(finish)});
            }
            const char one = 1;
            [[maybe_unused]] const ssize_t n = ::write(nWakeWrite, &one, 1);
        });
}

void Server::FinishAside() {
    std::vector<Done> done;
    {
        std::lock_guard<std::mutex> lock(oDoneMutex);
        done.swap(oDone);
    }
    for (Done& d : done) {
        const auto worker = oWorkers.find(d.nWork);
        if (worker != oWorkers.end()) {
            worker->second.join();
            oWorkers.erase(worker);
        }
        for (auto& cp : oClients) {
            if (cp->nNumber != d.nClient || cp->bDead) continue;
            if (d.bHold) cp->bBusy = false;
            if (!cp->bClosing) d.fFinish(*cp, d.nResult);
            Process(*cp);
        }
    }
}

std::string Printable(const std::string& text) {
    std::string r;
    for (char c : text) r += c >= 0x20 && c < 0x7F ? c : '?';
    return r;
}

std::string IdText(const Frame& f) {
    return FormatCanId(f.nId, f.bExtended);
}

void Server::HandleBusSetting(Client& c, const scd::Command& cmd) {
    const BusConfig* bus = FindBus(cmd.sBus);
    if (bus == nullptr) return Fail(c, "no such bus " + cmd.sBus);
    if (cmd.eVerb == Verb::kBusControl && (cmd.bLoopback || cmd.bThreeSamples))
        return Fail(c, "loopback and three samples are not supported");
    // The port's present settings are read first, so that only what was
    // asked for changes. The gateway picks its own bit timing for a rate.
    struct Settings {
        int nBitrate = 0, nTermination = 0, nHighSpeed = 0, nTimestamps = 0;
        unsigned char nMode = 0;
    };
    auto settings = std::make_shared<Settings>();
    const BusConfig where = *bus;
    const int timeoutMs = oConfig.nTimeoutMs;
    const int transport = oConfig.bUdp ? 2 : 1;
    auto work = [settings, where, timeoutMs, transport, cmd] {
        Settings& v = *settings;
        int handle = -1;
        int rc = CANOpenDeviceEx(&handle, 0, 0, where.nCanPort, where.sHost.c_str(), timeoutMs,
                                 transport);
        if (rc == 0)
            rc = CANGetGlobals(handle, &v.nBitrate, &v.nMode, &v.nTermination, &v.nHighSpeed,
                               &v.nTimestamps);
        if (rc == 0) {
            if (cmd.eVerb == Verb::kBusBitrate) v.nBitrate = static_cast<int>(cmd.nBitrate);
            if (cmd.eVerb == Verb::kBusControl) v.nMode = cmd.bListenOnly ? 1 : 0;
            rc = CANSetGlobals(handle, v.nBitrate, v.nMode, v.nTermination, v.nHighSpeed,
                               v.nTimestamps);
        }
        if (handle >= 0) CANCloseDevice(handle);
        return rc;
    };
    auto finish = [this, settings, cmd](Client& client, int rc) {
        const std::string what = cmd.sBus + " " + cmd.sWord;
        if (rc != 0) {
            LogError(client, what + ": " + Message(rc));
            return Fail(client, what + ": " + Message(rc));
        }
        BusSettings& kept = client.oSettings[cmd.sBus];
        if (cmd.eVerb == Verb::kBusBitrate) kept.nBitRate = settings->nBitrate;
        if (cmd.eVerb == Verb::kBusControl) kept.nListenOnly = settings->nMode == 1 ? 1 : 0;
        Log(client.Name() + " set " + cmd.sBus +
            (cmd.eVerb == Verb::kBusBitrate
                 ? " bit rate " + std::to_string(settings->nBitrate)
                 : std::string(" mode ") + (settings->nMode == 1 ? "listen-only" : "normal")));
        scd::AppendOk(&client.sOut);
    };
    RunAside(c, work, finish);
}

void Server::Handle(Client& c, const std::string& body) {
    scd::Command cmd;
    std::string error;
    if (!scd::ParseCommand(body, &cmd, &error)) {
        LogError(c, error + ": '" + Printable(body) + "'");
        return Fail(c, error);
    }
    const uint64_t now = NowUs();
    switch (cmd.eVerb) {
        case Verb::kBusBitrate:
        case Verb::kBusControl:
            if (c.eMode != Mode::kNoBus) return Fail(c, "bus settings are made before open");
            return HandleBusSetting(c, cmd);
        case Verb::kOpen: {
            if (c.eMode != Mode::kNoBus) return Fail(c, "a bus is open already");
            const BusConfig* bus = FindBus(cmd.sBus);
            if (bus == nullptr) {
                LogError(c, "no such bus " + cmd.sBus);
                return Fail(c, "no such bus " + cmd.sBus);
            }
            auto link = std::make_shared<GatewayLink>(*bus, oConfig, nWakeWrite);
            const auto given = c.oSettings.find(bus->sName);
            if (given != c.oSettings.end()) link->SetSettings(given->second);
            auto finish = [this, link](Client& client, int rc) {
                const BusConfig& b = link->Bus();
                if (rc != 0) {
                    LogError(client, "cannot open " + b.sName + ": " + Message(rc));
                    return Fail(client, "cannot open " + b.sName + ": " + Message(rc));
                }
                client.pLink = link;
                client.eMode = Mode::kBcm;
                Log(client.Name() + " opened " + b.sName + " (" + b.sHost + ", CAN port " +
                    std::to_string(b.nCanPort) + ")");
                scd::AppendOk(&client.sOut);
            };
            return RunAside(
                c, [link] { return link->Open(); }, finish);
        }
        case Verb::kEcho:
            return scd::AppendEcho(&c.sOut);
        case Verb::kUnsupported:
            return Fail(c, cmd.sWord + " is not supported");
        default:
            if (c.eMode == Mode::kNoBus) return Fail(c, "no bus is open");
            break;
    }
    const bool bcm = c.eMode == Mode::kBcm;
    switch (cmd.eVerb) {
        case Verb::kRawMode:
        case Verb::kBcmMode:
        case Verb::kControlMode:
            c.eMode = cmd.eVerb == Verb::kRawMode   ? Mode::kRaw
                      : cmd.eVerb == Verb::kBcmMode ? Mode::kBcm
                                                    : Mode::kControl;
            // Cyclic jobs and subscriptions belong to bcm mode and end with it.
            if (c.eMode != Mode::kBcm) {
                c.oJobs.clear();
                c.oSubs.clear();
            }
            return scd::AppendOk(&c.sOut);
        case Verb::kSend:
        case Verb::kSendRtr: {
            if (c.eMode == Mode::kControl) return Fail(c, cmd.sWord + " works in bcm and raw mode");
            // Nothing is held for later: a frame sent after the gap would
            // reach the bus at a time the client did not choose.
            if (c.bReconnecting)
                return Fail(c, cmd.sWord + " " + IdText(cmd.oFrame) +
                                   ": the link to the gateway of " + c.pLink->Bus().sName +
                                   " is down, reconnecting");
            const int rc = c.pLink->Write(cmd.oFrame);
            if (rc != 0) return Fail(c, cmd.sWord + " " + IdText(cmd.oFrame) + ": " + Message(rc));
            return;
        }
        case Verb::kStatistics:
            if (c.eMode != Mode::kControl) return Fail(c, "statistics works in control mode");
            c.nStatsMs = cmd.nStatisticsMs;
            c.nStatsDueUs = now + uint64_t{cmd.nStatisticsMs} * 1000;
            return;
        default:
            break;
    }
    if (!bcm) return Fail(c, cmd.sWord + " works in bcm mode");
    const uint64_t key = Key(cmd.oFrame.nId, cmd.oFrame.bExtended);
    switch (cmd.eVerb) {
        case Verb::kAdd: {
            if (cmd.nIntervalUs == 0)
                return Fail(c, "add needs an interval above 0 (send writes a single frame)");
            if (c.oJobs.count(key) == 0 && c.oJobs.size() >= kMaxJobs)
                return Fail(c, "too many cyclic jobs");
            // The first frame goes out at once, the next after one period.
            c.oJobs[key] = CyclicJob{cmd.oFrame, std::max(cmd.nIntervalUs, kMinCycleUs), now};
            return;
        }
        case Verb::kUpdate: {
            const auto it = c.oJobs.find(key);
            if (it == c.oJobs.end()) return Fail(c, "no cyclic job for " + IdText(cmd.oFrame));
            it->second.oFrame = cmd.oFrame;
            return;
        }
        case Verb::kDelete:
            if (c.oJobs.erase(key) == 0) return Fail(c, "no cyclic job for " + IdText(cmd.oFrame));
            return;
        case Verb::kSubscribe:
        case Verb::kFilter: {
            if (c.oSubs.count(key) == 0 && c.oSubs.size() >= kMaxJobs)
                return Fail(c, "too many subscriptions");
            Subscription s;
            s.nIntervalUs = cmd.nIntervalUs;
            if (cmd.eVerb == Verb::kFilter) s.oMask = cmd.oFrame;
            c.oSubs[key] = s;
            return;
        }
        case Verb::kUnsubscribe:
            if (c.oSubs.erase(key) == 0)
                return Fail(c, "no subscription for " + IdText(cmd.oFrame));
            return;
        default:
            return Fail(c, cmd.sWord + " is not supported");
    }
}

void Server::SendFrame(Client& c, const Received& r) {
    // A batch larger than the bound (after the loop was held up) goes to the
    // socket first; only what the client's socket does not take is dropped.
    if (c.Pending() >= oConfig.nOutLimit) Send(c, NowUs());
    if (c.Pending() >= oConfig.nOutLimit) {
        ++c.nDroppedFrames;
        return;
    }
    const bool extended = (r.nFlags & kFlagExtended) != 0;
    const bool remote = (r.nFlags & kFlagRemote) != 0;
    scd::AppendFrame(r.nId & (extended ? 0x1FFFFFFFu : 0x7FFu), extended, remote, r.aData,
                     r.nLength, r.nSeconds, r.nMicros, &c.sOut);
}

void Server::Deliver(Client& c, const Received& r, uint64_t now) {
    if (c.eMode == Mode::kRaw) return SendFrame(c, r);
    if (c.eMode != Mode::kBcm || c.oSubs.empty()) return;
    const bool extended = (r.nFlags & kFlagExtended) != 0;
    const auto it = c.oSubs.find(Key(r.nId & (extended ? 0x1FFFFFFFu : 0x7FFu), extended));
    if (it == c.oSubs.end()) return;
    Subscription& s = it->second;
    if (s.oMask.nLength > 0) {
        // Only a change in the masked bytes, or in the length, is passed on.
        bool changed = !s.bSeen || s.oLast.nLength != r.nLength;
        for (size_t i = 0; i < s.oMask.nLength && !changed; ++i) {
            const uint8_t now8 = i < r.nLength ? r.aData[i] : 0;
            const uint8_t last8 = i < s.oLast.nLength ? s.oLast.aData[i] : 0;
            changed = ((now8 ^ last8) & s.oMask.aData[i]) != 0;
        }
        s.oLast = r;
        s.bSeen = true;
        if (!changed) return;
    }
    if (s.nIntervalUs == 0 || !s.bSent || now - s.nSentUs >= s.nIntervalUs) {
        SendFrame(c, r);
        s.bSent = true;
        s.nSentUs = now;
        s.bPending = false;
    } else {
        // Throttled: the latest frame goes out when the interval is over.
        s.bPending = true;
        s.oPending = r;
    }
}

void Server::RunTimers(uint64_t now) {
    const bool checkLinks = now >= nLinkCheckDueUs;
    if (checkLinks) nLinkCheckDueUs = now + kLinkCheckUs;
    for (auto& cp : oClients) {
        Client& c = *cp;
        if (c.bClosing || c.bDead) continue;
        for (auto it = c.oJobs.begin(); it != c.oJobs.end();) {
            CyclicJob& job = it->second;
            if (now < job.nDueUs) {
                ++it;
                continue;
            }
            // During a gap the job keeps its period and skips its turns.
            const int rc = c.bReconnecting ? 0 : c.pLink->Write(job.oFrame);
            if (rc != 0) {
                Fail(c, "cyclic job " + IdText(job.oFrame) + " ended: " + Message(rc));
                it = c.oJobs.erase(it);
                continue;
            }
            // Late by more than a period (a busy loop): no burst to catch up.
            job.nDueUs += job.nPeriodUs;
            if (job.nDueUs <= now) job.nDueUs = now + job.nPeriodUs;
            ++it;
        }
        for (auto& entry : c.oSubs) {
            Subscription& s = entry.second;
            if (s.bPending && now - s.nSentUs >= s.nIntervalUs) {
                SendFrame(c, s.oPending);
                s.bPending = false;
                s.nSentUs = now;
            }
        }
        if (c.nStatsMs != 0 && now >= c.nStatsDueUs && c.pLink) {
            LinkQueue& q = c.pLink->Queue();
            scd::AppendStat(c.pLink->Bus().sName, q.nRxBytes.load(), q.nRxPackets.load(),
                            c.pLink->nTxBytes, c.pLink->nTxPackets, &c.sOut);
            c.nStatsDueUs += uint64_t{c.nStatsMs} * 1000;
            if (c.nStatsDueUs <= now) c.nStatsDueUs = now + uint64_t{c.nStatsMs} * 1000;
        }
        if (checkLinks && c.pLink && !c.bReconnecting && !c.pLink->IsUp()) LinkBroke(c, now);
    }
    if (nBeaconFd >= 0 && now >= nBeaconDueUs) {
        nBeaconDueUs = now + kBeaconPeriodUs;
        ::sendto(nBeaconFd, sBeacon.data(), sBeacon.size(), 0,
                 reinterpret_cast<const sockaddr*>(&oBeaconTo), nBeaconToLength);
    }
}

void Server::LinkBroke(Client& c, uint64_t now) {
    const std::string bus = c.pLink->Bus().sName;
    if (!oConfig.bReconnect) {
        Fail(c, "the link to the gateway of " + bus + " broke");
        return CloseAfterFlush(c, "lost the gateway link of " + bus + ": disconnected", now);
    }
    // The client hears of the gap (frames may be missing); the session,
    // its mode, jobs and subscriptions stay.
    Fail(c, "the link to the gateway of " + bus + " broke, reconnecting");
    Log(c.Name() + " lost the gateway link of " + bus + "; reconnecting");
    c.bReconnecting = true;
    c.nLostUs = now;
    std::shared_ptr<GatewayLink> link = c.pLink;
    const std::string name = c.Name();
    auto work = [link, name] {
        if (link->Reopen()) return 0;
        if (!StopRequested())
            Log(name + " stopped reconnecting " + link->Bus().sName + ": the session ended");
        return 1;
    };
    auto finish = [this](Client& client, int rc) {
        client.bReconnecting = false;
        if (rc != 0) return;
        const uint64_t gapMs = (NowUs() - client.nLostUs) / 1000;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(gapMs) / 1000);
        Log(client.Name() + " gateway link of " + client.pLink->Bus().sName + " back after " +
            seconds + " s");
    };
    RunAside(c, work, finish, false);
}

void Server::Send(Client& c, uint64_t now) {
    while (c.Pending() > 0 && !c.bDead) {
        const ssize_t n =
            ::send(c.nFd, c.sOut.data() + c.nOutAt, c.Pending(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.nOutAt += static_cast<size_t>(n);
            c.nProgressUs = now;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        return Drop(c, std::string("closed while sending: ") + std::strerror(errno));
    }
    if (c.Pending() == 0) {
        c.sOut.clear();
        c.nOutAt = 0;
    } else if (c.nOutAt >= 16 * 1024) {
        c.sOut.erase(0, c.nOutAt);
        c.nOutAt = 0;
    }
}

void Server::Flush(Client& c, uint64_t now) {
    if (c.bDead) return;
    Send(c, now);
    if (c.bDead) return;
    if (c.Pending() == 0) {
        c.nProgressUs = now;
        if (c.bClosing) c.bDead = true;
        return;
    }
    if (c.bClosing && now >= c.nCloseByUs) {
        c.bDead = true;
    } else if (now - c.nProgressUs >= oConfig.nStallUs) {
        Drop(c, "read nothing for " + std::to_string(oConfig.nStallUs / 1000) + " ms with " +
                    std::to_string(c.Pending()) + " bytes waiting: disconnected");
    }
}

uint64_t Server::NextTimerUs(uint64_t now) const {
    uint64_t next = std::min(nLinkCheckDueUs, now + kLinkCheckUs);
    if (nBeaconFd >= 0) next = std::min(next, nBeaconDueUs);
    for (const auto& cp : oClients) {
        const Client& c = *cp;
        for (const auto& j : c.oJobs) next = std::min(next, j.second.nDueUs);
        for (const auto& s : c.oSubs) {
            if (s.second.bPending) next = std::min(next, s.second.nSentUs + s.second.nIntervalUs);
        }
        if (c.nStatsMs != 0) next = std::min(next, c.nStatsDueUs);
        if (c.Pending() > 0) next = std::min(next, c.nProgressUs + oConfig.nStallUs);
        if (c.bClosing) next = std::min(next, c.nCloseByUs);
    }
    return next;
}

int Server::Run() {
    int wake[2];
    if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        Log(std::string("cannot make the wake-up pipe: ") + std::strerror(errno));
        return kExitFailed;
    }
    nWakeRead = wake[0];
    nWakeWrite = wake[1];
    if (!Listen()) return kExitFailed;
    if (oConfig.bBeacon && !StartBeacon()) return kExitFailed;
    std::string line = "listening on";
    for (const std::string& u : oUrls) line += " " + u;
    line += "; buses";
    for (const BusConfig& b : oConfig.oBuses)
        line += " " + b.sName + "=" + b.sHost + ":" + std::to_string(b.nCanPort);
    if (oConfig.bBeacon) line += "; beacon to " + oConfig.sBeaconTo;
    Log(line);
    CatchStopSignals();

    std::vector<pollfd> fds;
    while (!StopRequested()) {
        uint64_t now = NowUs();
        fds.clear();
        for (int fd : oListeners) fds.push_back(pollfd{fd, POLLIN, 0});
        fds.push_back(pollfd{nWakeRead, POLLIN, 0});
        const size_t first = fds.size();
        const size_t clients = oClients.size();
        for (const auto& cp : oClients) {
            short events = 0;
            // A client whose output is over its bound is not read: its
            // commands would only add answers it does not take.
            if (!cp->bClosing && !cp->bBusy && cp->oWaiting.empty() &&
                cp->Pending() < oConfig.nOutLimit)
                events |= POLLIN;
            if (cp->Pending() > 0) events |= POLLOUT;
            fds.push_back(pollfd{cp->nFd, events, 0});
        }
        const uint64_t next = NextTimerUs(now);
        const int timeoutMs = next <= now ? 0 : static_cast<int>((next - now + 999) / 1000);
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
            Log(std::string("poll failed: ") + std::strerror(errno));
            return kExitFailed;
        }
        if ((fds[first - 1].revents & POLLIN) != 0) {
            char drain[256];
            while (::read(nWakeRead, drain, sizeof drain) > 0) {
            }
        }
        FinishAside();
        for (size_t i = 0; i < clients; ++i) {
            const short revents = fds[first + i].revents;
            Client& c = *oClients[i];
            if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !c.bClosing) ReadFrom(c);
        }
        for (size_t i = 0; i + 1 < first; ++i) {
            if ((fds[i].revents & POLLIN) != 0) Accept(fds[i].fd);
        }
        now = NowUs();
        for (auto& cp : oClients) {
            if (!cp->pLink || cp->bClosing || cp->bDead) continue;
            oBatch.clear();
            cp->pLink->Queue().TakeAll(&oBatch);
            for (const Received& r : oBatch) Deliver(*cp, r, now);
        }
        RunTimers(now);
        for (auto& cp : oClients) Flush(*cp, now);
        oClients.erase(std::remove_if(oClients.begin(), oClients.end(),
                                      [](const std::unique_ptr<Client>& c) {
                                          if (!c->bDead) return false;
                                          if (c->pLink) c->pLink->Abandon();
                                          ::close(c->nFd);
                                          return true;
                                      }),
                       oClients.end());
    }
    const uint64_t now = NowUs();
    for (auto& cp : oClients) {
        scd::AppendError("server shutting down", &cp->sOut);
        Flush(*cp, now);
        // A reopen running aside sees the stop and closes its link itself.
        if (cp->pLink && !cp->bReconnecting) cp->pLink->Close();
        ::close(cp->nFd);
    }
    // Requests running aside end within the gateway time-out.
    for (auto& w : oWorkers) w.second.join();
    oWorkers.clear();
    oDone.clear();
    Log("stopped with " + std::to_string(oClients.size()) + " client" +
        (oClients.size() == 1 ? "" : "s") + " connected");
    oClients.clear();
    return kExitOk;
}

// NAME=HOST:CANPORT
bool ParseBus(const std::string& text, BusConfig* out) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos) return false;
    out->sName = text.substr(0, eq);
    std::string port;
    long long n = 0;
    scd::Command probe;
    std::string error;
    // A bus name is what "< open NAME >" can carry.
    if (!scd::ParseCommand("open " + out->sName, &probe, &error) || probe.sBus != out->sName)
        return false;
    if (!SplitHostPort(text.substr(eq + 1), &out->sHost, &port) || !ParseInt(port, 0, 99, &n))
        return false;
    out->nCanPort = static_cast<int>(n);
    return true;
}

}  // namespace

int RunSocketcand(const Options& options) {
    std::vector<std::string> args = options.oArgs;
    Config config;
    config.nTimeoutMs = options.nTimeoutMs;
    config.bUdp = options.bUdp;
    std::vector<std::string> buses;
    // --listen and --bus may be given several times: take them out first.
    for (size_t i = 0; i < args.size();) {
        if ((args[i] == "--listen" || args[i] == "--bus") && i + 1 < args.size()) {
            (args[i] == "--listen" ? config.oListen : buses).push_back(args[i + 1]);
            args.erase(args.begin() + static_cast<long>(i),
                       args.begin() + static_cast<long>(i) + 2);
        } else {
            ++i;
        }
    }
    std::map<std::string, std::string> opts;
    std::string error;
    if (!TakeOptions(&args, {"--beacon", "--reconnect"},
                     {"--max-clients", "--beacon-to", "--client-buffer", "--stall-ms"}, &opts,
                     &error))
        return UsageError("socketcand: " + error);
    if (!args.empty()) return UsageError("socketcand takes no arguments but options");
    long long n = 0;
    if (opts.count("--max-clients") != 0) {
        if (!ParseInt(opts["--max-clients"], 1, 1000, &n))
            return UsageError("socketcand: --max-clients needs a number 1-1000");
        config.nMaxClients = static_cast<size_t>(n);
    }
    if (opts.count("--client-buffer") != 0) {
        if (!ParseInt(opts["--client-buffer"], 1024, 64 << 20, &n))
            return UsageError("socketcand: --client-buffer needs bytes, 1024 to 64 MiB");
        config.nOutLimit = static_cast<size_t>(n);
    }
    if (opts.count("--stall-ms") != 0) {
        if (!ParseInt(opts["--stall-ms"], 100, 3600000, &n))
            return UsageError("socketcand: --stall-ms needs milliseconds, 100 to 3600000");
        config.nStallUs = static_cast<uint64_t>(n) * 1000;
    }
    config.bBeacon = opts.count("--beacon") != 0;
    config.bReconnect = opts.count("--reconnect") != 0;
    if (opts.count("--beacon-to") != 0) {
        config.bBeacon = true;
        config.sBeaconTo = opts["--beacon-to"];
    }
    if (config.oListen.empty()) config.oListen.push_back("127.0.0.1:29536");
    for (const std::string& b : buses) {
        BusConfig bus;
        if (!ParseBus(b, &bus))
            return UsageError("socketcand: --bus '" + b +
                              "' is not NAME=HOST:CANPORT (NAME up to 16 of A-Z a-z 0-9 _ - .)");
        for (const BusConfig& other : config.oBuses) {
            if (other.sName == bus.sName)
                return UsageError("socketcand: bus " + bus.sName + " is given twice");
        }
        config.oBuses.push_back(bus);
    }
    if (config.oBuses.empty())
        config.oBuses.push_back(
            BusConfig{"tessara" + std::to_string(options.nPort), options.sHost, options.nPort});
    Server server(config);
    return server.Run();
}

}  // namespace tool
