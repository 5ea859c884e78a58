// Tests of the gateway simulator's link control, framing and test controls,
// driven by a bare client; expected bytes are the protocol's worked examples.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "gateway.h"
#include "raw_client.h"
#include "test_address.h"
#include "transport/platform.h"
#include "wire/telegram.h"

namespace tes::sim {
namespace {

using Bytes = std::vector<uint8_t>;

using wire::kCmdAlive;
using wire::kCmdConnect;
using wire::kCmdDisconnect;
using wire::kCmdInfo;

const Bytes kConnectRequest = {0x05, 0x00, 0x01, 0x02, 0x01, 0x00, 0x02};
const Bytes kDisconnectRequest = {0x05, 0x00, 0x02, 0x02, 0x00, 0x00, 0x00};
const Bytes kAlive2000 = {0x09, 0x00, 0x0D, 0x02, 0x00, 0x00, 0xD0, 0x07, 0x00, 0x00, 0xD8};

std::string Hex(const std::optional<Bytes>& bytes) {
    if (!bytes) return "(nothing)";
    std::string out;
    char b[4];
    for (uint8_t v : *bytes) {
        std::snprintf(b, sizeof b, "%02X ", v);
        out += b;
    }
    return out;
}

int64_t T(int64_t ms) {
    return TestTimeoutMs(ms);
}

// UDP endpoints use ports the system chooses: under wine a datagram socket
// bound to a loopback address other than 127.0.0.1 holds the wildcard
// address, so fixed UDP ports collide between test processes there.
GatewayOptions TcpOnly() {
    GatewayOptions options;
    options.bUdp = false;
    return options;
}

// ... and replies from such a socket leave from 127.0.0.1, which a client
// connected to the other address drops: UDP tests serve 127.0.0.1.
GatewayOptions UdpOnSystemPorts() {
    GatewayOptions options;
    options.sBindAddress = "127.0.0.1";
    options.nBasePort = 0;
    return options;
}

class SimFixture : public ::testing::Test {
protected:
    void SetUp() override { StartGateway(TcpOnly()); }

    void StartGateway(GatewayOptions options) {
        gateway.Stop();
        std::string error;
        if (options.nBasePort == 0) {
            ASSERT_TRUE(gateway.Start(options, &error)) << error;
        } else {
            ASSERT_TRUE(StartOnFreeLoopback(gateway, options, &error)) << error;
        }
    }

    void Open(RawClient& client, int transport = sys::kTransportTcp, uint8_t canPort = 0) {
        const uint16_t port =
            transport == sys::kTransportTcp ? gateway.TcpPort(canPort) : gateway.UdpPort(canPort);
        ASSERT_TRUE(client.Connect(gateway.BindAddress(), port, transport));
    }

    Gateway gateway;
};

class SimLinkControl : public SimFixture {};
class SimFraming : public SimFixture {};
class SimTestControl : public SimFixture {};
class SimLifecycle : public SimFixture {};

// ---------------------------------------------------------------- link control

TEST_F(SimLinkControl, ConnectAnswerIsConfigurable) {
    struct Case {
        std::optional<uint8_t> answer;
        std::optional<Bytes> expected;
    };
    const Case cases[] = {
        {0, Bytes{0x06, 0x00, 0x01, 0x82, 0x01, 0x00, 0x00, 0x82}},
        {1, Bytes{0x06, 0x00, 0x01, 0x82, 0x01, 0x00, 0x01, 0x83}},
        {0x42, Bytes{0x06, 0x00, 0x01, 0x82, 0x01, 0x00, 0x42, 0xC0}},
        {std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        gateway.SetConnectAnswer(c.answer);
        RawClient client;
        Open(client);
        ASSERT_TRUE(client.Send(kConnectRequest));
        // Silence is proven by the INFO that follows being answered first.
        ASSERT_TRUE(client.SendTelegram(kCmdInfo, 7));
        std::optional<Bytes> first = client.Receive(T(2000));
        ASSERT_TRUE(first);
        if (c.expected) {
            EXPECT_EQ(first, c.expected) << Hex(first);
        } else {
            EXPECT_EQ((*first)[2], 0x09) << "silent CONNECT answered: " << Hex(first);
        }
    }
}

TEST_F(SimLinkControl, ConnectBeyondTheLimitIsRefusedAsFull) {
    GatewayOptions options = TcpOnly();
    options.nMaxLinksPerPort = 1;
    StartGateway(options);
    RawClient first, second;
    Open(first);
    Open(second);
    EXPECT_EQ(first.Exchange(kCmdConnect, 1, {}, T(2000)).value_or(Bytes{}).at(6), 0);
    EXPECT_EQ(second.Exchange(kCmdConnect, 1, {}, T(2000)).value_or(Bytes{}).at(6), 1);
    first.Close();
    ASSERT_TRUE(gateway.WaitForClosed(0, T(2000)));
    RawClient third;
    Open(third);
    EXPECT_EQ(third.Exchange(kCmdConnect, 1, {}, T(2000)).value_or(Bytes{}).at(6), 0);
}

TEST_F(SimLinkControl, DisconnectIsConfirmedThenClosed) {
    RawClient client;
    Open(client);
    ASSERT_TRUE(client.Send(kDisconnectRequest));
    const std::optional<Bytes> reply = client.Receive(T(2000));
    EXPECT_EQ(reply, (Bytes{0x06, 0x00, 0x02, 0x82, 0x00, 0x00, 0x00, 0x80})) << Hex(reply);
    EXPECT_TRUE(client.WaitClosed(T(2000)));
    EXPECT_TRUE(gateway.WaitForClosed(0, T(2000)));
}

TEST_F(SimLinkControl, SilentDisconnectNeitherAnswersNorCloses) {
    gateway.SetDisconnectAnswer(std::nullopt);
    RawClient client;
    Open(client);
    ASSERT_TRUE(client.Send(kDisconnectRequest));
    const std::optional<Bytes> next = client.Exchange(kCmdInfo, 3, {}, T(2000));
    ASSERT_TRUE(next) << "connection closed or INFO unanswered";
    EXPECT_EQ(gateway.CountCommand(kCmdDisconnect), 1u);
    EXPECT_TRUE(gateway.Connection(0)->bOpen);
}

TEST_F(SimLinkControl, AliveIsConfirmedWithItsOwnId) {
    RawClient client;
    Open(client);
    ASSERT_TRUE(client.Send(kAlive2000));
    std::optional<Bytes> reply = client.Receive(T(2000));
    EXPECT_EQ(reply, (Bytes{0x06, 0x00, 0x0D, 0x82, 0x00, 0x00, 0x00, 0x8F})) << Hex(reply);
    EXPECT_EQ(gateway.Connection(0)->nClientAliveMs, 2000u);

    // Id 0x1234 is kept: checksum 0x0D ^ 0x82 ^ 0x34 ^ 0x12 ^ 0x00 = 0xA9.
    ASSERT_TRUE(client.SendTelegram(kCmdAlive, 0x1234, {0x10, 0x27, 0x00, 0x00}));
    reply = client.Receive(T(2000));
    EXPECT_EQ(reply, (Bytes{0x06, 0x00, 0x0D, 0x82, 0x34, 0x12, 0x00, 0xA9})) << Hex(reply);

    // Without a 4-byte period the answer byte is 0xFF.
    ASSERT_TRUE(client.SendTelegram(kCmdAlive, 0, {0x10, 0x27, 0x00}));
    reply = client.Receive(T(2000));
    EXPECT_EQ(reply, (Bytes{0x06, 0x00, 0x0D, 0x82, 0x00, 0x00, 0xFF, 0x70})) << Hex(reply);
}

TEST_F(SimLinkControl, GatewayInitiatedRequests) {
    RawClient client;
    Open(client);
    ASSERT_TRUE(gateway.WaitForConnections(1, T(2000)));

    ASSERT_TRUE(gateway.SendAliveRequest(0, 2000));
    std::optional<Bytes> got = client.Receive(T(2000));
    EXPECT_EQ(got, kAlive2000) << Hex(got);

    ASSERT_TRUE(gateway.SendDisconnectRequest(0));
    got = client.Receive(T(2000));
    EXPECT_EQ(got, kDisconnectRequest) << Hex(got);
    // The client's confirmation ends the connection on the gateway's side.
    ASSERT_TRUE(client.Send(MakeConfirmation(kCmdDisconnect, 0, 0)));
    EXPECT_TRUE(gateway.WaitForClosed(0, T(2000)));
    EXPECT_TRUE(client.WaitClosed(T(2000)));
}

TEST_F(SimLinkControl, PeriodicAliveRequests) {
    gateway.SetAliveRequests(100);
    RawClient client;
    Open(client);
    for (int i = 0; i < 3; ++i) {
        const std::optional<Bytes> got = client.Receive(T(2000));
        EXPECT_EQ(got, (Bytes{0x09, 0x00, 0x0D, 0x02, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00, 0x6B}))
            << Hex(got);
    }
    gateway.SetAliveRequests(0);
}

// ---------------------------------------------------------------- framing

TEST_F(SimFraming, TelegramSplitAtEveryByteIsRecognised) {
    RawClient client;
    Open(client);
    // Two requests, written one byte at a time (the length field too); the
    // pauses make separate segments likely but are not needed for the result.
    Bytes stream = kConnectRequest;
    stream.insert(stream.end(), kAlive2000.begin(), kAlive2000.end());
    for (uint8_t b : stream) {
        ASSERT_TRUE(client.Send({b}));
        sys::SleepMs(2);
    }
    EXPECT_EQ(client.Receive(T(2000)), (Bytes{0x06, 0x00, 0x01, 0x82, 0x01, 0x00, 0x00, 0x82}));
    EXPECT_EQ(client.Receive(T(2000)), (Bytes{0x06, 0x00, 0x0D, 0x82, 0x00, 0x00, 0x00, 0x8F}));
    const std::vector<Telegram> log = gateway.Received(0);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].oBytes, kConnectRequest);
    EXPECT_EQ(log[1].oBytes, kAlive2000);
}

TEST_F(SimFraming, ManyTelegramsInOneWriteAreAnsweredInOrder) {
    RawClient client;
    Open(client);
    Bytes stream;
    for (uint16_t id = 1; id <= 50; ++id) {
        const Bytes t = MakeTelegram(kCmdAlive, id, {0, 0, 0, 0});
        stream.insert(stream.end(), t.begin(), t.end());
    }
    ASSERT_TRUE(client.Send(stream));
    for (uint16_t id = 1; id <= 50; ++id) {
        const std::optional<Bytes> got = client.Receive(T(2000));
        ASSERT_TRUE(got);
        EXPECT_EQ(GetU16(got->data() + 4), id);
    }
}

TEST_F(SimFraming, LargestTelegramArrivesWhole) {
    RawClient client;
    Open(client);
    const Bytes big = MakeTelegram(0x0243, 9, Bytes(wire::kMaxData, 0xA5));
    ASSERT_EQ(big.size(), 65537u);
    ASSERT_TRUE(client.Send(big));
    ASSERT_TRUE(client.Receive(T(5000)));  // answered, whatever the model says
    const std::vector<Telegram> log = gateway.Received(0);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].oBytes, big);
}

TEST_F(SimFraming, GarbageNeverStopsTheGateway) {
    // Random streams, short length fields (0 to 4), bad checksums and a
    // length field announcing far more than ever comes.
    std::mt19937 random(12345);
    for (int round = 0; round < 8; ++round) {
        RawClient client;
        Open(client);
        Bytes junk(4096 + round * 1000);
        for (uint8_t& b : junk) b = static_cast<uint8_t>(random());
        for (size_t i = 0; i + 1 < junk.size(); i += 97) junk[i + 1] = 0;  // many tiny lengths
        ASSERT_TRUE(client.Send(junk));
        ASSERT_TRUE(client.Send(WithWrongChecksum(kConnectRequest)));
        ASSERT_TRUE(client.Send({0xFF, 0xFF, 0x01}));
    }
    // The cut pieces of a short length field are logged, not answered.
    RawClient tiny;
    Open(tiny);
    ASSERT_TRUE(tiny.Send({0x00, 0x00, 0x03, 0x00, 0x01, 0x02, 0x01}));
    EXPECT_TRUE(gateway.WaitFor(
        [&] {
            const std::vector<Telegram> log = gateway.Received(8);
            return log.size() == 2 && log[0].oBytes == Bytes({0, 0}) &&
                   log[1].oBytes == Bytes({3, 0, 1, 2, 1});
        },
        T(2000)));
    // A client arriving afterwards is served as usual.
    RawClient fresh;
    Open(fresh);
    const std::optional<Bytes> reply = fresh.Exchange(kCmdConnect, 1, {}, T(2000));
    EXPECT_EQ(reply, (Bytes{0x06, 0x00, 0x01, 0x82, 0x01, 0x00, 0x00, 0x82})) << Hex(reply);
}

TEST_F(SimFraming, UdpDatagramsCarrySeveralTelegrams) {
    StartGateway(UdpOnSystemPorts());
    RawClient a, b;
    Open(a, sys::kTransportUdp);
    Open(b, sys::kTransportUdp);
    Bytes datagram = kConnectRequest;
    datagram.insert(datagram.end(), kAlive2000.begin(), kAlive2000.end());
    // A third telegram cut short ends the datagram without an answer.
    datagram.insert(datagram.end(), {0x09, 0x00, 0x0D, 0x02});
    ASSERT_TRUE(a.Send(datagram));
    EXPECT_EQ(a.Receive(T(2000)), (Bytes{0x06, 0x00, 0x01, 0x82, 0x01, 0x00, 0x00, 0x82}));
    EXPECT_EQ(a.Receive(T(2000)), (Bytes{0x06, 0x00, 0x0D, 0x82, 0x00, 0x00, 0x00, 0x8F}));
    ASSERT_TRUE(b.Send(kConnectRequest));
    EXPECT_TRUE(b.Receive(T(2000)));
    // Each sender is a connection of its own.
    EXPECT_EQ(gateway.ConnectionCount(), 2u);
    EXPECT_EQ(gateway.Received(0).size(), 2u);
    EXPECT_EQ(gateway.Connection(1)->nTransport, sys::kTransportUdp);
    // DISCONNECT ends the sender's connection; its next datagram opens another.
    ASSERT_TRUE(a.Send(kDisconnectRequest));
    EXPECT_TRUE(a.Receive(T(2000)));
    ASSERT_TRUE(gateway.WaitForClosed(0, T(2000)));
    ASSERT_TRUE(a.Send(kConnectRequest));
    EXPECT_TRUE(a.Receive(T(2000)));
    EXPECT_EQ(gateway.ConnectionCount(), 3u);
}

// ---------------------------------------------------------------- test controls

TEST_F(SimTestControl, ScriptsOverrideTheModel) {
    gateway.Script(kCmdInfo, [](const Request& r) -> std::optional<Bytes> {
        if (r.nTelegramId == 2) return MakeConfirmation(r, 0, {0x11, 0x22});
        if (r.nTelegramId == 3) return WithWrongChecksum(MakeConfirmation(r, 0));
        if (!r.bChecksumOk) return MakeConfirmation(r, 0xEE);
        return std::nullopt;
    });
    RawClient client;
    Open(client);
    std::optional<Bytes> got = client.Exchange(kCmdInfo, 2, {}, T(2000));
    // 0x09^0x82^0x02^0x00^0x00^0x11^0x22 = 0xBA
    EXPECT_EQ(got, (Bytes{0x08, 0x00, 0x09, 0x82, 0x02, 0x00, 0x00, 0x11, 0x22, 0xBA})) << Hex(got);
    got = client.Exchange(kCmdInfo, 3, {}, T(2000));
    EXPECT_EQ(got, (Bytes{0x06, 0x00, 0x09, 0x82, 0x03, 0x00, 0x00, 0x77})) << Hex(got);
    // A script also sees requests with a wrong checksum.
    ASSERT_TRUE(client.Send(WithWrongChecksum(MakeTelegram(kCmdInfo, 5))));
    got = client.Receive(T(2000));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->at(6), 0xEE);
    // nullopt: no answer at all; the ALIVE behind it is answered first.
    ASSERT_TRUE(client.SendTelegram(kCmdInfo, 4));
    ASSERT_TRUE(client.Send(kAlive2000));
    got = client.Receive(T(2000));
    EXPECT_EQ(got.value_or(Bytes{}).at(2), 0x0D) << Hex(got);
    // Without the script the model answers again.
    gateway.Script(kCmdInfo, nullptr);
    got = client.Exchange(kCmdInfo, 6, {}, T(2000));
    ASSERT_TRUE(got);
}

TEST_F(SimTestControl, RequestsWithAWrongChecksumAreDropped) {
    RawClient client;
    Open(client);
    ASSERT_TRUE(client.Send(WithWrongChecksum(kConnectRequest)));
    ASSERT_TRUE(client.Send(kAlive2000));
    const std::optional<Bytes> got = client.Receive(T(2000));
    EXPECT_EQ(got.value_or(Bytes{}).at(2), 0x0D) << Hex(got);
    EXPECT_EQ(gateway.Received(0).size(), 2u);
    EXPECT_FALSE(gateway.Received(0)[0].IsWellFormed());
}

TEST_F(SimTestControl, SendRawSplitsAndClientReassembles) {
    RawClient client;
    Open(client);
    ASSERT_TRUE(gateway.WaitForConnections(1, T(2000)));
    const Bytes t = MakeConfirmation(kCmdInfo, 2, 0, Bytes(20, 0x33));
    const int64_t before = sys::MonotonicMs();
    ASSERT_TRUE(gateway.SendRaw(0, t, {1, 2, 5, 9, 100000}, 30));
    EXPECT_EQ(client.Receive(T(2000)), t);
    EXPECT_GE(sys::MonotonicMs() - before, 3 * 30 - 5);  // three pauses for three cuts
}

TEST_F(SimTestControl, ReplyDelayHoldsEveryAnswer) {
    gateway.SetReplyDelay(150);
    RawClient client;
    Open(client);
    const int64_t before = sys::MonotonicMs();
    ASSERT_TRUE(client.Exchange(kCmdConnect, 1, {}, T(3000)));
    EXPECT_GE(sys::MonotonicMs() - before, 150 - 5);
}

TEST_F(SimTestControl, DropConnectionAndStableIndices) {
    RawClient a, b;
    Open(a);
    Open(b);
    ASSERT_TRUE(gateway.WaitForConnections(2, T(2000)));
    EXPECT_TRUE(gateway.DropConnection(0));
    EXPECT_FALSE(gateway.DropConnection(0));
    EXPECT_TRUE(a.WaitClosed(T(2000)));
    EXPECT_TRUE(b.Exchange(kCmdConnect, 1, {}, T(2000)));
    RawClient c;
    Open(c);
    ASSERT_TRUE(gateway.WaitForConnections(3, T(2000)));
    EXPECT_EQ(gateway.OpenConnectionCount(), 2u);
    EXPECT_FALSE(gateway.Connection(0)->bOpen);
    EXPECT_TRUE(gateway.Connection(2)->bOpen);
    gateway.DropAll();
    EXPECT_TRUE(b.WaitClosed(T(2000)));
    EXPECT_TRUE(c.WaitClosed(T(2000)));
    EXPECT_EQ(gateway.OpenConnectionCount(), 0u);
    EXPECT_TRUE(gateway.WaitForIdle(T(2000)));
}

TEST_F(SimTestControl, StopReadingMakesTheClientBlock) {
    RawClient client;
    Open(client);
    ASSERT_TRUE(client.Exchange(kCmdConnect, 1, {}, T(2000)));
    gateway.SetStopReading(0, true);
    const Bytes big = MakeTelegram(kCmdAlive, 0, Bytes(60000, 0));
    size_t whole = 0;
    bool blocked = false;
    for (int i = 0; i < 2000 && !blocked; ++i) {
        const sys::IoResult r =
            sys::SendStream(client.Handle(), big.data(), big.size(), sys::MonotonicMs() + 100);
        if (r == sys::IoResult::kDone) {
            ++whole;
        } else {
            blocked = true;
        }
    }
    ASSERT_TRUE(blocked) << "sent " << whole << " telegrams without blocking";
    gateway.SetStopReading(0, false);
    EXPECT_TRUE(gateway.WaitFor([&] { return gateway.Received(0).size() >= whole + 1; }, T(10000)));
}

// ---------------------------------------------------------------- lifecycle

TEST_F(SimLifecycle, StartFailsWhenTheAddressIsTaken) {
    Gateway second;
    GatewayOptions options = TcpOnly();
    options.sBindAddress = gateway.BindAddress();
    std::string error;
    EXPECT_FALSE(second.Start(options, &error));
    EXPECT_NE(error.find("5001"), std::string::npos) << error;
    EXPECT_FALSE(second.Running());
    options.oCanPorts = {100};
    EXPECT_FALSE(second.Start(options, &error));
}

TEST_F(SimLifecycle, PortNumbersFollowTheCanPort) {
    GatewayOptions options = TcpOnly();
    options.oCanPorts = {0, 3};
    StartGateway(options);
    EXPECT_EQ(gateway.TcpPort(0), 5001);
    EXPECT_EQ(gateway.TcpPort(3), 5301);
    EXPECT_EQ(gateway.TcpPort(1), 0);
    EXPECT_EQ(gateway.UdpPort(3), 0);
    RawClient client;
    Open(client, sys::kTransportTcp, 3);
    ASSERT_TRUE(gateway.WaitForConnections(1, T(2000)));
    EXPECT_EQ(gateway.Connection(0)->nCanPort, 3);
}

TEST_F(SimLifecycle, StopIsPromptWhateverTheClientsDo) {
    RawClient idle, partial, blocked;
    Open(idle);
    Open(partial);
    Open(blocked);
    ASSERT_TRUE(partial.Send({0xFF, 0xFF, 0x01, 0x02}));  // announces 65537 bytes
    ASSERT_TRUE(gateway.WaitForConnections(3, T(2000)));
    gateway.SetStopReading(2, true);
    gateway.SetReplyDelay(60000);
    ASSERT_TRUE(idle.Send(kConnectRequest));  // its answer waits for the delay
    ASSERT_TRUE(gateway.WaitFor([&] { return gateway.CountCommand(kCmdConnect) == 1; }, T(2000)));

    const std::string address = gateway.BindAddress();
    const int64_t before = sys::MonotonicMs();
    gateway.Stop();
    EXPECT_LT(sys::MonotonicMs() - before, 1000);
    EXPECT_TRUE(idle.WaitClosed(T(2000)));
    EXPECT_TRUE(partial.WaitClosed(T(2000)));
    gateway.Stop();                             // idempotent
    EXPECT_EQ(gateway.Received(0).size(), 1u);  // the log outlives Stop

    // The same address can be served again at once.
    GatewayOptions options = TcpOnly();
    options.sBindAddress = address;
    std::string error;
    ASSERT_TRUE(gateway.Start(options, &error)) << error;
    RawClient again;
    Open(again);
    EXPECT_TRUE(again.Exchange(kCmdConnect, 1, {}, T(2000)));
}

TEST_F(SimLifecycle, Ipv6WithSystemChosenPorts) {
    Gateway v6;
    GatewayOptions options;
    options.sBindAddress = "::1";
    options.nBasePort = 0;
    options.oCanPorts = {0, 1};
    std::string error;
    if (!v6.Start(options, &error)) GTEST_SKIP() << "no IPv6 loopback: " << error;
    EXPECT_NE(v6.TcpPort(0), v6.TcpPort(1));
    RawClient client;
    ASSERT_TRUE(client.Connect("::1", v6.TcpPort(1)));
    EXPECT_EQ(client.Exchange(kCmdConnect, 1, {}, T(2000)),
              (Bytes{0x06, 0x00, 0x01, 0x82, 0x01, 0x00, 0x00, 0x82}));
    EXPECT_EQ(v6.Connection(0)->nCanPort, 1);
    EXPECT_EQ(v6.Connection(0)->sPeer, "::1");
}

}  // namespace
}  // namespace tes::sim
