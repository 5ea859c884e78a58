// Receive queues: entries held inline or on the heap, the chain of blocks,
// staging of one receive's telegrams, and what the client's polling
// functions hand back from each queue. Expected values come from the
// protocol, not from the code under test.
#include "incoming/receive_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "incoming/client_can_dll.h"
#include "protocol/telegram.h"

using Bytes = std::vector<uint8_t>;
using tes::CTessaraClientCANDll;

namespace {

Bytes Wire(uint16_t command, uint16_t id, const Bytes& data) {
    Bytes wire(data.size() + tes::kTelegramOverhead);
    tes::EncodeTelegram(wire.data(), command, id, data.data(), data.size());
    return wire;
}

// A received frame payload: identifier, flags, data, optional 8-byte stamp.
Bytes FramePayload(uint32_t id, uint8_t flags, const Bytes& data, const Bytes& stamp = {}) {
    Bytes p(5 + data.size() + stamp.size());
    tes::PutU32(p.data(), id);
    p[4] = flags;
    for (size_t i = 0; i < data.size(); ++i) p[5 + i] = data[i];
    for (size_t i = 0; i < stamp.size(); ++i) p[5 + data.size() + i] = stamp[i];
    return p;
}

Bytes Counting(size_t n, uint8_t from) {
    Bytes b;
    b.reserve(n);
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(from + i));
    return b;
}

// One frame's telegram, parsed once and pushed as often as a test needs.
struct OneFrame {
    Bytes wire = Wire(0x0203, 1, FramePayload(1, 0, {1}));
    tes::TelegramView view;
    OneFrame() { EXPECT_TRUE(view.Parse(wire.data(), wire.size())); }
};

class HotQueue : public ::testing::Test {
protected:
    void Deliver(uint16_t command, const Bytes& payload, uint16_t id = 0) {
        const Bytes wire = Wire(command, id, payload);
        tes::TelegramView view;
        ASSERT_TRUE(view.Parse(wire.data(), wire.size()));
        client.DispatchIndication(view);
    }
    CTessaraClientCANDll client{1000, 7};
};

}  // namespace

TEST(QueuedTelegram, KeepsDataOnEitherSideOfTheInlineLimitThroughMovesAndReuse) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{tes::CQueuedTelegram::kInlineData},
                     size_t{tes::CQueuedTelegram::kInlineData + 1}, size_t{1000}}) {
        const Bytes data = Counting(n, 3);
        const Bytes wire = Wire(0x0266, 0x1234, data);
        tes::TelegramView view;
        ASSERT_TRUE(view.Parse(wire.data(), wire.size()));
        tes::CQueuedTelegram t;
        t.Assign(view);
        tes::CQueuedTelegram moved;
        moved = std::move(t);
        EXPECT_EQ(t.DataLength(), 0u);
        ASSERT_EQ(moved.DataLength(), n);
        EXPECT_EQ(Bytes(moved.Data(), moved.Data() + n), data) << n;
        // An entry reused for data of the other kind (heap or inline) keeps
        // only the new data; ASan finds a heap copy freed twice or leaked.
        const Bytes other = Counting(n > 100 ? 3 : 200, 9);
        const Bytes otherWire = Wire(0x0266, 1, other);
        ASSERT_TRUE(view.Parse(otherWire.data(), otherWire.size()));
        moved.Assign(view);
        EXPECT_EQ(Bytes(moved.Data(), moved.Data() + moved.DataLength()), other) << n;
        tes::CQueuedTelegram third(std::move(moved));
        EXPECT_EQ(Bytes(third.Data(), third.Data() + third.DataLength()), other) << n;
    }
}

TEST(ReceiveQueueBlocks, KeepsOrderAcrossBlocksReusedAndWithLongEntries) {
    tes::CReceiveQueue q;
    q.SetMaximum(1000);
    uint32_t nextIn = 0, nextOut = 0;
    auto push = [&](int count) {
        for (int i = 0; i < count; ++i, ++nextIn) {
            // Every fifth entry is longer than an entry holds inline.
            Bytes data = Counting(nextIn % 5 == 0 ? 100 : 8, static_cast<uint8_t>(nextIn));
            tes::PutU32(data.data(), nextIn);
            const Bytes wire = Wire(0x0203, static_cast<uint16_t>(nextIn), data);
            tes::TelegramView view;
            ASSERT_TRUE(view.Parse(wire.data(), wire.size()));
            q.Push(view);
        }
    };
    auto pop = [&](int count) {
        for (int i = 0; i < count; ++i, ++nextOut) {
            tes::CQueuedTelegram t;
            uint32_t remaining = 0;
            ASSERT_TRUE(q.Pop(&t, &remaining));
            EXPECT_EQ(remaining, nextIn - nextOut - 1);
            ASSERT_EQ(t.DataLength(), nextOut % 5 == 0 ? 100u : 8u);
            EXPECT_EQ(tes::GetU32(t.Data()), nextOut);
            EXPECT_EQ(t.Data()[t.DataLength() - 1],
                      static_cast<uint8_t>(nextOut + t.DataLength() - 1));
        }
    };
    push(10);
    pop(7);     // the head moves into the first block
    push(300);  // fills it and goes on in a second
    pop(280);   // the first block is emptied and kept for reuse
    push(600);  // the kept block, then fresh ones
    EXPECT_EQ(q.Count(), nextIn - nextOut);
    pop(static_cast<int>(nextIn - nextOut));
    tes::CQueuedTelegram t;
    uint32_t remaining = 99;
    EXPECT_FALSE(q.Pop(&t, &remaining));
    EXPECT_EQ(remaining, 99u);  // untouched when empty
    EXPECT_EQ(q.Discarded(), 0u);
}

TEST(ReceiveQueueBlocks, DiscardsAtTheMaximumAndClearingGivesRoomAgain) {
    tes::CReceiveQueue q;
    q.SetMaximum(3);
    const OneFrame frame;
    for (int i = 0; i < 5; ++i) q.Push(frame.view);
    EXPECT_EQ(q.Count(), 3u);
    EXPECT_EQ(q.Discarded(), 2u);
    q.Clear();
    EXPECT_EQ(q.Count(), 0u);
    q.Push(frame.view);
    EXPECT_EQ(q.Count(), 1u);
    EXPECT_EQ(q.Discarded(), 2u);
}

TEST(ReceiveQueueBlocks, KeepsABacklogsBlocksForTheNextOneAndGivesThemBackLater) {
    tes::CReceiveQueue q;
    q.SetMaximum(100000);
    const OneFrame frame;
    auto drain = [&q] {
        tes::CQueuedTelegram t;
        uint32_t remaining = 0;
        while (q.Pop(&t, &remaining)) {
        }
    };
    // A backlog of 40 blocks (256 entries each), taken out completely.
    for (int i = 0; i < 40 * 256; ++i) q.Push(frame.view);
    drain();
    EXPECT_EQ(q.SpareBlocks(), 40u);
    // The next backlog as deep takes the kept blocks and allocates none: the
    // spares go down to nothing and come back as it drains.
    for (int i = 0; i < 40 * 256; ++i) q.Push(frame.view);
    EXPECT_EQ(q.SpareBlocks(), 0u);
    drain();
    EXPECT_EQ(q.SpareBlocks(), 40u);
    // Once no backlog came for a while, a shallow stream gives back half of
    // the blocks beyond the lasting few at a time, and a look at the empty
    // queue all of those at once.
    const auto aWhile = std::chrono::milliseconds(tes::CReceiveQueue::kKeepMs + 100);
    std::this_thread::sleep_for(aWhile);
    tes::CQueuedTelegram t;
    uint32_t remaining = 0;
    q.Push(frame.view);
    ASSERT_TRUE(q.Pop(&t, &remaining));  // retires its block: 20 are kept now
    EXPECT_FALSE(q.Pop(&t, &remaining));  // the keeping time began again
    for (int i = 0; i < 20 * 256; ++i) {
        q.Push(frame.view);
        ASSERT_TRUE(q.Pop(&t, &remaining));
    }
    EXPECT_EQ(q.SpareBlocks(), 20u);
    std::this_thread::sleep_for(aWhile);
    EXPECT_FALSE(q.Pop(&t, &remaining));
    EXPECT_EQ(q.SpareBlocks(), 8u);
    q.Clear();
    EXPECT_EQ(q.SpareBlocks(), 0u);
}

TEST(ReceiveQueueStaging, PublishesInOrderUnderTheMaximumAndDropsWhenToldTo) {
    tes::CReceiveQueue q;
    q.SetMaximum(300);
    auto view = [](uint32_t n, Bytes* wire) {
        *wire = Wire(0x0203, static_cast<uint16_t>(n), FramePayload(n, 0, {1}));
        tes::TelegramView v;
        EXPECT_TRUE(v.Parse(wire->data(), wire->size()));
        return v;
    };
    Bytes wire;
    for (uint32_t n = 0; n < 10; ++n) q.Stage(view(n, &wire));
    EXPECT_EQ(q.Count(), 0u);  // staged, not yet visible
    q.Publish();
    EXPECT_EQ(q.Count(), 10u);
    // More than a stage holds: the first ones are published on the way.
    for (uint32_t n = 10; n < 400; ++n) q.Stage(view(n, &wire));
    EXPECT_GT(q.Count(), 10u);
    q.Publish();
    EXPECT_EQ(q.Count(), 300u);  // the maximum, as 400 single pushes would leave it
    EXPECT_EQ(q.Discarded(), 100u);
    for (uint32_t n = 0; n < 300; ++n) {
        tes::CQueuedTelegram t;
        uint32_t remaining = 0;
        ASSERT_TRUE(q.Pop(&t, &remaining));
        ASSERT_EQ(tes::GetU32(t.Data()), n);
    }
    q.Stage(view(1000, &wire));
    q.Publish(false);
    q.Publish();
    EXPECT_EQ(q.Count(), 0u);
    EXPECT_EQ(q.Discarded(), 100u);  // dropped copies are not discards
}

// Staging writes an entry without looking at what it held, so every way an
// entry leaves (taken in place, moved out, cut at the maximum, dropped
// unpublished) must give its heap copy back; ASan's leak check fails this
// test otherwise, and the short entries written over long ones must read
// back whole.
TEST(ReceiveQueueStaging, LongEntriesLeaveNoCopyBehindWhereverTheyGo) {
    tes::CReceiveQueue q;
    q.SetMaximum(200);
    uint32_t next = 0;
    auto stage = [&](uint32_t count, bool someLong) {
        for (uint32_t i = 0; i < count; ++i, ++next) {
            Bytes data = Counting(someLong && next % 3 == 0 ? 90 : 12, static_cast<uint8_t>(next));
            tes::PutU32(data.data(), next);
            const Bytes wire = Wire(0x0203, 1, data);
            tes::TelegramView view;
            ASSERT_TRUE(view.Parse(wire.data(), wire.size()));
            q.Stage(view);
        }
    };
    auto expectNext = [&](uint32_t want, bool inPlace) {
        uint32_t remaining = 0;
        uint32_t got = 0, length = 0;
        if (inPlace) {
            ASSERT_TRUE(q.Take(
                [&](const tes::CQueuedTelegram& t) {
                    got = tes::GetU32(t.Data());
                    length = t.DataLength();
                    EXPECT_EQ(t.Data()[length - 1], static_cast<uint8_t>(got + length - 1));
                },
                &remaining));
        } else {
            tes::CQueuedTelegram t;
            ASSERT_TRUE(q.Pop(&t, &remaining));
            got = tes::GetU32(t.Data());
        }
        EXPECT_EQ(got, want);
    };
    stage(300, true);  // publishes 256 on the way, then cuts at 200
    q.Publish();
    EXPECT_EQ(q.Count(), 200u);
    for (uint32_t n = 0; n < 200; ++n) expectNext(n, n % 2 == 0);
    stage(40, true);
    q.Publish(false);  // dropped unpublished
    // The same blocks again, with short entries over the long ones.
    const uint32_t first = next;
    stage(300, false);
    q.Publish();
    for (uint32_t n = 0; n < 200; ++n) expectNext(first + n, true);
    stage(5, true);  // left in the queue's blocks for the destructor
    q.Publish();
    EXPECT_EQ(q.Count(), 5u);
}

TEST_F(HotQueue, FramesOfOneReceiveAppearTogetherAtItsEnd) {
    client.SetMaxSizePerQueue(10);
    tes::CanFrame f;
    client.OnReceiveBatch(true);
    Deliver(0x0203, FramePayload(1, 0, {1}));
    Deliver(0x0203, FramePayload(2, 0, {2}));
    EXPECT_EQ(client.GetMessage(&f), -1);
    client.OnReceiveBatch(false);
    ASSERT_EQ(client.GetMessage(&f), 1);
    EXPECT_EQ(f.nIdentifier, 1u);
    ASSERT_EQ(client.GetMessage(&f), 0);
    EXPECT_EQ(f.nIdentifier, 2u);

    // Outside a receive a frame is queued at once.
    Deliver(0x0203, FramePayload(3, 0, {3}));
    EXPECT_EQ(client.GetMessage(&f), 0);
    EXPECT_EQ(f.nIdentifier, 3u);
}

TEST_F(HotQueue, QueueingSwitchedOffDuringAReceiveDropsWhatItStaged) {
    client.SetMaxSizePerQueue(10);
    client.OnReceiveBatch(true);
    Deliver(0x0203, FramePayload(1, 0, {1}));
    client.SetMaxSizePerQueue(0);
    client.OnReceiveBatch(false);
    client.SetMaxSizePerQueue(10);
    tes::CanFrame f;
    EXPECT_EQ(client.GetMessage(&f), -1);
    EXPECT_EQ(client.Discarded(CTessaraClientCANDll::kQueueFrame), 0u);
}

TEST_F(HotQueue, AFrameWithSixtyFourBytesAndATimeStampComesBackWhole) {
    // 5 + 64 + 8 = 77 payload bytes: longer than an entry holds inline.
    client.SetMaxSizePerQueue(4);
    const Bytes data = Counting(64, 0x40);
    const Bytes stamp{0x15, 0xCD, 0x5B, 0x07, 0x40, 0xE2, 0x01, 0x00};  // 123456789 s, 123456 µs
    Deliver(0x0203, FramePayload(0x1FFFFFFF, 0x04, data, stamp));
    Deliver(0x0203, FramePayload(0x123, 0x00, {0xAA}));
    tes::CanFrame f;
    ASSERT_EQ(client.GetMessage(&f), 1);
    EXPECT_EQ(f.nIdentifier, 0x1FFFFFFFu);
    EXPECT_EQ(f.cFlags, 0x04);
    ASSERT_EQ(f.nLength, 64);
    EXPECT_EQ(Bytes(f.oData, f.oData + 64), data);
    EXPECT_EQ(f.nSeconds, 123456789u);
    EXPECT_EQ(f.nMicroseconds, 123456u);
    ASSERT_EQ(client.GetMessage(&f), 0);
    EXPECT_EQ(f.nIdentifier, 0x123u);
    EXPECT_EQ(f.nLength, 1);
    EXPECT_EQ(f.oData[0], 0xAA);
    EXPECT_EQ(client.GetMessage(&f), -1);
}

TEST_F(HotQueue, EveryCanopenQueueHandsBackItsOwnEntries) {
    client.SetMaxSizePerQueue(10);
    Deliver(0x0267, {5, 1, 3, 0x11, 0x22, 0x33});           // PDO: node 5, type 1, 3 bytes
    Deliver(0x0264, {0x42});                                // SYNC
    Deliver(0x0266, {9, 0x10, 0x81, 0x01, 1, 2, 3, 4, 5});  // EMCY: code 0x8110
    Deliver(0x026C, {4, 0x7F});                             // GUARD
    Deliver(0x026D, FramePayload(0x0605, 0x04, {7, 8}, {1, 0, 0, 0, 2, 0, 0, 0}));  // UNDEFINED
    tes::PdoIndication pdo;
    ASSERT_EQ(client.GetPdo(&pdo), 0);
    EXPECT_EQ(pdo.cNodeId, 5);
    EXPECT_EQ(pdo.cPdoType, 1);
    ASSERT_EQ(pdo.nLength, 3);
    EXPECT_EQ(Bytes(pdo.oData, pdo.oData + 3), (Bytes{0x11, 0x22, 0x33}));
    uint8_t sync = 0;
    ASSERT_EQ(client.GetSync(&sync), 0);
    EXPECT_EQ(sync, 0x42);
    tes::EmcyIndication emcy;
    ASSERT_EQ(client.GetEmcy(&emcy), 0);
    EXPECT_EQ(emcy.cNodeId, 9);
    EXPECT_EQ(emcy.nErrorCode, 0x8110);
    EXPECT_EQ(emcy.cErrorRegister, 0x01);
    EXPECT_EQ(Bytes(emcy.oData, emcy.oData + 5), (Bytes{1, 2, 3, 4, 5}));
    tes::GuardIndication guard;
    ASSERT_EQ(client.GetGuard(&guard), 0);
    EXPECT_EQ(guard.cNodeId, 4);
    EXPECT_EQ(guard.cState, 0x7F);
    tes::UndefinedIndication u;
    ASSERT_EQ(client.GetUndefined(&u), 0);
    EXPECT_EQ(u.nIdentifier, 0x0605u);
    EXPECT_EQ(u.cIdByte0, 0x05);
    EXPECT_EQ(u.cIdByte1, 0x06);
    ASSERT_EQ(u.nLength, 2);
    EXPECT_EQ(u.oData[1], 8);
    EXPECT_EQ(u.nSeconds, 1u);
    EXPECT_EQ(u.nMicroseconds, 2u);
    EXPECT_EQ(client.GetPdo(&pdo), -1);
    EXPECT_EQ(client.GetUndefined(&u), -1);
}

TEST_F(HotQueue, ManyFramesPushedWhileAnotherThreadTakesThemArriveInOrder) {
    constexpr uint32_t kFrames = 20000;
    client.SetMaxSizePerQueue(static_cast<uint32_t>(kFrames));
    std::thread receiver([&] {
        // In receives of up to 700 telegrams, as the receive thread brackets them.
        for (uint32_t i = 0; i < kFrames; ++i) {
            if (i % 700 == 0) client.OnReceiveBatch(true);
            Deliver(0x0203,
                    FramePayload(i, 0, Counting(i % 3 == 0 ? 64 : 8, static_cast<uint8_t>(i))));
            if (i % 700 == 699 || i + 1 == kFrames) client.OnReceiveBatch(false);
        }
    });
    uint32_t next = 0;
    const int64_t deadline = tes::sys::MonotonicMs() + 60000;
    while (next < kFrames && tes::sys::MonotonicMs() < deadline) {
        tes::CanFrame f;
        if (client.GetMessage(&f) < 0) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(f.nIdentifier, next);
        ASSERT_EQ(f.nLength, next % 3 == 0 ? 64 : 8);
        ASSERT_EQ(f.oData[f.nLength - 1], static_cast<uint8_t>(next + f.nLength - 1));
        ++next;
    }
    receiver.join();
    EXPECT_EQ(next, kFrames);
    EXPECT_EQ(client.Discarded(CTessaraClientCANDll::kQueueFrame), 0u);
}
