// Tests of the simulator switches behind tessara-sim: CAN ports bridged to
// one bus, the link that drops at its N-th telegram, and the event that
// reports every answer sent.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "gateway.h"
#include "raw_client.h"
#include "test_address.h"

namespace tes::sim {
namespace {

using Bytes = std::vector<uint8_t>;

int64_t T(int64_t ms) {
    return TestTimeoutMs(ms);
}

// A bare client on one CAN port with telegram ids of its own.
struct Peer {
    bool Open(Gateway& gateway, uint8_t canPort) {
        return raw.Connect(gateway.BindAddress(), gateway.TcpPort(canPort));
    }
    // Result byte and reply data of a request.
    Bytes Ask(uint16_t command, const Bytes& data = {}) {
        const std::optional<Bytes> t = raw.Exchange(command, ++id, data, T(2000));
        return t && t->size() >= 7 ? Bytes(t->begin() + 6, t->end() - 1) : Bytes{};
    }
    // Data of the next unsolicited telegram with this word.
    std::optional<Bytes> Next(uint16_t command) {
        const std::optional<Bytes> t = raw.ReceiveCommand(command, T(2000));
        if (!t) return std::nullopt;
        return Bytes(t->begin() + 6, t->end() - 1);
    }
    // True when nothing arrived before the answer to a fresh request.
    bool Quiet() {
        raw.SendTelegram(0x0209, ++id);
        const std::optional<Bytes> t = raw.Receive(T(2000));
        return t && t->size() >= 4 && (*t)[2] == 0x09 && (*t)[3] == 0x82;
    }
    RawClient raw;
    uint16_t id = 1;
};

// SET_GLOBALS: mode, 500000 bit/s, no termination, high speed, time stamps.
Bytes Globals(uint8_t mode, bool timestamps) {
    return {mode, 0x20, 0xA1, 0x07, 0x00, 0, 1, uint8_t(timestamps ? 1 : 0)};
}

TEST(SimBridge, FramesCrossTheBridgeEachPortReceivingByItsOwnSettings) {
    Gateway gateway;
    GatewayOptions options;
    options.oCanPorts = {0, 1, 2};
    options.oBridges = {{0, 1}};
    options.bUdp = false;
    ASSERT_TRUE(gateway.AddNode(5, 1));
    std::string error;
    ASSERT_TRUE(StartOnFreeLoopback(gateway, options, &error)) << error;
    Peer p0, p1, p2;
    ASSERT_TRUE(p0.Open(gateway, 0));
    ASSERT_TRUE(p1.Open(gateway, 1));
    ASSERT_TRUE(p2.Open(gateway, 2));
    ASSERT_EQ(p1.Ask(0x0207, Globals(0, true)), Bytes{0});

    // WRITE 0x123 with 01 02 on port 0: port 1 stamps it, port 2 is another bus.
    ASSERT_TRUE(p0.raw.SendTelegram(0x0203, ++p0.id, {0x23, 0x01, 0, 0, 0, 0x01, 0x02}));
    const std::optional<Bytes> seen = p1.Next(0x0203);
    ASSERT_TRUE(seen);
    ASSERT_EQ(seen->size(), 4u + 1 + 2 + 8);
    EXPECT_EQ(Bytes(seen->begin(), seen->begin() + 7), (Bytes{0x23, 0x01, 0, 0, 0x04, 0x01, 0x02}));
    EXPECT_TRUE(p2.Quiet());
    EXPECT_TRUE(p0.Quiet());  // no Monitor flag: the sender does not hear itself

    // And back: the frame from port 1 reaches port 0, unstamped there.
    ASSERT_TRUE(p1.raw.SendTelegram(0x0203, ++p1.id, {0x21, 0x03, 0, 0, 0}));
    EXPECT_EQ(p0.Next(0x0203), (Bytes{0x21, 0x03, 0, 0, 0}));

    // A port that is off hears nothing of the bus, the bridge notwithstanding.
    ASSERT_EQ(p1.Ask(0x0207, Globals(2, false)), Bytes{0});
    ASSERT_TRUE(p0.raw.SendTelegram(0x0203, ++p0.id, {0x24, 0x01, 0, 0, 0}));
    EXPECT_TRUE(p1.Quiet());

    // The node on port 1 hears the NMT a manager on port 0 sends.
    ASSERT_EQ(p0.Ask(0x0260, {1}), Bytes{0});
    ASSERT_EQ(p0.Ask(0x0263, {5, 0x01}), Bytes{0});
    EXPECT_EQ(gateway.NodeState(5, 1), uint8_t{0x05});
}

TEST(SimBridge, StartRefusesABridgeWithoutTwoServedPorts) {
    Gateway gateway;
    GatewayOptions options;
    options.oCanPorts = {0, 1};
    options.bUdp = false;
    for (const auto& bridge :
         {std::make_pair<uint8_t, uint8_t>(0, 3), std::make_pair<uint8_t, uint8_t>(1, 1)}) {
        options.oBridges = {bridge};
        std::string error;
        EXPECT_FALSE(StartOnFreeLoopback(gateway, options, &error, 1));
        EXPECT_NE(error.find("bridge " + std::to_string(bridge.first) + ":" +
                             std::to_string(bridge.second)),
                  std::string::npos)
            << error;
        EXPECT_FALSE(gateway.Running());
    }
}

TEST(SimDropAfter, TheNthTelegramEndsTheConnectionUnanswered) {
    Gateway gateway;
    GatewayOptions options;
    options.bUdp = false;
    options.nDropAfterTelegrams = 3;
    std::string error;
    ASSERT_TRUE(StartOnFreeLoopback(gateway, options, &error)) << error;
    Peer p;
    ASSERT_TRUE(p.Open(gateway, 0));
    EXPECT_EQ(p.Ask(0x0201), Bytes{0});    // CONNECT, telegram 1
    EXPECT_EQ(p.Ask(0x0209).size(), 21u);  // INFO, telegram 2: result and record
    ASSERT_TRUE(p.raw.SendTelegram(0x0209, ++p.id));
    EXPECT_TRUE(p.raw.WaitClosed(T(2000)));
    EXPECT_EQ(gateway.Received(0).size(), 3u);
    EXPECT_EQ(gateway.CountCommand(0x8209), 0u);  // nothing the client sent confirms anything

    // Each connection counts its own telegrams.
    Peer again;
    ASSERT_TRUE(again.Open(gateway, 0));
    EXPECT_EQ(again.Ask(0x0201), Bytes{0});
    EXPECT_EQ(again.Ask(0x0209).size(), 21u);
}

TEST(SimEvents, AnsweredReportsEachAnswerSent) {
    Gateway gateway;
    GatewayOptions options;
    options.bUdp = false;
    options.nMaxLinksPerPort = 1;
    std::mutex mutex;
    std::vector<GatewayEvent> answered;
    gateway.SetEventHook([&](const GatewayEvent& e) {
        if (e.eKind != GatewayEvent::Kind::kAnswered) return;
        std::lock_guard<std::mutex> lock(mutex);
        answered.push_back(e);
    });
    std::string error;
    ASSERT_TRUE(StartOnFreeLoopback(gateway, options, &error)) << error;
    Peer a, b;
    ASSERT_TRUE(a.Open(gateway, 0));
    ASSERT_TRUE(b.Open(gateway, 0));
    const auto count = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return answered.size();
    };
    // The event comes after the answer is sent, from the connection's own
    // thread: each is awaited before the next request, so they stay in order.
    EXPECT_EQ(a.Ask(0x0201), Bytes{0});
    ASSERT_TRUE(gateway.WaitFor([&] { return count() == 1; }, T(2000)));
    EXPECT_EQ(b.Ask(0x0201), Bytes{1});  // the port's one link is taken
    ASSERT_TRUE(gateway.WaitFor([&] { return count() == 2; }, T(2000)));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(answered[0].oConnection.nIndex, 0u);
    EXPECT_EQ(answered[0].oBytes, (Bytes{0x06, 0x00, 0x01, 0x82, 0x02, 0x00, 0x00, 0x81}));
    EXPECT_EQ(answered[1].oConnection.nIndex, 1u);
    EXPECT_EQ(answered[1].oBytes, (Bytes{0x06, 0x00, 0x01, 0x82, 0x02, 0x00, 0x01, 0x80}));
}

}  // namespace
}  // namespace tes::sim
