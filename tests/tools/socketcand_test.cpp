// tessara-can socketcand end to end: the server program between tessara-sim
// and clients on raw sockets (every message byte for byte, both directions,
// bcm jobs and subscriptions, statistics, several and stuck clients, bad
// input, a breaking gateway link, shutdown, the beacon) and python-can's
// socketcand interface.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TessaraCan.h"
#include "process.h"
#include "test_address.h"

namespace tes::test {
namespace {

int64_t T(int64_t ms) {
    return sim::TestTimeoutMs(ms);
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

template <typename Predicate>
bool WaitUntil(Predicate predicate, int64_t timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    while (!predicate()) {
        if (NowMs() >= deadline) return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Frame {
    int nId = 0;
    int nFlags = 0;
    std::vector<uint8_t> oData;
};

std::optional<Frame> NextFrame(int handle, int64_t timeoutMs) {
    Frame f;
    char data[64];
    unsigned char length = 0;
    int available = -1, seconds = 0, micros = 0;
    const bool got = WaitUntil(
        [&] {
            CANGetMessage(handle, &available, &f.nId, data, &length, &f.nFlags, &seconds, &micros);
            return available >= 0;
        },
        timeoutMs);
    if (!got) return std::nullopt;
    f.oData.assign(data, data + length);
    return f;
}

// A socketcand client on a plain TCP socket: sends text, takes the server's
// messages one "< ... >" at a time.
class RawClient {
public:
    ~RawClient() {
        if (nFd >= 0) ::close(nFd);
    }
    bool Connect(const std::string& address, int port, int receiveBuffer = 0) {
        sockaddr_storage a{};
        socklen_t length = 0;
        if (address.find(':') != std::string::npos) {
            auto* s = reinterpret_cast<sockaddr_in6*>(&a);
            s->sin6_family = AF_INET6;
            s->sin6_port = htons(static_cast<uint16_t>(port));
            if (::inet_pton(AF_INET6, address.c_str(), &s->sin6_addr) != 1) return false;
            length = sizeof *s;
        } else {
            auto* s = reinterpret_cast<sockaddr_in*>(&a);
            s->sin_family = AF_INET;
            s->sin_port = htons(static_cast<uint16_t>(port));
            if (::inet_pton(AF_INET, address.c_str(), &s->sin_addr) != 1) return false;
            length = sizeof *s;
        }
        nFd = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            ::setsockopt(nFd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        return nFd >= 0 && ::connect(nFd, reinterpret_cast<sockaddr*>(&a), length) == 0;
    }
    void Send(const std::string& text) {
        ASSERT_EQ(::send(nFd, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    // The next message, or nullopt at the deadline or the end of the stream.
    std::optional<std::string> Next(int64_t timeoutMs) {
        const int64_t deadline = NowMs() + timeoutMs;
        for (;;) {
            const size_t open = sIn.find('<');
            const size_t close = sIn.find('>', open == std::string::npos ? 0 : open);
            if (open != std::string::npos && close != std::string::npos) {
                std::string m = sIn.substr(open, close - open + 1);
                sIn.erase(0, close + 1);
                return m;
            }
            if (bEof || !ReadSome(deadline)) return std::nullopt;
        }
    }
    // The next message that is not a frame (frames seen on the way are kept).
    std::optional<std::string> NextReply(int64_t timeoutMs) {
        for (;;) {
            std::optional<std::string> m = Next(timeoutMs);
            if (!m || m->rfind("< frame ", 0) != 0) return m;
            oSkippedFrames.push_back(*m);
        }
    }
    // True once the server has closed the connection (and what came before
    // has been read).
    bool WaitClosed(int64_t timeoutMs) {
        const int64_t deadline = NowMs() + timeoutMs;
        while (!bEof) {
            if (!ReadSome(deadline)) return false;
        }
        return true;
    }
    const std::string& Buffered() const { return sIn; }
    std::vector<std::string> oSkippedFrames;

private:
    bool ReadSome(int64_t deadline) {
        const int64_t left = deadline - NowMs();
        if (left <= 0) return false;
        pollfd p{nFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) return true;
        char buffer[4096];
        const ssize_t got = ::recv(nFd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            bEof = true;
        } else {
            sIn.append(buffer, static_cast<size_t>(got));
        }
        return true;
    }
    int nFd = -1;
    std::string sIn;
    bool bEof = false;
};

bool AllOf(const std::string& text, const char* set) {
    return text.find_first_not_of(set) == std::string::npos;
}

// "< frame ID SECONDS.MICROSECONDS DATA >" (or "< rtr ID TIME DLC >", the
// DLC in sData) taken apart; nullopt for anything else. A frame without data
// keeps both spaces around its empty DATA.
struct TextFrame {
    bool bRemote = false;
    std::string sId;
    long long nSeconds = 0;
    std::string sData;
};
std::optional<TextFrame> ReadFrameText(const std::string& m) {
    TextFrame f;
    f.bRemote = m.rfind("< rtr ", 0) == 0;
    const size_t start = f.bRemote ? 6 : 8;
    if ((!f.bRemote && m.rfind("< frame ", 0) != 0) || m.size() < start + 2 ||
        m.compare(m.size() - 2, 2, " >") != 0)
        return std::nullopt;
    const std::string body = m.substr(start, m.size() - 2 - start);
    const size_t idEnd = body.find(' ');
    const size_t timeEnd = idEnd == std::string::npos ? idEnd : body.find(' ', idEnd + 1);
    if (timeEnd == std::string::npos) return std::nullopt;
    f.sId = body.substr(0, idEnd);
    const std::string time = body.substr(idEnd + 1, timeEnd - idEnd - 1);
    f.sData = body.substr(timeEnd + 1);
    const size_t dot = time.find('.');
    if ((f.sId.size() != 3 && f.sId.size() != 8) || !AllOf(f.sId, "0123456789ABCDEF") ||
        dot == std::string::npos || dot == 0 || time.size() - dot != 7 ||
        !AllOf(time.substr(0, dot) + time.substr(dot + 1), "0123456789") ||
        !AllOf(f.sData, f.bRemote ? "012345678" : "0123456789ABCDEF") ||
        (f.bRemote && f.sData.size() != 1))
        return std::nullopt;
    f.nSeconds = std::stoll(time.substr(0, dot));
    return f;
}

class Socketcand : public ::testing::Test {
protected:
    void TearDown() override {
        for (int h : oHandles) CANCloseDevice(h);
        for (Process* p : {pServer.get(), pSim.get()}) {
            if (p != nullptr) {
                p->Signal(SIGTERM);
                p->Wait(T(10000));
            }
        }
        // The sanitizer builds report into the server's log.
        if (pServer) {
            EXPECT_EQ(pServer->Err().find("Sanitizer"), std::string::npos) << pServer->Err();
        }
    }

    // tessara-sim on a loopback address of its own, then the server on the
    // same address and a port the system picks.
    void Start(const std::vector<std::string>& simSwitches,
               const std::vector<std::string>& serverSwitches = {}) {
        for (int attempt = 0; attempt < 8 && !pSim; ++attempt) {
            sAddress = sim::NextLoopbackAddress();
            std::vector<std::string> args = {TESSARA_SIM_PROGRAM, "--bind", sAddress, "--no-udp",
                                             "--quiet"};
            args.insert(args.end(), simSwitches.begin(), simSwitches.end());
            pSim = std::make_unique<Process>();
            ASSERT_TRUE(pSim->Start(args));
            if (!pSim->WaitForOut("tessara-sim: listening on", T(10000))) pSim.reset();
        }
        ASSERT_TRUE(pSim) << "the simulator did not start";
        StartServer(serverSwitches);
    }

    void StartServer(const std::vector<std::string>& switches, const std::string& listen = "") {
        std::vector<std::string> args = {TESSARA_CAN_TOOL, "--host", sAddress, "socketcand"};
        const std::string where = listen.empty() ? sAddress + ":0" : listen;
        args.push_back("--listen");
        args.push_back(where);
        // "@" in a switch stands for the simulator's address.
        for (std::string sw : switches) {
            for (size_t at; (at = sw.find('@')) != std::string::npos;) sw.replace(at, 1, sAddress);
            args.push_back(sw);
        }
        pServer = std::make_unique<Process>();
        ASSERT_TRUE(pServer->Start(args));
        ASSERT_TRUE(pServer->WaitForErr("socketcand: listening on", T(10000))) << pServer->Err();
        // "listening on ADDR:PORT[ ADDR:PORT]; buses ...": the last address's port.
        const std::string& log = pServer->Err();
        const size_t end = log.find("; buses");
        const size_t colon = log.rfind(':', end);
        ASSERT_TRUE(end != std::string::npos && colon != std::string::npos) << log;
        nPort = std::stoi(log.substr(colon + 1, end - colon - 1));
    }

    // A client greeted and, unless `bus` is empty, with the bus open in `mode`.
    std::unique_ptr<RawClient> Client(const std::string& bus = "tessara0",
                                      const std::string& mode = "rawmode", int receiveBuffer = 0) {
        auto c = std::make_unique<RawClient>();
        EXPECT_TRUE(c->Connect(sAddress, nPort, receiveBuffer));
        EXPECT_EQ(c->Next(T(3000)), "< hi >");
        if (!bus.empty()) {
            c->Send("< open " + bus + " >");
            EXPECT_EQ(c->Next(T(3000)), "< ok >");
        }
        if (!mode.empty()) {
            c->Send("< " + mode + " >");
            EXPECT_EQ(c->Next(T(3000)), "< ok >");
        }
        return c;
    }

    // A library handle on the simulated bus, beside the server's links.
    int Handle(int canPort = 0) {
        int h = -1;
        EXPECT_EQ(
            CANOpenDeviceEx(&h, 0, 0, canPort, sAddress.c_str(), static_cast<int>(T(2000)), 1), 0);
        if (h >= 0) oHandles.push_back(h);
        // Frames are queued only when a queue size is set.
        EXPECT_EQ(CANSetMaxSizePerQueue(h, 1000), 0);
        return h;
    }

    std::unique_ptr<Process> pSim;
    std::unique_ptr<Process> pServer;
    std::string sAddress;
    int nPort = 0;
    std::vector<int> oHandles;
};

TEST_F(Socketcand, SessionMessagesByteForByte) {
    Start({});
    RawClient c;
    ASSERT_TRUE(c.Connect(sAddress, nPort));
    EXPECT_EQ(c.Next(T(3000)), "< hi >");
    EXPECT_EQ(c.Buffered(), "");  // nothing but the greeting: no line ends, no padding
    const std::vector<std::pair<std::string, std::string>> exchange = {
        {"< echo >", "< echo >"},
        {"< open tessara0 >", "< ok >"},
        {"<echo>", "< echo >"},
        {"< rawmode >", "< ok >"},
        {"< controlmode >", "< ok >"},
        {"< bcmmode >", "< ok >"},
        {"\r\n  <  echo  >\n", "< echo >"},
    };
    for (const auto& e : exchange) {
        c.Send(e.first);
        EXPECT_EQ(c.Next(T(3000)), e.second) << e.first;
    }
    EXPECT_TRUE(pServer->WaitForErr("opened tessara0 (" + sAddress + ", CAN port 0)", T(3000)));
}

TEST_F(Socketcand, RawModeCarriesStandardExtendedAndRemoteFramesBothWays) {
    Start({});
    auto c = Client();
    const int h = Handle();
    // Client to bus: send and sendrtr, with one- and two-digit bytes.
    c->Send(
        "< send 123 3 11 2 FF >< send 1ABCDEF0 0 >< sendrtr 7FF 3 >< send 0 8 0 1 2 3 4 5 6 7 >");
    const std::vector<Frame> expected = {
        {0x123, 0, {0x11, 0x02, 0xFF}},
        {0x1ABCDEF0, 1, {}},
        {0x7FF, 2, {0, 0, 0}},
        {0x000, 0, {0, 1, 2, 3, 4, 5, 6, 7}},
    };
    for (const Frame& e : expected) {
        const std::optional<Frame> f = NextFrame(h, T(3000));
        ASSERT_TRUE(f);
        EXPECT_EQ(f->nId, e.nId);
        EXPECT_EQ(f->nFlags & 3, e.nFlags);
        EXPECT_EQ(f->oData.size(), e.oData.size()) << std::hex << e.nId;
        if ((e.nFlags & 2) == 0) {
            EXPECT_EQ(f->oData, e.oData);
        }
    }
    // Bus to client.
    ASSERT_EQ(CANWrite(h, 0x5A5, "\xDE\xAD\xBE\xEF", 4, 0), 0);
    ASSERT_EQ(CANWrite(h, 0x00000001, "\x01", 1, 1), 0);
    ASSERT_EQ(CANWrite(h, 0x12, "", 0, 0), 0);
    ASSERT_EQ(CANWrite(h, 0x1FFFFFFF, "\0\0", 2, 3), 0);
    // ID, data (the DLC of a remote frame); the data hex without spaces.
    const std::vector<std::pair<std::string, std::string>> want = {
        {"5A5", "DEADBEEF"}, {"00000001", "01"}, {"012", ""}, {"1FFFFFFF", "2"}};
    const long long now = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    for (size_t i = 0; i < want.size(); ++i) {
        const std::optional<std::string> m = c->Next(T(3000));
        ASSERT_TRUE(m);
        const std::optional<TextFrame> f = ReadFrameText(*m);
        ASSERT_TRUE(f) << *m;
        EXPECT_EQ(f->bRemote, i == 3) << *m;
        EXPECT_EQ(f->sId, want[i].first);
        EXPECT_EQ(f->sData, want[i].second);
        // No gateway time stamps on this port: the time of reception.
        EXPECT_LE(std::llabs(f->nSeconds - now), 5) << *m;
    }
    c->Send("< echo >");
    EXPECT_EQ(c->Next(T(3000)), "< echo >");
}

TEST_F(Socketcand, BcmCyclicJobKeepsItsPeriodAndTakesUpdatesAndDelete) {
    Start({});
    auto c = Client("tessara0", "");
    const int h = Handle();
    const int64_t start = NowMs();
    c->Send("< add 0 50000 321 2 AA 1 >");
    std::vector<int64_t> times;
    while (times.size() < 20) {
        const std::optional<Frame> f = NextFrame(h, T(3000));
        ASSERT_TRUE(f) << times.size();
        EXPECT_EQ(f->nId, 0x321);
        EXPECT_EQ(f->oData, (std::vector<uint8_t>{0xAA, 0x01}));
        times.push_back(NowMs());
    }
    // 20 frames: the first at once, then one per 50 ms.
    const int64_t span = times.back() - times.front();
    EXPECT_GE(span, 19 * 50 * 8 / 10) << span;
    EXPECT_LE(times.front() - start, T(500));
    if (sim::TestTimeoutMs(1) == 1) {
        EXPECT_LE(span, 19 * 50 * 13 / 10) << span;
    }

    c->Send("< update 321 1 BB >");
    std::optional<Frame> f;
    ASSERT_TRUE(
        WaitUntil([&] { return (f = NextFrame(h, T(1000))) && f->oData.size() == 1; }, T(3000)));
    EXPECT_EQ(f->oData, (std::vector<uint8_t>{0xBB}));

    c->Send("< delete 321 >< send 7AA 0 >");
    // Frames already on their way end with the marker; none follow it.
    ASSERT_TRUE(WaitUntil([&] { return (f = NextFrame(h, T(1000))) && f->nId == 0x7AA; }, T(3000)));
    EXPECT_FALSE(NextFrame(h, 300)) << "a cyclic frame after delete";

    c->Send("< update 321 1 CC >< delete 321 >< add 0 0 321 0 >");
    EXPECT_EQ(c->Next(T(3000)), "< error no cyclic job for 321 >");
    EXPECT_EQ(c->Next(T(3000)), "< error no cyclic job for 321 >");
    EXPECT_EQ(c->Next(T(3000)),
              "< error add needs an interval above 0 (send writes a single frame) >");
}

TEST_F(Socketcand, BcmSubscriptionsFiltersAndThrottling) {
    Start({});
    auto c = Client("tessara0", "");
    const int h = Handle();
    c->Send(
        "< subscribe 0 0 100 >< filter 0 0 200 1 F0 >< subscribe 0 300000 300 >"
        "< subscribe 0 0 12345678 >< subscribe 0 0 7FF >");
    c->Send("< echo >");
    ASSERT_EQ(c->Next(T(3000)), "< echo >");
    struct Out {
        int nId;
        int nFlags;
        std::string sData;
    };
    // Frames in order; 0x7FF last marks the end.
    const std::vector<Out> written = {
        {0x100, 0, "\x01"}, {0x101, 0, "\x01"},      {0x200, 0, "\x11"},
        {0x200, 0, "\x12"}, {0x200, 0, "\x22"},      {0x200, 0, std::string("\x22\x00", 2)},
        {0x100, 1, "\x02"}, {0x12345678, 1, "\x03"}, {0x300, 0, "\x01"},
        {0x300, 0, "\x02"}, {0x300, 0, "\x03"},      {0x7FF, 0, ""},
    };
    for (const Out& o : written)
        ASSERT_EQ(CANWrite(h, o.nId, o.sData.data(), static_cast<int>(o.sData.size()), o.nFlags),
                  0);
    // 0x100 standard passes, 0x101 and the extended 0x100 are not subscribed;
    // 0x200 passes first, then on a change of its high nibble or its length;
    // 0x300 passes its first frame, then is held for 300 ms.
    const std::vector<std::string> ids = {"100", "200", "200", "200", "12345678", "300", "7FF"};
    const std::vector<std::string> data = {"01", "11", "22", "2200", "03", "01", ""};
    for (size_t i = 0; i < ids.size(); ++i) {
        const std::optional<std::string> m = c->Next(T(3000));
        ASSERT_TRUE(m) << i;
        const std::optional<TextFrame> f = ReadFrameText(*m);
        ASSERT_TRUE(f) << *m;
        EXPECT_EQ(f->sId, ids[i]) << i;
        EXPECT_EQ(f->sData, data[i]) << i;
    }
    // The latest of the throttled frames comes when the interval is over.
    const int64_t before = NowMs();
    const std::optional<std::string> late = c->Next(T(3000));
    ASSERT_TRUE(late);
    const std::optional<TextFrame> f = ReadFrameText(*late);
    ASSERT_TRUE(f) << *late;
    EXPECT_EQ(f->sId, "300");
    EXPECT_EQ(f->sData, "03");
    EXPECT_LE(NowMs() - before, T(1000));

    c->Send("< unsubscribe 100 >< unsubscribe 100 >");
    EXPECT_EQ(c->Next(T(3000)), "< error no subscription for 100 >");
    ASSERT_EQ(CANWrite(h, 0x100, "\x05", 1, 0), 0);
    ASSERT_EQ(CANWrite(h, 0x7FF, "", 0, 0), 0);
    const std::optional<std::string> m = c->Next(T(3000));
    ASSERT_TRUE(m);
    EXPECT_NE(m->find(" 7FF "), std::string::npos) << *m;
}

TEST_F(Socketcand, StatisticsCountWhatTheLinkCarried) {
    Start({});
    auto c = Client("tessara0", "rawmode");
    const int h = Handle();
    c->Send("< send 101 2 1 2 >< send 102 8 1 2 3 4 5 6 7 8 >< sendrtr 103 4 >");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(NextFrame(h, T(3000)));
    ASSERT_EQ(CANWrite(h, 0x201, "\x01\x02\x03", 3, 0), 0);
    ASSERT_EQ(CANWrite(h, 0x202, "\x01", 1, 0), 0);
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(c->Next(T(3000)));
    c->Send("< statistics 100 >");
    EXPECT_EQ(c->Next(T(3000)), "< error statistics works in control mode >");
    c->Send("< controlmode >");
    EXPECT_EQ(c->Next(T(3000)), "< ok >");
    c->Send("< statistics 100 >");
    // rbytes rpackets tbytes tpackets; a remote frame carries no data bytes.
    const int64_t start = NowMs();
    EXPECT_EQ(c->Next(T(3000)), "< stat tessara0 4 2 10 3 >");
    EXPECT_EQ(c->Next(T(3000)), "< stat tessara0 4 2 10 3 >");
    EXPECT_GE(NowMs() - start, 100 - 20);
    c->Send("< statistics 0 >< echo >");
    EXPECT_EQ(c->Next(T(3000)), "< echo >");
    c->Send("< send 104 0 >< subscribe 0 0 104 >");
    EXPECT_EQ(c->Next(T(3000)), "< error send works in bcm and raw mode >");
    EXPECT_EQ(c->Next(T(3000)), "< error subscribe works in bcm mode >");
}

TEST_F(Socketcand, EveryClientOnABusGetsEveryFrame) {
    Start({});
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(Client());
    const int h = Handle();
    for (int i = 0; i < 50; ++i) {
        const char b = static_cast<char>(i);
        ASSERT_EQ(CANWrite(h, 0x400, &b, 1, 0), 0);
    }
    char hex[8];
    for (auto& c : clients) {
        for (int i = 0; i < 50; ++i) {
            const std::optional<std::string> m = c->Next(T(3000));
            ASSERT_TRUE(m) << i;
            std::snprintf(hex, sizeof hex, "%02X", i);
            EXPECT_EQ(ReadFrameText(*m)->sData, hex);
        }
    }
    // What one client sends, the others see on the bus.
    clients[0]->Send("< send 401 1 77 >");
    for (size_t i = 1; i < clients.size(); ++i) {
        const std::optional<std::string> m = clients[i]->Next(T(3000));
        ASSERT_TRUE(m);
        EXPECT_EQ(ReadFrameText(*m)->sId, "401");
    }
    EXPECT_TRUE(NextFrame(h, T(3000)));
}

// The generator's 4-byte little-endian counter of a frame's DATA.
uint32_t Counter(const std::string& m) {
    const std::optional<TextFrame> f = ReadFrameText(m);
    if (!f || f->sData.size() != 8) return 0xFFFFFFFF;
    const std::string& d = f->sData;
    return static_cast<uint32_t>(
        std::stoul(d.substr(6, 2) + d.substr(4, 2) + d.substr(2, 2) + d.substr(0, 2), nullptr, 16));
}

TEST_F(Socketcand, AClientThatDoesNotReadNeitherBlocksNorGrowsAndIsDisconnected) {
    // 2000 frames/s with a counter, 4 KiB of output per client at most.
    Start({"--generate", "12345678:2000"}, {"--client-buffer", "4096", "--stall-ms", "1500"});
    auto stuck = Client("tessara0", "rawmode", 4096);
    auto reader = Client();
    // The reader gets every frame in order while the other reads nothing.
    uint32_t last = 0;
    for (int i = 0; i < 3000; ++i) {
        const std::optional<std::string> m = reader->Next(T(3000));
        ASSERT_TRUE(m) << i;
        const uint32_t n = Counter(*m);
        if (i > 0) {
            ASSERT_EQ(n, last + 1) << i << ": " << *m;
        }
        last = n;
    }
    EXPECT_TRUE(pServer->WaitForErr("read nothing for 1500 ms", T(5000))) << pServer->Err();
    ASSERT_TRUE(pServer->WaitForErr(" frames dropped)", T(1000))) << pServer->Err();
    const std::string& log = pServer->Err();
    const size_t end = log.find(" frames dropped)");
    const long long dropped = std::stoll(log.substr(log.rfind('(', end) + 1));
    // What the stuck client still finds in its socket is an unbroken run of
    // frames: once its bounded output was full, the rest was dropped and
    // counted, not kept. Every frame the reader saw went either way.
    ASSERT_TRUE(stuck->WaitClosed(T(10000)));
    long long received = 0;
    uint32_t previous = 0;
    for (std::optional<std::string> m; (m = stuck->Next(0));) {
        if (m->rfind("< frame ", 0) != 0) continue;
        const uint32_t n = Counter(*m);
        if (received > 0) {
            ASSERT_EQ(n, previous + 1) << received;
        }
        previous = n;
        ++received;
    }
    EXPECT_GT(dropped, 0);
    EXPECT_GE(received + dropped, 3000) << received << " received, " << dropped << " dropped";
    reader->Send("< echo >");
    EXPECT_EQ(reader->NextReply(T(3000)), "< echo >");
}

TEST_F(Socketcand, BadInputIsAnErrorAndTheSessionGoesOn) {
    Start({"--ports", "0-1"}, {"--bus", "tessara0=@:0", "--bus", "tessara1=@:1"});
    auto bystander = Client("tessara0", "rawmode");
    auto c = Client("", "");
    struct Case {
        std::string sInput;
        std::string sReply;  // the whole reply, or what an error names
    };
    const std::vector<Case> cases = {
        {"< send 123 0 >", "no bus is open"},
        {"< open nosuch >", "no such bus nosuch"},
        {"< open tessara0 tessara1 >", "open needs 1 argument"},
        {"< open abcdefghijklmnopq >", "malformed bus name"},
        {"< frobnicate 1 2 >", "unknown command"},
        {"<>", "empty message"},
        {"junk", "bytes outside a message"},
        {std::string("< \x01\xff\0 >", 7), "unknown command"},
        {"< send 123 0 < echo >", "bytes outside a message"},
        {"", "< echo >"},
        {"< open tessara1 >", "< ok >"},
        {"< open tessara0 >", "a bus is open already"},
        {"< tessara0 B 500000 0 0 0 0 0 0 0 >", "bus settings are made before open"},
        {"< rawmode >", "< ok >"},
        {"< send 12G 0 >", "malformed CAN id"},
        {"< send 800 0 >", "malformed CAN id"},
        {"< send 20000000 0 >", "malformed CAN id"},
        {"< send 123456789 0 >", "malformed CAN id"},
        {"< send -12 0 >", "malformed CAN id"},
        {"< send 123 9 >", "malformed length"},
        {"< send 123 -1 >", "malformed length"},
        {"< send 123 2 11 >", "the number of data bytes differs from the length"},
        {"< send 123 1 11 22 >", "the number of data bytes differs from the length"},
        {"< send 123 1 123 >", "malformed data byte"},
        {"< send 123 1 G >", "malformed data byte"},
        {"< send 123 >", "missing CAN id or length"},
        {"< sendrtr 123 2 11 22 >", "a remote frame carries no data bytes"},
        {"< subscribe 0 0 123 >", "subscribe works in bcm mode"},
        {"< muxfilter 0 0 123 2 FF 00 00 00 00 00 00 00 33 FF FF FF FF FF FF FF >",
         "muxfilter is not supported"},
        {"< isotpmode >", "isotpmode is not supported"},
        {"< bcmmode >", "< ok >"},
        {"< add 99999999999 0 123 0 >", "malformed interval"},
        {"< subscribe 0 0 >", "subscribe needs 3 arguments"},
        {"< filter 0 0 123 9 >", "malformed length"},
        {"< statistics 10 >", "statistics works in control mode"},
        {"< echo >", "< echo >"},
    };
    for (const Case& k : cases) {
        if (!k.sInput.empty()) c->Send(k.sInput);
        const std::optional<std::string> m = c->Next(T(3000));
        ASSERT_TRUE(m) << k.sInput;
        if (k.sReply[0] == '<') {
            EXPECT_EQ(*m, k.sReply) << k.sInput;
        } else {
            EXPECT_EQ(*m,
                      "< error " + k.sReply + m->substr(std::min(m->size(), 8 + k.sReply.size())))
                << k.sInput;
        }
    }

    // An over-long message ends that session; a half message ends with its sender.
    auto longer = Client("", "");
    longer->Send("< send 123 8 " + std::string(300, '1'));
    EXPECT_EQ(longer->Next(T(3000)), "< error message longer than 256 bytes >");
    EXPECT_TRUE(longer->WaitClosed(T(3000)));
    {
        auto half = Client("tessara0", "");
        half->Send("< send 123 1");
    }
    EXPECT_TRUE(pServer->WaitForErr("closed inside a message", T(3000))) << pServer->Err();

    // Through all of it the other client went on.
    const int h = Handle();
    ASSERT_EQ(CANWrite(h, 0x55, "\x55", 1, 0), 0);
    EXPECT_EQ(ReadFrameText(bystander->Next(T(3000)).value_or(""))->sId, "055");
    EXPECT_TRUE(pServer->WaitForErr("error: no such bus nosuch", T(1000)));
}

TEST_F(Socketcand, AnOpenWaitingForTheGatewayHoldsUpNoOtherClient) {
    // A gateway that takes the connection and never answers it.
    const std::string silent = sim::NextLoopbackAddress();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(5001);
    ::inet_pton(AF_INET, silent.c_str(), &a.sin_addr);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    Start({}, {"--timeout", "1500", "--bus", "tessara0=@:0", "--bus", "dead=" + silent + ":0"});
    auto reader = Client();
    auto waiting = Client("", "");
    const int h = Handle();
    const int64_t start = NowMs();
    waiting->Send("< open dead >< echo >");
    for (int i = 0; i < 5; ++i) {
        const char b = static_cast<char>(i);
        ASSERT_EQ(CANWrite(h, 0x10, &b, 1, 0), 0);
        ASSERT_TRUE(reader->Next(T(1000))) << i;
    }
    reader->Send("< echo >");
    EXPECT_EQ(reader->Next(T(1000)), "< echo >");
    EXPECT_FALSE(waiting->Next(1)) << "answered before the gateway time-out";
    const std::optional<std::string> m = waiting->Next(T(5000));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->rfind("< error cannot open dead: ", 0), 0u) << *m;
    EXPECT_GE(NowMs() - start, 1500 - 50);
    // What the client sent after the open is answered after it.
    EXPECT_EQ(waiting->Next(T(1000)), "< echo >");
    ::close(fd);
}

TEST_F(Socketcand, BusSettingsBeforeOpenReachThePort) {
    Start({});
    auto c = Client("", "");
    const int h = Handle();
    int baud = 0, termination = 0, highSpeed = 0, timestamps = 0;
    unsigned char mode = 0;
    c->Send("< tessara0 B 250000 0 0 0 0 0 0 0 >");
    EXPECT_EQ(c->Next(T(3000)), "< ok >");
    ASSERT_EQ(CANGetGlobals(h, &baud, &mode, &termination, &highSpeed, &timestamps), 0);
    EXPECT_EQ(baud, 250000);
    EXPECT_EQ(mode, 0);
    c->Send("< tessara0 C 1 0 0 >");
    EXPECT_EQ(c->Next(T(3000)), "< ok >");
    ASSERT_EQ(CANGetGlobals(h, &baud, &mode, &termination, &highSpeed, &timestamps), 0);
    EXPECT_EQ(baud, 250000);
    EXPECT_EQ(mode, 1);  // listen-only
    char text[128];
    CANErrorMessage(0x224, text, sizeof text);
    c->Send("< tessara0 B 12345 0 0 0 0 0 0 0 >");
    EXPECT_EQ(c->Next(T(3000)), "< error tessara0 B: " + std::string(text) + " >");
    c->Send("< tessara0 C 0 1 0 >< tessara9 C 0 0 0 >< tessara0 B 250000 >");
    EXPECT_EQ(c->Next(T(3000)), "< error loopback and three samples are not supported >");
    EXPECT_EQ(c->Next(T(3000)), "< error no such bus tessara9 >");
    EXPECT_EQ(c->Next(T(3000)),
              "< error B needs bitrate sample_point tq prop_seg phase_seg1 phase_seg2 sjw brp >");
    c->Send("< tessara0 C 0 0 0 >< open tessara0 >");
    EXPECT_EQ(c->Next(T(3000)), "< ok >");
    EXPECT_EQ(c->Next(T(3000)), "< ok >");
}

TEST_F(Socketcand, ABrokenGatewayLinkEndsItsSessionsWithAnError) {
    // The link's CONNECT and SET_CONFIG are its telegrams 1 and 2.
    Start({"--drop-after", "4"});
    auto c = Client();
    c->Send("< send 100 0 >< send 101 0 >< send 102 0 >");
    std::optional<std::string> m = c->Next(T(3000));
    while (m && m->rfind("< error send", 0) == 0) m = c->Next(T(3000));
    EXPECT_EQ(m, "< error the link to the gateway of tessara0 broke >");
    EXPECT_TRUE(c->WaitClosed(T(3000)));
    EXPECT_TRUE(pServer->WaitForErr("lost the gateway link of tessara0: disconnected", T(1000)));
    // The server serves on: a new session opens a new link.
    auto again = Client();
    again->Send("< echo >");
    EXPECT_EQ(again->Next(T(3000)), "< echo >");
}

TEST_F(Socketcand, MaxClientsRefusesTheOneBeyond) {
    Start({}, {"--max-clients", "1"});
    auto first = std::make_unique<RawClient>();
    ASSERT_TRUE(first->Connect(sAddress, nPort));
    EXPECT_EQ(first->Next(T(3000)), "< hi >");
    RawClient second;
    ASSERT_TRUE(second.Connect(sAddress, nPort));
    EXPECT_EQ(second.Next(T(3000)), "< error too many clients >");
    EXPECT_TRUE(second.WaitClosed(T(3000)));
    EXPECT_TRUE(pServer->WaitForErr("1 clients connected already", T(1000)));
    first.reset();
    ASSERT_TRUE(pServer->WaitForErr(" closed\n", T(3000)));
    RawClient third;
    ASSERT_TRUE(third.Connect(sAddress, nPort));
    EXPECT_EQ(third.Next(T(3000)), "< hi >");
}

TEST_F(Socketcand, ShutdownTellsConnectedClientsAndEnds) {
    Start({});
    auto opened = Client();
    auto idle = Client("", "");
    pServer->Signal(SIGTERM);
    for (RawClient* c : {opened.get(), idle.get()}) {
        EXPECT_EQ(c->Next(T(3000)), "< error server shutting down >");
        EXPECT_TRUE(c->WaitClosed(T(3000)));
    }
    EXPECT_EQ(pServer->Wait(T(5000)), 0);
    EXPECT_NE(pServer->Err().find("stopped with 2 clients connected"), std::string::npos)
        << pServer->Err();
    pServer.reset();
}

TEST_F(Socketcand, BeaconAnnouncesTheServerAndItsBuses) {
    Start({});
    // The beacon's receiver: a datagram socket on the same loopback address.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, sAddress.c_str(), &a.sin_addr);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    const int port = ntohs(a.sin_port);
    // A second server on the same simulator, with two buses and the beacon.
    pServer->Signal(SIGTERM);
    pServer->Wait(T(5000));
    StartServer({"--bus", "front=@:0", "--bus", "rear=@:1", "--beacon-to",
                 sAddress + ":" + std::to_string(port)});
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, static_cast<int>(T(5000))), 1);
    char buffer[2048];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    ::close(fd);
    ASSERT_GT(got, 0);
    const std::string text(buffer, static_cast<size_t>(got));
    EXPECT_EQ(text.rfind("<CANBeacon name=\"", 0), 0u) << text;
    EXPECT_NE(text.find("<URL>can://" + sAddress + ":" + std::to_string(nPort) + "</URL>"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("<Bus name=\"front\"/><Bus name=\"rear\"/></CANBeacon>"), std::string::npos)
        << text;
}

TEST_F(Socketcand, ListensOnIpv6) {
    const int probe = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool v6 = probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (probe >= 0) ::close(probe);
    if (!v6) GTEST_SKIP() << "no IPv6 loopback here";
    Start({});
    pServer->Signal(SIGTERM);
    pServer->Wait(T(5000));
    StartServer({}, "[::1]:0");
    RawClient c;
    ASSERT_TRUE(c.Connect("::1", nPort));
    EXPECT_EQ(c.Next(T(3000)), "< hi >");
    c.Send("< open tessara0 >");
    EXPECT_EQ(c.Next(T(3000)), "< ok >");
    EXPECT_TRUE(pServer->WaitForErr("[::1]:", T(1000)));
}

TEST_F(Socketcand, PythonCanClientSendsAndReceives) {
    if (RunProgram({"/usr/bin/python3", "-c", "import can.interfaces.socketcand"}, T(20000))
            .nCode != 0)
        GTEST_SKIP() << "python3-can is not installed";
    Start({});
    const int h = Handle();
    // Standard frames only: python-can 4.1 marks every received frame as
    // extended and writes identifiers without padding.
    constexpr int kReceive = 200;
    const std::string script =
        "import can, sys, time\n"
        "bus = can.Bus(interface='socketcand', host=sys.argv[1], port=int(sys.argv[2]),\n"
        "              channel='tessara0')\n"
        "for i in range(20):\n"
        "    bus.send(can.Message(arbitration_id=0x100 + i, data=[i, 0xAB], "
        "is_extended_id=False))\n"
        "print('ready', flush=True)\n"
        "got, end = [], time.time() + 30\n"
        "while len(got) < " +
        std::to_string(kReceive) +
        " and time.time() < end:\n"
        "    m = bus.recv(1.0)\n"
        "    if m is not None:\n"
        "        got.append(m)\n"
        "for m in got:\n"
        "    print('rx %X %s' % (m.arbitration_id, m.data.hex()), flush=True)\n"
        "bus.shutdown()\n";
    Process py;
    ASSERT_TRUE(py.Start({"/usr/bin/python3", "-c", script, sAddress, std::to_string(nPort)}));
    ASSERT_TRUE(py.WaitForOut("ready\n", T(20000))) << py.Err();
    for (int i = 0; i < 20; ++i) {
        const std::optional<Frame> f = NextFrame(h, T(3000));
        ASSERT_TRUE(f) << i;
        EXPECT_EQ(f->nId, 0x100 + i);
        EXPECT_EQ(f->nFlags & 3, 0);
        EXPECT_EQ(f->oData, (std::vector<uint8_t>{static_cast<uint8_t>(i), 0xAB}));
    }
    // A modest rate: 200 frames/s.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kReceive; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(5 * i));
        const char data[2] = {static_cast<char>(i >> 8), static_cast<char>(i)};
        ASSERT_EQ(CANWrite(h, 0x321, data, 2, 0), 0);
    }
    ASSERT_EQ(py.Wait(T(40000)), 0) << py.Err();
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = py.Out().find('\n', at)) != std::string::npos; at = end + 1)
        if (py.Out().compare(at, 3, "rx ") == 0) lines.push_back(py.Out().substr(at, end - at));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kReceive)) << py.Out() << py.Err();
    char want[32];
    for (int i = 0; i < kReceive; ++i) {
        std::snprintf(want, sizeof want, "rx 321 %04x", i);
        EXPECT_EQ(lines[static_cast<size_t>(i)], want);
    }
}

}  // namespace
}  // namespace tes::test
