// Faults of the gateway and of the network against the library: links that
// end under a waiting request or in the middle of a telegram, garbage in the
// stream, bad, duplicate and late confirmations, a gateway that stops
// reading or falls silent, a full gateway, and handles opened and closed by
// many threads while frames flow. Each case states what the application
// must see and that every call returns within its time-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "api/handle_table.h"
#include "test_support.h"

using namespace tes::test;
using tes::sim::MakeConfirmation;
using tes::sim::Request;

namespace {

using tes::wire::kCmdConnect;
using tes::wire::kCmdDisconnect;
using tes::wire::kCmdGetGlobals;
using tes::wire::kCmdSetConfig;
using tes::wire::kCmdSetPowerrelais;
constexpr int kBaudSentinel = 0x5A5A5A5A;
constexpr unsigned char kModeSentinel = 0xA5;

int64_t Now() {
    return tes::sys::MonotonicMs();
}

// A call that must come back: runs on its own thread, and a test whose call
// is still blocked at the deadline ends the process (a hang is the failure).
template <typename T>
T Await(std::future<T>& call, int64_t ms, const char* what) {
    if (call.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready) {
        std::fprintf(stderr, "%s did not return within %lld ms\n", what,
                     static_cast<long long>(ms));
        std::fflush(stderr);
        std::_Exit(3);
    }
    return call.get();
}

// What a handle's frame callback saw.
struct FrameLog {
    std::mutex oMutex;
    std::vector<Bytes> oFrames;  // identifier (4 bytes, little-endian) then data
    void Clear() {
        std::lock_guard<std::mutex> lock(oMutex);
        oFrames.clear();
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(oMutex);
        return oFrames.size();
    }
    std::vector<Bytes> Frames() {
        std::lock_guard<std::mutex> lock(oMutex);
        return oFrames;
    }
};
FrameLog gLog;

void TESSARA_CALLBACK LogFrame(int id, const char* data, int length, int, int) {
    Bytes f{static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id >> 16),
            static_cast<uint8_t>(id >> 24)};
    f.insert(f.end(), data, data + length);
    std::lock_guard<std::mutex> lock(gLog.oMutex);
    gLog.oFrames.push_back(std::move(f));
}

Bytes FramePayload(uint32_t id, const Bytes& data) {
    Bytes p{static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id >> 16),
            static_cast<uint8_t>(id >> 24), 0x00};
    p.insert(p.end(), data.begin(), data.end());
    return p;
}
Bytes Seen(uint32_t id, const Bytes& data) {
    Bytes f = FramePayload(id, data);
    f.erase(f.begin() + 4);  // the log keeps identifier and data, not the flags
    return f;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes GlobalsReply(const Request& r, uint32_t baud) {
    return MakeConfirmation(
        r, 0,
        {0x00, static_cast<uint8_t>(baud), static_cast<uint8_t>(baud >> 8),
         static_cast<uint8_t>(baud >> 16), static_cast<uint8_t>(baud >> 24), 0x01, 0x01, 0x00});
}

class Fault : public GatewayTest {
protected:
    void SetUp() override {
        GatewayTest::SetUp();
        gLog.Clear();
    }
    tes::CTessaraClientCANDll& Client(int h) { return *tes::LookupDeviceHandle(h)->pClient; }
    void Silence(uint16_t command) {
        oGateway.Script(command, [](const Request&) { return std::nullopt; });
    }
    // CANGetGlobals on its own thread: result, outputs and how long it took.
    // It writes the baud rate (0 when the reply did not deliver it) but the
    // operating mode only from a successful reply.
    struct Globals {
        int nResult = -1;
        int nBaud = kBaudSentinel;
        unsigned char cMode = kModeSentinel;
        int64_t nTookMs = 0;
        bool Untouched() const { return nBaud == 0 && cMode == kModeSentinel; }
    };
    static std::future<Globals> GetGlobalsAsync(int h) {
        return std::async(std::launch::async, [h] {
            Globals g;
            int t = 7, hs = 7, ts = 7;
            const int64_t start = Now();
            g.nResult = CANGetGlobals(h, &g.nBaud, &g.cMode, &t, &hs, &ts);
            g.nTookMs = Now() - start;
            return g;
        });
    }
    static Globals GetGlobals(int h) {
        auto call = GetGlobalsAsync(h);
        return Await(call, Scaled(20000), "CANGetGlobals");
    }
};

// ---------------------------------------------------------------- the link ends

// Each way a link can end while a request waits for its confirmation. The
// request must return 0x30000 at once (not at its time-out), the state must
// become 1, and the handle stays valid until it is closed.
struct LinkEnd {
    const char* sName;
    std::function<void(tes::sim::Gateway&, int handle)> fEnd;
};

void PrintTo(const LinkEnd& end, std::ostream* out) {
    *out << end.sName;
}

class LinkEnds : public Fault, public ::testing::WithParamInterface<LinkEnd> {};

TEST_P(LinkEnds, AWaitingRequestEndsAtOnceAndLaterCallsFailCleanly) {
    constexpr int kTimeoutMs = 8000;
    const int h = Open(0, kTimeoutMs);
    ASSERT_EQ(CANSetCallback(h, LogFrame), 0);
    Silence(kCmdGetGlobals);
    auto waiting = GetGlobalsAsync(h);
    ASSERT_TRUE(oGateway.WaitForCommand(kCmdGetGlobals, Scaled(2000)).has_value());
    const int64_t ended = Now();
    GetParam().fEnd(oGateway, h);
    const Globals g = Await(waiting, Scaled(kTimeoutMs + 5000), "the waiting request");
    EXPECT_EQ(g.nResult, 0x30000);
    EXPECT_LT(Now() - ended, Scaled(3000)) << "the request waited for its time-out";
    EXPECT_TRUE(g.Untouched());
    ASSERT_TRUE(WaitUntil([&] { return CANDeviceConnectState(h) == 1; }, Scaled(3000)));
    // Nothing waits any more: every request fails at once.
    const int64_t start = Now();
    EXPECT_EQ(CANSetPowerRelais(h, 1), 0x30000);
    const char byte = 1;
    EXPECT_EQ(CANWrite(h, 0x100, &byte, 1, 0), 0x30000);
    EXPECT_EQ(CANStartAlive(h, 1), 0);
    EXPECT_LT(Now() - start, Scaled(200));
    Forget(h);
    EXPECT_EQ(CANCloseDevice(h), 0);
    EXPECT_EQ(CANDeviceConnectState(h), 0x900000);
}

INSTANTIATE_TEST_SUITE_P(
    Fault, LinkEnds,
    ::testing::Values(
        LinkEnd{"GatewayCloses",
                [](tes::sim::Gateway& g, int) { ASSERT_TRUE(g.DropConnection(0)); }},
        // A whole frame, then half of the next: only the whole one is delivered.
        LinkEnd{"GatewayClosesMidTelegram",
                [](tes::sim::Gateway& g, int) {
                    const Bytes whole = Encode(0x0203, 0, FramePayload(0x101, {1, 2, 3}));
                    const Bytes cut = Encode(0x0203, 0, FramePayload(0x102, {4, 5, 6, 7, 8, 9}));
                    ASSERT_TRUE(g.SendRaw(0, Concat({whole, Bytes(cut.begin(), cut.begin() + 9)})));
                    ASSERT_TRUE(WaitUntil([] { return gLog.Count() == 1; }, Scaled(2000)));
                    ASSERT_TRUE(g.DropConnection(0));
                    // Give a late half every chance to show up as a frame.
                    EXPECT_FALSE(WaitUntil([] { return gLog.Count() > 1; }, 100));
                    EXPECT_EQ(gLog.Frames()[0], Seen(0x101, {1, 2, 3}));
                }},
        // The length field alone: the receive thread holds one byte, then two.
        LinkEnd{"GatewayClosesInsideALengthField",
                [](tes::sim::Gateway& g, int) {
                    ASSERT_TRUE(g.SendRaw(0, {0xFF}));
                    ASSERT_TRUE(g.DropConnection(0));
                }},
        LinkEnd{"GatewaySendsDisconnect",
                [](tes::sim::Gateway& g, int) {
                    ASSERT_TRUE(g.SendDisconnectRequest(0));
                    // The library confirms before it drops the link.
                    EXPECT_TRUE(g.WaitForCommand(0x8202, Scaled(2000)).has_value());
                }},
        // The gateway's keep-alive (period 800 ms) stops: five quarter
        // periods of silence end the link from the keep-alive thread, which
        // says DISCONNECT first.
        LinkEnd{"GatewayKeepAliveFallsSilent",
                [](tes::sim::Gateway& g, int h) {
                    g.SetAliveRequests(800);
                    ASSERT_TRUE(WaitUntil(
                        [&] {
                            return tes::LookupDeviceHandle(h)->pClient->Connection().AliveMode() ==
                                   2;
                        },
                        Scaled(2000)));
                    g.SetAliveRequests(0);
                    EXPECT_TRUE(g.WaitForCommand(kCmdDisconnect, Scaled(3000)).has_value());
                }}),
    [](const ::testing::TestParamInfo<LinkEnd>& info) { return std::string(info.param.sName); });

TEST_F(Fault, GatewayThatStopsReadingDropsTheLinkOnTheSendTimeOut) {
    constexpr int kTimeoutMs = 500;
    const int h = Open(0, kTimeoutMs);
    oGateway.SetStopReading(0, true);
    // Frames without confirmation until both socket buffers are full.
    char data[255];
    std::memset(data, 0x77, sizeof data);
    int rc = 0;
    int64_t took = 0;
    size_t written = 0;
    const int64_t deadline = Now() + Scaled(60000);
    while (rc == 0 && Now() < deadline) {
        const int64_t start = Now();
        rc = CANWrite(h, 0x321, data, sizeof data, 0);
        took = Now() - start;
        if (rc == 0) ++written;
    }
    EXPECT_GT(written, 0u);
    EXPECT_EQ(rc, 0x40000) << "after " << written << " frames";
    EXPECT_GE(took, Scaled(kTimeoutMs) - 5);
    EXPECT_LT(took, Scaled(kTimeoutMs) + Scaled(1000));
    EXPECT_EQ(CANDeviceConnectState(h), 1);
    // The link is gone: no more waiting.
    const int64_t start = Now();
    EXPECT_EQ(CANWrite(h, 0x321, data, sizeof data, 0), 0x30000);
    EXPECT_EQ(GetGlobals(h).nResult, 0x30000);
    EXPECT_LT(Now() - start, Scaled(200));
    oGateway.SetStopReading(0, false);
    Forget(h);
    const int64_t closing = Now();
    EXPECT_EQ(CANCloseDevice(h), 0);
    EXPECT_LT(Now() - closing, Scaled(kTimeoutMs));
}

// ---------------------------------------------------------------- opening

TEST_F(Fault, GatewayClosingDuringTheHandshakeTimesTheOpenOut) {
    constexpr int kTimeoutMs = 600;
    Silence(kCmdConnect);
    auto open = std::async(std::launch::async, [&] {
        int handle = 0;
        const int rc =
            CANOpenDevice(&handle, 0, 0, 0, sAddress.c_str(), static_cast<int>(Scaled(kTimeoutMs)));
        return std::make_pair(rc, handle);
    });
    ASSERT_TRUE(oGateway.WaitForCommand(kCmdConnect, Scaled(2000)).has_value());
    ASSERT_TRUE(oGateway.DropConnection(0));
    const int64_t start = Now();
    const auto [rc, handle] = Await(open, Scaled(kTimeoutMs + 5000), "CANOpenDevice");
    // No CONNECT confirmation before the deadline is a time-out, whatever
    // became of the socket meanwhile.
    EXPECT_EQ(rc, 0x40000);
    EXPECT_EQ(handle, -1);
    EXPECT_LT(Now() - start, Scaled(kTimeoutMs) + Scaled(1000));
    EXPECT_EQ(tes::OpenHandleCount(), 0u);
}

TEST_F(Fault, GatewayClosingAtSetConfigFailsTheOpenAtOnce) {
    constexpr int kTimeoutMs = 8000;
    Silence(kCmdSetConfig);
    auto open = std::async(std::launch::async, [&] {
        int handle = 0;
        const int rc =
            CANOpenDevice(&handle, 0, 0, 0, sAddress.c_str(), static_cast<int>(Scaled(kTimeoutMs)));
        return std::make_pair(rc, handle);
    });
    ASSERT_TRUE(oGateway.WaitForCommand(kCmdSetConfig, Scaled(2000)).has_value());
    ASSERT_TRUE(oGateway.DropConnection(0));
    const int64_t start = Now();
    const auto [rc, handle] = Await(open, Scaled(kTimeoutMs + 5000), "CANOpenDevice");
    EXPECT_EQ(rc, 0x30000);
    EXPECT_EQ(handle, -1);
    EXPECT_LT(Now() - start, Scaled(2000));
    EXPECT_EQ(tes::OpenHandleCount(), 0u);
}

class FaultFullGateway : public Fault {
protected:
    tes::sim::GatewayOptions Options() override {
        tes::sim::GatewayOptions options = Fault::Options();  // TCP only, as every gateway test
        options.nMaxLinksPerPort = 2;
        return options;
    }
};

TEST_F(FaultFullGateway, ConnectionsBeyondTheMaximumAreRefusedUntilOneCloses) {
    const int a = Open();
    const int b = Open();
    ASSERT_GT(b, a);
    int refused = 0;
    EXPECT_EQ(CANOpenDevice(&refused, 0, 0, 0, sAddress.c_str(), static_cast<int>(Scaled(2000))),
              0x1);
    EXPECT_EQ(refused, -1);
    EXPECT_EQ(tes::OpenHandleCount(), 2u);
    char text[128] = {};
    CANErrorMessage(0x1, text, sizeof text);
    EXPECT_STREQ(text, "Open failed, maximum number of connections reached");
    // The refused link is closed by the library; the two others still work.
    EXPECT_TRUE(oGateway.WaitForClosed(2, Scaled(2000)));
    EXPECT_EQ(GetGlobals(a).nResult, 0);
    EXPECT_EQ(GetGlobals(b).nResult, 0);
    Forget(a);
    ASSERT_EQ(CANCloseDevice(a), 0);
    ASSERT_TRUE(oGateway.WaitForClosed(0, Scaled(2000)));
    const int c = Open();
    EXPECT_EQ(c, b + 2);  // the refused open used up a number
    EXPECT_EQ(GetGlobals(c).nResult, 0);
}

// ---------------------------------------------------------------- bad input

TEST_F(Fault, GarbageAroundValidTelegramsIsDroppedAndTheLinkStays) {
    const int h = Open();
    ASSERT_EQ(CANSetMaxSizePerQueue(h, 100), 0);
    const Bytes first = Encode(0x0203, 0, FramePayload(0x111, {0xA1}));
    const Bytes last = Encode(0x0203, 0, FramePayload(0x222, {0xB1, 0xB2}));
    Bytes badLink = Encode(0x0202, 0, {});
    badLink.back() ^= 0xFF;  // a DISCONNECT request with a wrong checksum
    const Bytes stream = Concat({
        first,
        {0x00, 0x00},                                             // length 0
        {0x01, 0x00, 0xFF},                                       // length 1
        {0x03, 0x00, 0xAA, 0xBB, 0xCC},                           // shorter than a header
        Encode(0x0203, 0, {0x01, 0x02, 0x03}),                    // frame shorter than 5 bytes
        Encode(0x0203, 0, FramePayload(0x333, Bytes(65, 0x33))),  // 65 data bytes
        Encode(0x0266, 0, {0x05, 0x10, 0x81}),                    // EMCY shorter than 9 bytes
        Encode(0x0267, 0, {0x05, 0x01}),                          // PDO shorter than 3 bytes
        Encode(0x026C, 0, {0x05}),                                // GUARD shorter than 2 bytes
        Encode(0x026D, 0, {0x81, 0x01, 0x00}),                    // UNDEFINED shorter than 5 bytes
        Encode(0x0264, 0, {}),                                    // SYNC without its byte
        Encode(0x02FF, 9, {0x01, 0x02}),                          // unknown command word
        Encode(0x8201, 1, {0x00}),                                // CONNECT confirmation, unasked
        Encode(0x820D, 0, {0x00}),                                // ALIVE confirmation, unasked
        Encode(0x020D, 0, {0x01}),                                // ALIVE request without a period
        Encode(0x8299, 0x4242, {0x00}),                           // confirmation of no request
        badLink,
        last,
    });
    // Delivered in pieces of 7 bytes, so that telegrams straddle the reads.
    std::vector<size_t> splits;
    for (size_t i = 7; i < stream.size(); i += 7) splits.push_back(i);
    ASSERT_TRUE(oGateway.SendRaw(0, stream, splits, 0));

    std::vector<Bytes> got;
    const int64_t deadline = Now() + Scaled(3000);
    while (got.size() < 2 && Now() < deadline) {
        int available = -1, id = 0;
        char data[64];
        unsigned char length = 0;
        ASSERT_EQ(CANGetMessage(h, &available, &id, data, &length, nullptr, nullptr, nullptr), 0);
        if (available < 0) {
            tes::sys::SleepMs(1);
            continue;
        }
        Bytes f{static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8),
                static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 24)};
        f.insert(f.end(), data, data + length);
        got.push_back(f);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], Seen(0x111, {0xA1}));
    EXPECT_EQ(got[1], Seen(0x222, {0xB1, 0xB2}));
    // Nothing else reached any queue.
    int n = 0;
    EXPECT_EQ(CANGetMessage(h, &n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(CANopenGetEMCY(h, &n, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(CANopenGetPDO(h, &n, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(CANopenGetGUARD(h, &n, nullptr, nullptr), 0);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(CANopenGetSYNC(h, &n, nullptr), 0);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(
        CANopenGetUndefined(h, &n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
        0);
    EXPECT_EQ(n, -1);
    // The only answer is 0xFF to the ALIVE request without a period; the bad
    // DISCONNECT was neither confirmed nor obeyed.
    const auto alive = oGateway.WaitForCommand(0x820D, Scaled(2000));
    ASSERT_TRUE(alive.has_value());
    EXPECT_EQ(alive->Data(), (Bytes{0xFF}));
    EXPECT_EQ(oGateway.CountCommand(0x8202), 0u);
    EXPECT_EQ(oGateway.CountCommand(0x8201), 0u);
    // The confirmation of no request waits in the store; the link works on.
    EXPECT_EQ(Client(h).StoredConfirmations(), 1u);
    EXPECT_EQ(CANDeviceConnectState(h), 3);
    EXPECT_EQ(GetGlobals(h).nResult, 0);
}

// ---------------------------------------------------------------- confirmations

TEST_F(Fault, WrongChecksumFirstWinsAndTheRightOneComesTooLate) {
    const int h = Open(0, 3000);
    ASSERT_EQ(CANSetGlobals(h, 250000, 0, 1, 1, 0), 0);
    Silence(kCmdGetGlobals);
    auto waiting = GetGlobalsAsync(h);
    const auto request = oGateway.WaitForCommand(kCmdGetGlobals, Scaled(2000));
    ASSERT_TRUE(request.has_value());
    Request r;
    r.nCommand = kCmdGetGlobals;
    r.nTelegramId = request->Id();
    Bytes bad = GlobalsReply(r, 111);
    bad.back() ^= 0x01;
    const Bytes good = GlobalsReply(r, 222);
    // The right one follows 200 ms later, when the request has given up.
    ASSERT_TRUE(
        oGateway.SendRaw(0, Concat({bad, good}), {bad.size()}, static_cast<uint32_t>(Scaled(200))));
    const Globals g = Await(waiting, Scaled(5000), "CANGetGlobals");
    EXPECT_EQ(g.nResult, 0xA0000);
    EXPECT_TRUE(g.Untouched());
    EXPECT_LT(g.nTookMs, Scaled(1500));
    // The late right one is kept unclaimed and answers nothing else.
    ASSERT_TRUE(WaitUntil([&] { return Client(h).StoredConfirmations() == 1; }, Scaled(2000)));
    oGateway.ClearScripts();
    const Globals next = GetGlobals(h);
    EXPECT_EQ(next.nResult, 0);
    EXPECT_EQ(next.nBaud, 250000);
}

TEST_F(Fault, DuplicateConfirmationsNeverAnswerAnotherRequest) {
    const int h = Open();
    // Every GET_GLOBALS is answered twice, each telling its id in the baud rate.
    oGateway.Script(kCmdGetGlobals, [](const Request& r) {
        return std::optional<Bytes>(
            Concat({GlobalsReply(r, r.nTelegramId), GlobalsReply(r, 1000000u + r.nTelegramId)}));
    });
    for (int i = 0; i < 200; ++i) {
        const uint16_t id = Client(h).PeekTelegramId();
        const Globals g = GetGlobals(h);
        ASSERT_EQ(g.nResult, 0);
        // The first, or the duplicate that replaced it before it was claimed.
        ASSERT_TRUE(g.nBaud == id || g.nBaud == 1000000 + id) << g.nBaud << " for id " << id;
    }
    // Unclaimed duplicates wait for their age limit; at most one per request.
    EXPECT_LE(Client(h).StoredConfirmations(), 200u);
    EXPECT_EQ(CANDeviceConnectState(h), 3);
}

TEST_F(Fault, LateConfirmationsNeverAnswerALaterRequest) {
    constexpr int kTimeoutMs = 300;
    const int h = Open(0, kTimeoutMs);
    ASSERT_EQ(CANSetGlobals(h, 125000, 0, 0, 1, 0), 0);
    oGateway.SetReplyDelay(static_cast<uint32_t>(Scaled(kTimeoutMs) * 3 / 2));
    for (int i = 0; i < 3; ++i) {
        const Globals g = GetGlobals(h);
        EXPECT_EQ(g.nResult, 0x40000);
        EXPECT_TRUE(g.Untouched());
        EXPECT_GE(g.nTookMs, Scaled(kTimeoutMs) - 5);
        EXPECT_LT(g.nTookMs, Scaled(kTimeoutMs) + Scaled(500));
    }
    // All three arrive late and stay unclaimed.
    ASSERT_TRUE(WaitUntil([&] { return Client(h).StoredConfirmations() == 3; }, Scaled(5000)));
    oGateway.SetReplyDelay(0);
    const Globals g = GetGlobals(h);
    EXPECT_EQ(g.nResult, 0);
    EXPECT_EQ(g.nBaud, 125000);
}

// ---------------------------------------------------------------- many threads

std::atomic<uint64_t> gFramesSeen{0};
void TESSARA_CALLBACK CountFrame(int, const char*, int, int, int) {
    gFramesSeen.fetch_add(1);
}

TEST_F(Fault, EightThreadsOpenUseAndCloseHandlesWhileFramesFlow) {
    const int sender = Open();
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> sent{0}, sendErrors{0};
    std::thread writer([&] {
        char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        while (!stop.load()) {
            if (CANWrite(sender, 0x123, data, 8, 0) == 0) {
                sent.fetch_add(1);
            } else {
                sendErrors.fetch_add(1);
            }
        }
    });
    constexpr int kThreads = 8;
    constexpr int kRounds = 12;
    std::atomic<int> failures{0};
    std::mutex handlesMutex;
    std::vector<int> handles;
    std::vector<std::future<void>> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(std::async(std::launch::async, [&, t] {
            for (int round = 0; round < kRounds; ++round) {
                int h = 0;
                if (CANOpenDevice(&h, 0, 0, 0, sAddress.c_str(), static_cast<int>(Scaled(5000))) !=
                    0) {
                    ++failures;
                    continue;
                }
                {
                    std::lock_guard<std::mutex> lock(handlesMutex);
                    handles.push_back(h);
                }
                // Half the handles take frames by callback, half by queue.
                if ((t + round) % 2 == 0) {
                    if (CANSetCallback(h, CountFrame) != 0) ++failures;
                } else if (CANSetMaxSizePerQueue(h, 50) != 0) {
                    ++failures;
                }
                int baud = 0, term = 0, hs = 0, ts = 0;
                unsigned char mode = 0;
                if (CANGetGlobals(h, &baud, &mode, &term, &hs, &ts) != 0) ++failures;
                if (CANSetPowerRelais(h, round % 2) != 0) ++failures;
                int available = -1;
                CANGetMessage(h, &available, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
                if (CANDeviceConnectState(h) != 3) ++failures;
                if (CANCloseDevice(h) != 0) ++failures;
                if (CANDeviceConnectState(h) != 0x900000) ++failures;
            }
        }));
    }
    for (auto& w : workers) Await(w, Scaled(120000), "a worker thread");
    stop = true;
    writer.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(sendErrors.load(), 0u);
    EXPECT_GT(sent.load(), 0u);
    // Every open got a number of its own, and only the sender is left.
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::adjacent_find(handles.begin(), handles.end()), handles.end());
    EXPECT_EQ(handles.size(), static_cast<size_t>(kThreads * kRounds));
    EXPECT_EQ(tes::OpenHandleCount(), 1u);
    EXPECT_TRUE(
        oGateway.WaitFor([&] { return oGateway.OpenConnectionCount() == 1; }, Scaled(5000)));
    EXPECT_EQ(CANDeviceConnectState(sender), 3);
}

}  // namespace
