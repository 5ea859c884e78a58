// What a misbehaving or vanished gateway can do to a client: flood it with
// confirmations nobody asked for, drop or freeze the link, or put a reply in
// the same segment as the frames before it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "api/handle_table.h"
#include "test_support.h"

namespace {

using namespace tes::test;

constexpr uint16_t kWriteDigital = 0x0241;
constexpr uint16_t kWriteDigitalConf = 0x8241;
constexpr uint16_t kFrameInd = 0x0203;
constexpr uint16_t kPdoInd = 0x0267;
constexpr uint16_t kAlive = 0x020D;
constexpr int kNotConnected = 0x30000;
constexpr int kTimeout = 0x40000;
// The largest data part a telegram's 16-bit length field allows.
constexpr size_t kLargestData = 0xFFFF - 5;

int64_t Now() {
    return tes::sys::MonotonicMs();
}

tes::CTessaraClientCANDll& Client(int h) {
    return *tes::LookupDeviceHandle(h)->pClient;
}

void Append(Bytes* to, const Bytes& telegram) {
    to->insert(to->end(), telegram.begin(), telegram.end());
}

Bytes Frame(uint32_t identifier, uint8_t data) {
    return Encode(kFrameInd, 0,
                  {static_cast<uint8_t>(identifier), static_cast<uint8_t>(identifier >> 8),
                   static_cast<uint8_t>(identifier >> 16), static_cast<uint8_t>(identifier >> 24),
                   0x00, data});
}

// ---------------------------------------------------------------- store

TEST(ConfirmationBudget, HoldsSeveralLargestTelegrams) {
    // A request awaiting the largest confirmation must fit beside others.
    EXPECT_GE(tes::CTessaraClient::kConfirmationBudgetBytes, 4 * (kLargestData + 7));
}

class ConfirmationFlood : public GatewayTest {};

TEST_F(ConfirmationFlood, StoreStaysWithinItsBudgetAndRequestsGetTheirOwn) {
    const int h = Open(0, 2000);
    const Bytes big(kLargestData, 0xC3);
    // Unsolicited confirmations (ids the client never issued, each once) in
    // bursts of 16 largest telegrams, each burst alone the size of the
    // budget; the gateway also wraps its own replies in two such bursts.
    constexpr int kBursts = 4;
    constexpr int kPerBurst = 16;
    uint16_t nextId = 0x9000;
    auto burst = [&] {
        Bytes out;
        for (int i = 0; i < kPerBurst; ++i) Append(&out, Encode(kWriteDigitalConf, nextId++, big));
        return out;
    };
    std::vector<Bytes> alone;
    for (int i = 0; i < kBursts; ++i) alone.push_back(burst());
    const auto around = std::make_shared<std::vector<Bytes>>();
    for (int i = 0; i < 2 * kBursts; ++i) around->push_back(burst());
    oGateway.Script(kWriteDigital, [around](const tes::sim::Request& r) {
        const size_t n = r.oData[0];
        if (n >= kBursts) return std::optional<Bytes>(tes::sim::MakeConfirmation(r, 0));
        // Flood, the reply, flood: one send.
        Bytes out = (*around)[2 * n];
        Append(&out, tes::sim::MakeConfirmation(r, 0));
        Append(&out, (*around)[2 * n + 1]);
        return std::optional<Bytes>(std::move(out));
    });
    size_t largest = 0;
    for (int i = 0; i < kBursts; ++i) {
        ASSERT_TRUE(oGateway.SendRaw(0, alone[i]));
        EXPECT_EQ(CANWriteDigital(h, i), 0) << i;
        largest = std::max(largest, Client(h).StoredConfirmationBytes());
    }
    // Every unsolicited confirmation is either still stored or counted as
    // dropped, once the burst after the last reply has been read.
    const uint64_t sent = static_cast<uint64_t>(3 * kBursts) * kPerBurst;
    ASSERT_TRUE(WaitUntil(
        [&] { return Client(h).StoredConfirmations() + Client(h).DroppedConfirmations() == sent; },
        Scaled(5000)))
        << Client(h).StoredConfirmations() << " + " << Client(h).DroppedConfirmations();
    largest = std::max(largest, Client(h).StoredConfirmationBytes());
    EXPECT_LE(largest, tes::CTessaraClient::kConfirmationBudgetBytes);
    EXPECT_GE(Client(h).StoredConfirmations(), 1u);
    // Each stored one is a largest telegram: the budget bounds their number.
    EXPECT_LE(Client(h).StoredConfirmations(),
              tes::CTessaraClient::kConfirmationBudgetBytes / kLargestData);
    EXPECT_EQ(CANWriteDigital(h, 0x77), 0);
}

// ---------------------------------------------------------------- drops

class LinkDrops : public GatewayTest {
protected:
    // The open (CONNECT, SET_CONFIG) succeeds; the gateway closes at the
    // first request, unanswered.
    tes::sim::GatewayOptions Options() override {
        tes::sim::GatewayOptions options = GatewayTest::Options();
        options.nDropAfterTelegrams = 3;
        return options;
    }
};

TEST_F(LinkDrops, OnceTheLinkIsGoneEveryCallReadsNotConnected) {
    constexpr int kRounds = 150;
    const char data[2] = {1, 2};
    int wrong = 0;
    for (int round = 0; round < kRounds; ++round) {
        const int h = Open(0, 1000);
        ASSERT_GE(h, 0);
        // Woken by the drop, the caller goes on at once, while the receive
        // thread may still be ending the link.
        const int results[] = {CANWriteDigital(h, 1), CANWriteDigital(h, 2),
                               CANWrite(h, 0x123, data, 2, 0), CANWriteDigital(h, 3)};
        for (size_t i = 0; i < sizeof results / sizeof results[0]; ++i) {
            if (results[i] != kNotConnected) {
                ++wrong;
                ADD_FAILURE() << "round " << round << ", call " << i << ": 0x" << std::hex
                              << results[i];
            }
        }
        CANCloseDevice(h);
        Forget(h);
        if (wrong > 5) break;
    }
}

// ---------------------------------------------------------------- frozen peer

class FrozenPeer : public GatewayTest {};

TEST_F(FrozenPeer, KeepAliveEndsTheLinkAfterAQuarterPeriodMoreThanAPeriod) {
    const int h = Open(0, 2000);
    ASSERT_EQ(CANStartAlive(h, 1), 0);  // period 1000 ms
    // The gateway's confirmation of the ALIVE request is the last sign of life.
    ASSERT_TRUE(oGateway.WaitForCommand(kAlive, Scaled(2000)).has_value());
    ASSERT_TRUE(
        WaitUntil([&] { return oGateway.Connection(0)->nClientAliveMs == 1000; }, Scaled(2000)));
    ASSERT_TRUE(oGateway.FreezeConnection(0));
    const int64_t frozen = Now();
    ASSERT_TRUE(WaitUntil([&] { return CANDeviceConnectState(h) == 1; }, Scaled(5000)));
    const int64_t took = Now() - frozen;
    // Five ticks of a quarter period without anything received; the last
    // receive lies a little before the freeze, and ticks come late on a
    // busy machine.
    EXPECT_GE(took, 1000);
    EXPECT_LE(took, 1250 + Scaled(400)) << took;
    EXPECT_EQ(CANWriteDigital(h, 1), kNotConnected);
    // The gateway never saw the link end: its socket is still open.
    EXPECT_TRUE(oGateway.Connection(0)->bOpen);
}

TEST_F(FrozenPeer, WithoutKeepAliveEachRequestEndsAtItsTimeOut) {
    constexpr int kTimeoutMs = 400;
    const int h = Open(0, kTimeoutMs);
    ASSERT_EQ(CANWriteDigital(h, 1), 0);
    ASSERT_TRUE(oGateway.FreezeConnection(0));
    for (int i = 0; i < 2; ++i) {
        const int64_t start = Now();
        EXPECT_EQ(CANWriteDigital(h, 2), kTimeout);
        const int64_t took = Now() - start;
        EXPECT_GE(took, Scaled(kTimeoutMs)) << i;
        EXPECT_LE(took, Scaled(kTimeoutMs) + Scaled(400)) << i;
    }
    // Nothing tells a client without keep-alive that the peer is gone.
    EXPECT_EQ(CANDeviceConnectState(h), 3);
    // What the client sent after the freeze was never read.
    EXPECT_EQ(oGateway.CountCommand(kWriteDigital), 1u);
}

class FreezeAfter : public GatewayTest {
protected:
    tes::sim::GatewayOptions Options() override {
        tes::sim::GatewayOptions options = GatewayTest::Options();
        options.nFreezeAfterTelegrams = 3;  // CONNECT, SET_CONFIG, then the first request
        return options;
    }
};

TEST_F(FreezeAfter, TheNthTelegramIsLoggedUnansweredAndTheSocketStaysOpen) {
    const int h = Open(0, 300);
    EXPECT_EQ(CANWriteDigital(h, 1), kTimeout);
    EXPECT_EQ(CANWriteDigital(h, 2), kTimeout);
    EXPECT_EQ(oGateway.CountCommand(kWriteDigital), 1u);
    EXPECT_TRUE(oGateway.Connection(0)->bOpen);
    EXPECT_EQ(CANDeviceConnectState(h), 3);
    // A frozen connection still closes when the gateway is told to.
    EXPECT_TRUE(oGateway.DropConnection(0));
    EXPECT_TRUE(WaitUntil([&] { return CANDeviceConnectState(h) == 1; }, Scaled(2000)));
}

// ---------------------------------------------------------------- ordering

// The SYNC callback runs on the receive thread behind the reply and holds
// it there until the test has polled the queues (or a deadline passes), so
// that anything the receive thread publishes only at the end of the
// segment is provably late.
std::atomic<int> gPolledRound{-1};
std::atomic<int> gSyncsSeen{0};
void TESSARA_CALLBACK HoldReceiveThread(unsigned char value, int, int, int) {
    const int64_t deadline = Now() + 300;
    while (gPolledRound.load() != value && Now() < deadline) std::this_thread::yield();
    gSyncsSeen.fetch_add(1);
}

class ReplyOrder : public GatewayTest {};

TEST_F(ReplyOrder, WhatCameBeforeAReplyIsQueuedWhenTheRequestReturns) {
    constexpr int kRounds = 200;
    constexpr int kBefore = 6;
    constexpr uint16_t kSyncInd = 0x0264;
    const int h = Open(0, 2000);
    ASSERT_EQ(CANSetMaxSizePerQueue(h, 1000), 0);
    ASSERT_EQ(CANopenSetCallback(h, nullptr, HoldReceiveThread, nullptr, nullptr, nullptr), 0);
    gPolledRound.store(-1);
    gSyncsSeen.store(0);
    oGateway.Script(kWriteDigital, [](const tes::sim::Request& r) {
        const uint8_t round = r.oData[0];
        Bytes out;
        for (int i = 0; i < kBefore; ++i) Append(&out, Frame(0x100 + i, round));
        Append(&out, Encode(kPdoInd, 0, {0x05, 0x01, 0x01, round}));
        Append(&out, tes::sim::MakeConfirmation(r, 0));
        Append(&out, Encode(kSyncInd, 0, {round}));
        return std::optional<Bytes>(std::move(out));  // one send
    });
    int late = 0;
    for (int round = 0; round < kRounds && late < 3; ++round) {
        const uint8_t tag = static_cast<uint8_t>(round);
        ASSERT_EQ(CANWriteDigital(h, tag), 0);
        // The reply came after these: all of them must be queued now, in order.
        int frames = 0;
        for (; frames < kBefore; ++frames) {
            int available = -2, id = 0, flags = 0, s = 0, us = 0;
            char data[64] = {};
            unsigned char length = 0;
            ASSERT_EQ(CANGetMessage(h, &available, &id, data, &length, &flags, &s, &us), 0);
            if (available < 0) break;
            EXPECT_EQ(id, 0x100 + frames);
            EXPECT_EQ(static_cast<uint8_t>(data[0]), tag);
        }
        int pdoAvailable = -2;
        unsigned char node = 0, type = 0, length = 0;
        char pdo[8] = {};
        ASSERT_EQ(CANopenGetPDO(h, &pdoAvailable, &node, &type, &length, pdo), 0);
        gPolledRound.store(tag);
        if (frames < kBefore || pdoAvailable < 0) {
            ++late;
            ADD_FAILURE() << "round " << round << ": " << frames << " of " << kBefore
                          << " frames and " << (pdoAvailable < 0 ? "no" : "the") << " PDO queued";
        } else {
            EXPECT_EQ(static_cast<uint8_t>(pdo[0]), tag);
        }
        // The segment is handled to its end before the next round; what
        // came late is thrown away.
        ASSERT_TRUE(WaitUntil([&] { return gSyncsSeen.load() == round + 1; }, Scaled(5000)));
        CANSetMaxSizePerQueue(h, 0);
        CANSetMaxSizePerQueue(h, 1000);
    }
}

}  // namespace
