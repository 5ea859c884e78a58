// Tests of the gateway simulator's device model through a bare client: a few
// answers byte for byte, and the behaviours other tests rely on (the bus, the
// clock, rejections, CANopen nodes).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway.h"
#include "protocol/telegram.h"
#include "raw_client.h"
#include "test_address.h"
#include "transport/platform.h"

namespace tes::sim {
namespace {

using Bytes = std::vector<uint8_t>;

int64_t T(int64_t ms) {
    return TestTimeoutMs(ms);
}

Bytes U32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Length field and XOR checksum checked independently of the code under test.
bool WellFramed(const Bytes& t) {
    if (t.size() < 7 || size_t(t[0] | t[1] << 8) + 2 != t.size()) return false;
    uint8_t x = 0;
    for (size_t i = 2; i + 1 < t.size(); ++i) x ^= t[i];
    return x == t.back();
}

// A client with its own telegram ids.
class Client {
public:
    void Open(Gateway& gw, uint8_t canPort = 0) {
        ASSERT_TRUE(raw.Connect(gw.BindAddress(), gw.TcpPort(canPort)));
    }
    // The whole confirmation of a request.
    Bytes Raw(uint16_t command, const Bytes& data = {}) {
        const std::optional<Bytes> t = raw.Exchange(command, ++id, data, T(2000));
        EXPECT_TRUE(t) << "no confirmation of " << std::hex << command;
        if (t) {
            EXPECT_TRUE(WellFramed(*t));
        }
        return t.value_or(Bytes{});
    }
    // The confirmation's data: result byte first.
    Bytes Ask(uint16_t command, const Bytes& data = {}) {
        const Bytes t = Raw(command, data);
        return t.size() >= 7 ? Bytes(t.begin() + 6, t.end() - 1) : Bytes{};
    }
    // Data of the next unsolicited telegram with this word.
    Bytes Next(uint16_t command) {
        const std::optional<Bytes> t = raw.ReceiveCommand(command, T(2000));
        EXPECT_TRUE(t) << "no telegram " << std::hex << command;
        if (!t) return {};
        EXPECT_TRUE(WellFramed(*t));
        EXPECT_EQ(GetU16(t->data() + 4), 0) << "indications carry id 0";
        return Bytes(t->begin() + 6, t->end() - 1);
    }
    // True when the confirmation of an INFO is the next thing to arrive.
    bool Quiet() {
        raw.SendTelegram(0x0209, ++id);
        const std::optional<Bytes> t = raw.Receive(T(2000));
        return t && GetU16(t->data() + 2) == 0x8209;
    }
    RawClient raw;
    uint16_t id = 1;
};

class SimModel : public ::testing::Test {
protected:
    void SetUp() override {
        GatewayOptions options;
        options.oCanPorts = {0, 1};
        options.bUdp = false;  // the model is the same over UDP
        gateway.AddNode(5);
        std::string error;
        ASSERT_TRUE(StartOnFreeLoopback(gateway, options, &error)) << error;
    }
    Gateway gateway;
};

class SimModelCanopen : public SimModel {
protected:
    void SetUp() override {
        SimModel::SetUp();
        a.Open(gateway);
        b.Open(gateway);
        ASSERT_TRUE(gateway.WaitForConnections(2, T(2000)));
        ASSERT_EQ(a.Ask(0x0260, {1}), Bytes{0});
    }
    Client a, b;
};

// ---------------------------------------------------------------- byte for byte

TEST_F(SimModel, AnswersByteForByte) {
    Client c;
    c.Open(gateway);
    c.id = 6;
    // Unknown command: result 0xFF.
    EXPECT_EQ(c.Raw(0x0230), (Bytes{0x06, 0x00, 0x30, 0x82, 0x07, 0x00, 0xFF, 0x4A}));
    c.id = 2;
    // Power-up configuration: normal mode, 500000 bit/s, high speed.
    EXPECT_EQ(c.Raw(0x0208), (Bytes{0x0E, 0x00, 0x08, 0x82, 0x03, 0x00, 0x00, 0x00, 0x20, 0xA1,
                                    0x07, 0x00, 0x00, 0x01, 0x00, 0x0E}));
    EXPECT_EQ(c.Ask(0x0207, {0x00, 0x90, 0xD0, 0x03, 0x00, 0x01, 0x01, 0x01}), Bytes{0});
    EXPECT_EQ(c.Raw(0x0208), (Bytes{0x0E, 0x00, 0x08, 0x82, 0x05, 0x00, 0x00, 0x00, 0x90, 0xD0,
                                    0x03, 0x00, 0x01, 0x01, 0x01, 0xCD}));
}

// ---------------------------------------------------------------- CAN port

TEST_F(SimModel, SetGlobalsRejectsWhatThePortCannotDo) {
    Client c;
    c.Open(gateway);
    const auto globals = [](uint8_t mode, uint32_t rate, bool highSpeed) {
        return Cat(Cat({mode}, U32(rate)), {0, uint8_t(highSpeed ? 1 : 0), 0});
    };
    EXPECT_EQ(c.Ask(0x0207, globals(0, 123456, true)), Bytes{0x24});
    EXPECT_EQ(c.Ask(0x0207, globals(0, 500, true)), Bytes{0x24});      // kbit/s is not the unit
    EXPECT_EQ(c.Ask(0x0207, globals(0, 250000, false)), Bytes{0x24});  // low-speed: 125 kbit/s max
    EXPECT_EQ(c.Ask(0x0207, globals(3, 250000, true)), Bytes{0xFF});
    EXPECT_EQ(c.Ask(0x0207, Bytes(7, 0)), Bytes{0xFF});
    EXPECT_EQ(c.Ask(0x0207, globals(1, 125000, false)), Bytes{0});
    const Bytes g = c.Ask(0x0208);
    EXPECT_EQ(g, (Bytes{0, 1, 0x48, 0xE8, 0x01, 0x00, 0, 0, 0}));
}

TEST_F(SimModel, FilterAndClockKeepWhatIsSet) {
    Client c;
    c.Open(gateway);
    Bytes filter;
    for (uint32_t k = 0; k < 16; ++k) filter = Cat(filter, U32(0x01020304u * (k + 1)));
    EXPECT_EQ(c.Ask(0x0220, filter), Bytes{0});
    EXPECT_EQ(c.Ask(0x0221), Cat({0}, filter));

    const Bytes before = c.Ask(0x020E);
    ASSERT_EQ(before.size(), 10u);
    EXPECT_EQ(before[1], 0) << "clock not set yet";
    EXPECT_EQ(c.Ask(0x020B, Cat(U32(1000000000), U32(999000))), Bytes{0});
    EXPECT_EQ(c.Ask(0x020B, Cat(U32(1), U32(1000000))), Bytes{0xFF});
    const Bytes t1 = c.Ask(0x020E);
    const Bytes t2 = c.Ask(0x020E);
    ASSERT_EQ(t1.size(), 10u);
    ASSERT_EQ(t2.size(), 10u);
    EXPECT_EQ(t1[1], 1);
    const auto us = [](const Bytes& t) { return int64_t(GetU32(&t[2])) * 1000000 + GetU32(&t[6]); };
    const int64_t set = 1000000000ll * 1000000 + 999000;
    EXPECT_GE(us(t1), set);
    EXPECT_LT(us(t1), set + T(2000) * 1000);
    EXPECT_GE(us(t2), us(t1)) << "the clock runs forward";
}

TEST_F(SimModel, PowerStatusFollowsRelayAndSupplies) {
    Client c;
    c.Open(gateway);
    const auto status = [&] {
        const Bytes s = c.Ask(0x0222);
        EXPECT_GE(s.size(), 11u);
        if (s.size() < 11) return s;
        EXPECT_EQ(s.size(), 11u + 2 * s[1] + s[2] + s[3]) << "counts match the lists";
        return s;
    };
    Bytes s = status();
    ASSERT_EQ(s[1], 3);
    EXPECT_EQ(s[10] & 1, 1) << "relay closed at power-up";
    EXPECT_EQ(GetU16(&s[11]), 5000);
    EXPECT_EQ(c.Ask(0x0224, U32(0x2)), Bytes{0});
    s = status();
    EXPECT_EQ((Bytes{s[17], s[18], s[19]}), (Bytes{0, 1, 0}));  // active flags
    EXPECT_EQ(GetU16(&s[11]), 0);
    EXPECT_EQ(GetU16(&s[13]), 12000);
    EXPECT_EQ(c.Ask(0x0223, {0}), Bytes{0});
    s = status();
    EXPECT_EQ(s[10] & 1, 0);
    EXPECT_EQ(GetU16(&s[13]), 0);
    // Bits beyond the three supplies are ignored.
    EXPECT_EQ(c.Ask(0x0224, U32(0xFFFFFFF9)), Bytes{0});
    s = status();
    EXPECT_EQ((Bytes{s[17], s[18], s[19]}), (Bytes{1, 0, 0}));
}

// ---------------------------------------------------------------- the bus

TEST_F(SimModel, FramesGoToTheOtherConnectionsOfThePort) {
    Client writer, reader, otherPort;
    writer.Open(gateway);
    reader.Open(gateway);
    otherPort.Open(gateway, 1);
    // Connected is not yet accepted: a frame goes to the connections the
    // gateway has taken.
    ASSERT_TRUE(gateway.WaitForConnections(3, T(2000)));
    // Without ConfirmData a WRITE is not answered.
    ASSERT_TRUE(writer.raw.SendTelegram(0x0203, 9, {0x23, 0x01, 0, 0, 0x00, 0x11, 0x22, 0x33}));
    const std::optional<Bytes> frame = reader.raw.ReceiveCommand(0x0203, T(2000));
    EXPECT_EQ(frame, (Bytes{0x0D, 0x00, 0x03, 0x02, 0x00, 0x00, 0x23, 0x01, 0x00, 0x00, 0x00, 0x11,
                            0x22, 0x33, 0x23}));
    EXPECT_TRUE(writer.Quiet()) << "no confirmation and no echo";
    EXPECT_TRUE(otherPort.Quiet()) << "CAN port 1 has a bus of its own";

    // ConfirmData: the writer gets its send time; with TimestampOn the
    // reader gets the same time after the data, flag bit 2 set.
    EXPECT_EQ(writer.Ask(0x0205, {1, 0}), Bytes{0});
    EXPECT_EQ(writer.Ask(0x0207, {0, 0x20, 0xA1, 0x07, 0x00, 0, 1, 1}), Bytes{0});
    const Bytes confirmed = writer.Ask(0x0203, {0x78, 0x56, 0x34, 0x12, 0x81, 0xAA});
    ASSERT_EQ(confirmed.size(), 9u);
    EXPECT_EQ(confirmed[0], 0);
    const Bytes stamped = reader.Next(0x0203);
    EXPECT_EQ(stamped, Cat({0x78, 0x56, 0x34, 0x12, 0x85, 0xAA},
                           Bytes(confirmed.begin() + 1, confirmed.end())));

    // Monitor: the writer hears its own frames.
    EXPECT_EQ(writer.Ask(0x0205, {0, 1}), Bytes{0});
    ASSERT_TRUE(writer.raw.SendTelegram(0x0203, 11, {0x01, 0, 0, 0, 0, 0x42}));
    EXPECT_EQ(writer.Next(0x0203).at(5), 0x42);
}

TEST_F(SimModel, WriteRejectionsAndFilters) {
    Client writer, reader;
    writer.Open(gateway);
    reader.Open(gateway);
    ASSERT_TRUE(gateway.WaitForConnections(2, T(2000)));
    EXPECT_EQ(writer.Ask(0x0205, {1, 0}), Bytes{0});
    EXPECT_EQ(writer.Ask(0x0203, {0x00, 0x08, 0, 0, 0x00}), Bytes{0xFF});  // 0x800 is not 11-bit
    EXPECT_EQ(writer.Ask(0x0203, Cat({0, 0, 0, 0, 0}, Bytes(65, 0))), Bytes{0xFF});
    EXPECT_EQ(writer.Ask(0x0203, {0, 0, 0}), Bytes{0xFF});
    EXPECT_TRUE(reader.Quiet());

    // Entry 0 in use: identifier 0x120, mask 0x7F0 (0x120..0x12F pass).
    Bytes filter = Cat(U32(0x80000120), U32(0x7F0));
    filter.resize(64, 0);
    EXPECT_EQ(reader.Ask(0x0220, filter), Bytes{0});
    for (uint32_t id : {0x130u, 0x12Fu}) {
        EXPECT_EQ(writer.Ask(0x0203, Cat(U32(id), {0})).at(0), 0);
    }
    EXPECT_EQ(GetU32(reader.Next(0x0203).data()), 0x12Fu);
    // An extended identifier passes only an entry for extended identifiers.
    EXPECT_EQ(writer.Ask(0x0203, Cat(U32(0x125), {kFlagExtended})).at(0), 0);
    EXPECT_TRUE(reader.Quiet());

    EXPECT_EQ(writer.Ask(0x0207, {1, 0x20, 0xA1, 0x07, 0x00, 0, 1, 0}), Bytes{0});  // listen only
    EXPECT_EQ(writer.Ask(0x0203, Cat(U32(0x121), {0})), Bytes{0x21});
    EXPECT_TRUE(reader.Quiet());
}

TEST_F(SimModel, InjectedFramesReachEveryConnection) {
    Client x, y;
    x.Open(gateway);
    y.Open(gateway);
    ASSERT_TRUE(gateway.WaitForConnections(2, T(2000)));
    ASSERT_TRUE(gateway.InjectFrame(0, 0x1ABCDEF0, kFlagExtended | 0x80, {1, 2}));
    for (Client* c : {&x, &y})
        EXPECT_EQ(c->Next(0x0203), (Bytes{0xF0, 0xDE, 0xBC, 0x1A, 0x81, 1, 2}));
    EXPECT_FALSE(gateway.InjectFrame(7, 1, 0, {}));
}

// ---------------------------------------------------------------- device

TEST_F(SimModel, DeviceCommands) {
    Client c;
    c.Open(gateway);
    const Bytes info = c.Ask(0x0209);
    ASSERT_EQ(info.size(), 21u);
    EXPECT_EQ(GetU32(&info[1]), 0x00012345u);  // serial number
    EXPECT_EQ(info[17], 2) << "CAN ports";
    EXPECT_EQ(info[19], 2) << "device type";
    const Bytes status = c.Ask(0x020A);
    EXPECT_EQ(std::string(status.begin() + 1, status.end()).rfind("TessaraSim ready", 0), 0u);

    gateway.SetDigitalInputs(0x0F);
    EXPECT_EQ(c.Ask(0x0241, U32(0x12345678)), Bytes{0});
    EXPECT_EQ(c.Ask(0x0240), Cat(Cat({0}, U32(0x0F)), U32(0x12345678)));
    EXPECT_EQ(gateway.DigitalOutputs(), 0x12345678u);
    EXPECT_EQ(c.Ask(0x0241, {1, 2}), Bytes{0xFF});

    EXPECT_EQ(c.Ask(0x0243, Cat(U32(1500), U32(3300))), Bytes{0});
    EXPECT_EQ(c.Ask(0x0242),
              Cat(Cat(Cat(Cat(Cat({0}, U32(4)), U32(1500)), U32(3300)), U32(0)), U32(0)));
    EXPECT_EQ(c.Ask(0x0243, Bytes(20, 0)), Bytes{0xFF});  // five channels
}

TEST_F(SimModel, CloseRestartsTheDevice) {
    Client c, other;
    c.Open(gateway);
    other.Open(gateway, 1);
    ASSERT_TRUE(gateway.WaitForConnections(2, T(2000)));
    EXPECT_EQ(c.Ask(0x0207, {0, 0x10, 0x27, 0, 0, 0, 1, 0}), Bytes{0});  // 10000 bit/s
    EXPECT_EQ(c.Ask(0x020C), Bytes{0});
    EXPECT_EQ(gateway.RestartCount(), 1u) << "counted by the time the confirmation is out";
    EXPECT_TRUE(c.raw.WaitClosed(T(2000)));
    EXPECT_TRUE(other.raw.WaitClosed(T(2000)));
    Client again;
    again.Open(gateway);
    EXPECT_EQ(GetU32(&again.Ask(0x0208).at(2)), 500000u) << "power-up configuration";
}

// ---------------------------------------------------------------- CANopen

TEST_F(SimModel, CanopenCommandsNeedTheMode) {
    Client c;
    c.Open(gateway);
    EXPECT_EQ(c.Ask(0x0261), (Bytes{0, 0}));
    EXPECT_EQ(c.Ask(0x0263, {5, 1}), Bytes{0xFE});
    EXPECT_EQ(c.Ask(0x0268, {5, 0, 0x10, 0, 100, 0}), Bytes{0xFE});
    EXPECT_EQ(c.Ask(0x0260, {2}), Bytes{0xFF});
    EXPECT_EQ(c.Ask(0x0260, {1}), Bytes{0});
    EXPECT_EQ(c.Ask(0x0261), (Bytes{0, 1}));
    EXPECT_TRUE(gateway.CanopenMode(0));
    EXPECT_FALSE(gateway.CanopenMode(1));
}

TEST_F(SimModelCanopen, SdoTransfersHitTheDictionary) {
    a.id = 8;
    // 0x1000 device type, expedited 4 bytes: reply byte 0x43.
    EXPECT_EQ(
        a.Raw(0x0268, {5, 0x00, 0x10, 0, 100, 0}),
        (Bytes{0x0B, 0x00, 0x68, 0x82, 0x09, 0x00, 0x00, 0x43, 0x91, 0x01, 0x00, 0x00, 0x30}));
    // The device name is longer than 4 bytes: its size, then the block read.
    EXPECT_EQ(a.Ask(0x0268, {5, 0x08, 0x10, 0, 100, 0}), Cat({0, 0x41}, U32(15)));
    const std::string name = "TessaraSim Node";
    EXPECT_EQ(a.Ask(0x026A, {5, 0x08, 0x10, 0, 100, 0}),
              Cat({0, 0xC1}, Bytes(name.begin(), name.end())));
    // Aborts: no object, no subindex, read-only, wrong size.
    EXPECT_EQ(a.Ask(0x0268, {5, 0x00, 0x30, 0, 100, 0}), Cat({0, 0x80}, U32(0x06020000)));
    EXPECT_EQ(a.Ask(0x0268, {5, 0x18, 0x10, 9, 100, 0}), Cat({0, 0x80}, U32(0x06090011)));
    EXPECT_EQ(a.Ask(0x0269, Cat({5, 4, 0x00, 0x10, 0, 100, 0}, U32(1))),
              Cat({0, 0x80}, U32(0x06010002)));
    EXPECT_EQ(a.Ask(0x0269, Cat({5, 2, 0x00, 0x20, 0, 100, 0}, U32(1))),
              Cat({0, 0x80}, U32(0x06070010)));
    // A writable entry keeps what is written.
    EXPECT_EQ(a.Ask(0x0269, Cat({5, 4, 0x00, 0x20, 0, 100, 0}, U32(0xCAFEF00D))),
              Cat({0, 0x60}, U32(0)));
    EXPECT_EQ(a.Ask(0x0268, {5, 0x00, 0x20, 0, 100, 0}), Cat({0, 0x43}, U32(0xCAFEF00D)));
    Bytes block(300);
    for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 7);
    EXPECT_EQ(a.Ask(0x026B, Cat({5, 0x01, 0x20, 0, 100, 0}, block)), Cat({0, 0xA1}, U32(0)));
    EXPECT_EQ(a.Ask(0x026A, {5, 0x01, 0x20, 0, 100, 0}), Cat({0, 0xC1}, block));
    // No node 9 on the bus.
    EXPECT_EQ(a.Ask(0x0268, {9, 0x00, 0x10, 0, 100, 0}), Bytes{0xFD});
}

TEST_F(SimModelCanopen, ServicesGoOnTheBusAndNodesAnswer) {
    // NMT start: an NMT frame fits no indication, so b sees it as UNDEFINED.
    EXPECT_EQ(a.Ask(0x0263, {5, 0x01}), Bytes{0});
    EXPECT_EQ(b.Next(0x026D), (Bytes{0, 0, 0, 0, 0, 0x01, 0x05}));
    EXPECT_EQ(gateway.NodeState(5), 0x05);

    // RPDO1 to the node (PDOTyp 5) is what its TPDO1 sends at the next SYNC.
    EXPECT_EQ(a.Ask(0x0267, {5, 5, 0xDE, 0xAD}), Bytes{0});
    EXPECT_EQ(b.Next(0x0267), (Bytes{5, 5, 2, 0xDE, 0xAD}));
    EXPECT_EQ(a.Ask(0x0264), Bytes{0});
    EXPECT_EQ(b.Next(0x0264), Bytes{0});
    EXPECT_EQ(a.Next(0x0267), (Bytes{5, 1, 2, 0xDE, 0xAD}));
    EXPECT_EQ(b.Next(0x0267), (Bytes{5, 1, 2, 0xDE, 0xAD}));

    // EMCY and a reset's boot-up (GUARD with state 0).
    ASSERT_TRUE(gateway.EmitEmcy(5, 0x8110, 0x11, {1, 2, 3, 4, 5}));
    EXPECT_EQ(a.raw.ReceiveCommand(0x0266, T(2000)),
              (Bytes{0x0E, 0x00, 0x66, 0x02, 0x00, 0x00, 0x05, 0x10, 0x81, 0x11, 0x01, 0x02, 0x03,
                     0x04, 0x05, 0xE0}));
    EXPECT_EQ(a.Ask(0x0263, {0, 0x81}), Bytes{0});
    EXPECT_EQ(a.Next(0x026C), (Bytes{5, 0x00}));
    EXPECT_EQ(b.Next(0x026D), (Bytes{0, 0, 0, 0, 0, 0x81, 0x00}));
    EXPECT_EQ(gateway.NodeState(5), 0x7F);

    // Refused requests.
    EXPECT_EQ(a.Ask(0x0263, {5, 0x03}), Bytes{0xFF});
    EXPECT_EQ(a.Ask(0x0267, {5, 9, 1}), Bytes{0xFF});
    EXPECT_EQ(a.Ask(0x0265, Cat({0, 0}, U32(86400000))), Bytes{0xFF});
    EXPECT_EQ(a.Ask(0x0265, Cat({0x10, 0x27}, U32(3600000))), Bytes{0});
    EXPECT_EQ(b.Next(0x026D), Cat(Cat({0x00, 0x01, 0, 0, 0}, U32(3600000)), {0x10, 0x27}));
}

TEST_F(SimModelCanopen, PeriodicSyncAndHeartbeat) {
    EXPECT_EQ(a.Ask(0x0262, {20, 0}), Bytes{0});
    EXPECT_EQ(b.Next(0x0264), Bytes{0});
    EXPECT_EQ(b.Next(0x0264), Bytes{0});
    EXPECT_EQ(a.Ask(0x0262, {0, 0}), Bytes{0});
    // Producer heartbeat 30 ms: the node reports pre-operational.
    EXPECT_EQ(a.Ask(0x0269, Cat({5, 2, 0x17, 0x10, 0, 100, 0}, U32(30))), Cat({0, 0x60}, U32(0)));
    EXPECT_EQ(b.Next(0x026C), (Bytes{5, 0x7F}));
    EXPECT_EQ(b.Next(0x026C), (Bytes{5, 0x7F}));
    // Plain frames arrive as UNDEFINED, stamped when the port stamps.
    ASSERT_TRUE(gateway.InjectFrame(0, 0x123, 0, {7}));
    EXPECT_EQ(b.Next(0x026D), (Bytes{0x23, 0x01, 0, 0, 0, 7}));
}

}  // namespace
}  // namespace tes::sim
