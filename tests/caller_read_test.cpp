// A request's caller reads the link itself while the receive thread has
// nothing to read: what arrives around the reply still reaches the receive
// thread's callbacks and the queues in arrival order, a reply cut into pieces
// is put together by whichever thread reads next, and a link that ends or is
// closed during the wait ends the request at once.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "test_support.h"

using namespace tes::test;

namespace {

using tes::wire::kCmdWriteDigital;
using tes::wire::kIndCanFrame;

constexpr int kNotConnected = 0x30000;
constexpr int kTimeout = 0x40000;

Bytes Frame(uint32_t id) {
    return Encode(kIndCanFrame, 0,
                  {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), 0, 0, 0, 0x55});
}

void Append(Bytes* all, const Bytes& more) {
    all->insert(all->end(), more.begin(), more.end());
}

struct Seen {
    int nId;
    std::thread::id oThread;
};
std::mutex gMutex;
std::vector<Seen> gSeen;

void TESSARA_CALLBACK Record(int id, const char*, int, int, int) {
    std::lock_guard<std::mutex> lock(gMutex);
    gSeen.push_back({id, std::this_thread::get_id()});
}

size_t SeenCount() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gSeen.size();
}

class CallerRead : public GatewayTest {
protected:
    void SetUp() override {
        GatewayTest::SetUp();
        std::lock_guard<std::mutex> lock(gMutex);
        gSeen.clear();
    }

    // WRITE_DIGITAL is answered, in one write, by frames with the ids
    // `before`, its confirmation, then frames with the ids `after`.
    void ReplyAmid(const std::vector<uint32_t>& before, const std::vector<uint32_t>& after) {
        oGateway.Script(kCmdWriteDigital, [=](const tes::sim::Request& r) {
            Bytes all;
            for (uint32_t id : before) Append(&all, Frame(id));
            Append(&all, tes::sim::MakeConfirmation(r, 0));
            for (uint32_t id : after) Append(&all, Frame(id));
            return std::optional<Bytes>(all);
        });
    }

    // WRITE_DIGITAL goes unanswered; its telegram id is kept.
    void Unanswered() {
        oGateway.Script(kCmdWriteDigital, [this](const tes::sim::Request& r) {
            nUnansweredId.store(r.nTelegramId);
            return std::optional<Bytes>();
        });
    }

    // Round `round` of a run over kLayouts: the next WRITE_DIGITAL is
    // answered amid frames numbered on from *next; returns the last id
    // before the reply (0: none came before it).
    uint32_t ReplyRound(int round, uint32_t* next);

    std::atomic<int> nUnansweredId{-1};
};

// Frame counts before and after the confirmation, round by round.
const std::pair<int, int> kLayouts[] = {{0, 0}, {0, 2}, {1, 0}, {2, 1}, {3, 3}};

uint32_t CallerRead::ReplyRound(int round, uint32_t* next) {
    const auto [nBefore, nAfter] = kLayouts[round % 5];
    std::vector<uint32_t> before, after;
    for (int i = 0; i < nBefore; ++i) before.push_back((*next)++);
    for (int i = 0; i < nAfter; ++i) after.push_back((*next)++);
    ReplyAmid(before, after);
    return before.empty() ? 0 : before.back();
}

TEST_F(CallerRead, FramesAroundRepliesReachTheCallbackInOrderOnTheReceiveThread) {
    const int h = Open();
    ASSERT_EQ(CANSetCallback(h, Record), 0);
    uint32_t next = 1;
    for (int round = 0; round < 60; ++round) {
        const uint32_t lastBefore = ReplyRound(round, &next);
        ASSERT_EQ(CANWriteDigital(h, round), 0) << "round " << round;
        // A frame that came before the reply was handled before the request returned.
        EXPECT_GE(SeenCount(), lastBefore) << "round " << round;
    }
    const size_t total = next - 1;
    ASSERT_TRUE(WaitUntil([&] { return SeenCount() == total; }, Scaled(3000)));
    std::lock_guard<std::mutex> lock(gMutex);
    for (size_t i = 0; i < total; ++i) {
        EXPECT_EQ(gSeen[i].nId, static_cast<int>(i + 1));
        EXPECT_EQ(gSeen[i].oThread, gSeen[0].oThread) << "frame " << i + 1;
    }
    EXPECT_NE(gSeen[0].oThread, std::this_thread::get_id());
}

TEST_F(CallerRead, QueuedFramesBeforeAReplyAreThereWhenItReturnsAndKeepTheirOrder) {
    const int h = Open();
    ASSERT_EQ(CANSetMaxSizePerQueue(h, 1000), 0);
    uint32_t next = 1;
    uint32_t taken = 0;
    const auto take = [&] {
        int available = 0, id = -1, flags = 0, seconds = 0, micros = 0;
        char data[64];
        unsigned char length = 0;
        EXPECT_EQ(CANGetMessage(h, &available, &id, data, &length, &flags, &seconds, &micros), 0);
        if (id < 0) return false;
        EXPECT_EQ(static_cast<uint32_t>(id), ++taken);
        return true;
    };
    for (int round = 0; round < 60; ++round) {
        const uint32_t lastBefore = ReplyRound(round, &next);
        ASSERT_EQ(CANWriteDigital(h, round), 0) << "round " << round;
        while (taken < lastBefore) {
            ASSERT_TRUE(take()) << "frame " << taken + 1 << " queued before its reply is missing";
        }
    }
    ASSERT_TRUE(WaitUntil(
        [&] {
            while (taken < next - 1 && take()) {
            }
            return taken == next - 1;
        },
        Scaled(3000)));
}

TEST_F(CallerRead, ReplyCutIntoPiecesIsPutTogetherByWhoeverReadsNext) {
    const int h = Open(0, 400);
    Unanswered();
    // In pieces while the caller waits: it reads them all.
    std::thread gateway([&] {
        ASSERT_TRUE(WaitUntil([&] { return nUnansweredId.load() >= 0; }, Scaled(2000)));
        const Bytes reply = Encode(tes::wire::ConfirmationOf(kCmdWriteDigital),
                                   static_cast<uint16_t>(nUnansweredId.load()), {0});
        oGateway.SendRaw(0, reply, {1, 3, 6}, 10);
    });
    EXPECT_EQ(CANWriteDigital(h, 1), 0);
    gateway.join();

    // Half a reply before the time-out: the caller gives up, the receive
    // thread reads the rest, and the stream stays in step.
    nUnansweredId.store(-1);
    EXPECT_EQ(CANWriteDigital(h, 2), kTimeout);
    const Bytes late = Encode(tes::wire::ConfirmationOf(kCmdWriteDigital),
                              static_cast<uint16_t>(nUnansweredId.load()), {0});
    ASSERT_TRUE(oGateway.SendRaw(0, Bytes(late.begin(), late.begin() + 4)));
    ASSERT_TRUE(CANSetCallback(h, Record) == 0);
    ASSERT_TRUE(oGateway.SendRaw(0, Bytes(late.begin() + 4, late.end())));
    ASSERT_TRUE(oGateway.SendRaw(0, Frame(7)));
    ASSERT_TRUE(WaitUntil([] { return SeenCount() == 1; }, Scaled(2000)));
    ReplyAmid({}, {});
    EXPECT_EQ(CANWriteDigital(h, 3), 0);
}

TEST_F(CallerRead, LinkEndingOrClosedDuringTheWaitEndsTheRequestAtOnce) {
    for (const bool closeHere : {false, true}) {
        const int h = Open(0, 20000);
        Unanswered();
        const size_t connection = oGateway.ConnectionCount() - 1;
        std::thread other([&] {
            ASSERT_TRUE(oGateway.WaitForCommand(kCmdWriteDigital, Scaled(2000)));
            if (closeHere) {
                EXPECT_EQ(CANCloseDevice(h), 0);
                Forget(h);
            } else {
                oGateway.DropConnection(connection);
            }
        });
        const int64_t start = tes::sys::MonotonicMs();
        EXPECT_EQ(CANWriteDigital(h, 1), kNotConnected) << (closeHere ? "closed" : "dropped");
        EXPECT_LT(tes::sys::MonotonicMs() - start, Scaled(5000));
        other.join();
        oGateway.ClearScripts();
        oGateway.ClearLog();
    }
}

}  // namespace
