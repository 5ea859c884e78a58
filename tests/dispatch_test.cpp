// Delivery of unsolicited telegrams: frame and CANopen decoding, callback
// precedence, queue limits and polling.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "incoming/client_can_dll.h"

using tes::CTessaraClientCANDll;
using Bytes = std::vector<uint8_t>;

namespace {

struct Seen {
    std::string kind;
    int identifier = 0, length = 0, flags = 0, handle = 0, seconds = 0, micros = 0;
    Bytes data;
    int a = 0, b = 0, c = 0;
};
std::vector<Seen> gSeen;

void TESSARA_CALLBACK FrameCb(int id, const char* data, int len, int flags, int handle) {
    gSeen.push_back({"frame", id, len, flags, handle, 0, 0, Bytes(data, data + len)});
}
void TESSARA_CALLBACK FrameCbEx(int id, const char* data, int len, int flags, int handle, int s,
                                int us) {
    gSeen.push_back({"frameEx", id, len, flags, handle, s, us, Bytes(data, data + len)});
}
void TESSARA_CALLBACK PdoCb(unsigned char node, unsigned char type, unsigned char len,
                            const char* data, int handle, int, int) {
    gSeen.push_back({"pdo", 0, len, 0, handle, 0, 0, Bytes(data, data + len), node, type});
}
void TESSARA_CALLBACK EmcyCb(unsigned char node, int code, unsigned char reg, const char* data,
                             int handle, int, int) {
    gSeen.push_back({"emcy", 0, 5, 0, handle, 0, 0, Bytes(data, data + 5), node, code, reg});
}
void TESSARA_CALLBACK UndefCb(int id, unsigned char b0, unsigned char b1, unsigned char len,
                              const char* data, int handle, int s, int us) {
    gSeen.push_back({"undef", id, len, 0, handle, s, us, Bytes(data, data + len), b0, b1});
}

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override { gSeen.clear(); }

    // Delivers one unsolicited telegram with `command` and `payload`.
    void Deliver(uint16_t command, const Bytes& payload) {
        Bytes wire(payload.size() + tes::kTelegramOverhead);
        tes::EncodeTelegram(wire.data(), command, 0, payload.data(), payload.size());
        tes::TelegramView view;
        ASSERT_TRUE(view.Parse(wire.data(), wire.size()));
        EXPECT_FALSE(client.DispatchIndication(view));
    }

    static Bytes Frame(uint32_t id, uint8_t flags, Bytes data, bool stamp = false) {
        const Bytes stampBytes{0x10, 0x27, 0x00, 0x00, 0x40, 0x42, 0x0F, 0x00};
        Bytes p(5 + data.size() + (stamp ? stampBytes.size() : 0));
        tes::PutU32(p.data(), id);
        p[4] = flags;
        std::copy(data.begin(), data.end(), p.begin() + 5);
        if (stamp) std::copy(stampBytes.begin(), stampBytes.end(), p.end() - 8);
        return p;
    }

    CTessaraClientCANDll client{1000, 7};
};

TEST_F(Dispatch, FrameReachesTheExCallbackWithAndWithoutTimestamp) {
    client.SetCallbackEx(FrameCbEx);
    Deliver(0x0203, Frame(0x12345678, 0x00, {1, 2, 3}));
    Deliver(0x0203, Frame(0x12345678, 0x04, {1, 2, 3}, true));
    ASSERT_EQ(gSeen.size(), 2u);
    EXPECT_EQ(gSeen[0].identifier, 0x12345678);
    EXPECT_EQ(gSeen[0].length, 3);
    EXPECT_EQ(gSeen[0].seconds, 0);
    EXPECT_EQ(gSeen[0].handle, 7);
    EXPECT_EQ(gSeen[1].length, 3);
    EXPECT_EQ(gSeen[1].flags, 0x04);
    EXPECT_EQ(gSeen[1].seconds, 10000);
    EXPECT_EQ(gSeen[1].micros, 1000000);
    EXPECT_EQ(gSeen[1].data, (Bytes{1, 2, 3}));
}

TEST_F(Dispatch, FrameLengthLimitAndShortPayloads) {
    client.SetCallback(FrameCb);
    Deliver(0x0203, Frame(1, 0, Bytes(64, 0xAB)));
    Deliver(0x0203, Frame(2, 0, Bytes(65, 0xAB)));  // too long: dropped
    Deliver(0x0203, Bytes{1, 0, 0, 0});             // no flags byte: dropped
    Deliver(0x0203, Frame(3, 0x04, {1, 2}));        // stamp flag without stamp: length 0
    Deliver(0x0204, Frame(4, 0, {1}));              // not an indication we know
    ASSERT_EQ(gSeen.size(), 2u);
    EXPECT_EQ(gSeen[0].length, 64);
    EXPECT_EQ(gSeen[1].identifier, 3);
    EXPECT_EQ(gSeen[1].length, 0);
}

TEST_F(Dispatch, LaterCallbackSetterReplacesTheOther) {
    client.SetCallback(FrameCb);
    client.SetCallbackEx(FrameCbEx);
    Deliver(0x0203, Frame(1, 0x80, {9}));
    client.SetCallback(FrameCb);
    Deliver(0x0203, Frame(2, 0x80, {9}));
    ASSERT_EQ(gSeen.size(), 2u);
    EXPECT_EQ(gSeen[0].kind, "frameEx");
    EXPECT_EQ(gSeen[1].kind, "frame");
    EXPECT_EQ(gSeen[1].flags, 128);  // callbacks see 0..255
}

TEST_F(Dispatch, QueueKeepsOldestUpToItsMaximum) {
    tes::CanFrame f;
    Deliver(0x0203, Frame(1, 0, {1}));  // queueing off: vanishes
    EXPECT_EQ(client.GetMessage(&f), -1);
    client.SetMaxSizePerQueue(2);
    Deliver(0x0203, Frame(0x11, 0, {1}));
    Deliver(0x0203, Frame(0x22, 0x04, {2, 3}, true));
    Deliver(0x0203, Frame(0x33, 0, {3}));  // discarded: queue full
    EXPECT_EQ(client.Discarded(CTessaraClientCANDll::kQueueFrame), 1u);
    ASSERT_EQ(client.GetMessage(&f), 1);
    EXPECT_EQ(f.nIdentifier, 0x11u);
    ASSERT_EQ(client.GetMessage(&f), 0);
    EXPECT_EQ(f.nIdentifier, 0x22u);
    EXPECT_EQ(f.nLength, 2);
    EXPECT_EQ(f.nSeconds, 10000u);
    EXPECT_EQ(client.GetMessage(&f), -1);

    Deliver(0x0203, Frame(0x44, 0, {4}));
    client.SetMaxSizePerQueue(0);  // empties and stops queueing
    EXPECT_EQ(client.GetMessage(&f), -1);
    Deliver(0x0203, Frame(0x55, 0, {5}));
    EXPECT_EQ(client.GetMessage(&f), -1);
}

TEST_F(Dispatch, CallbackWinsOverQueueButQueuedEntriesStay) {
    client.SetMaxSizePerQueue(10);
    Deliver(0x0203, Frame(1, 0, {1}));
    client.SetCallback(FrameCb);
    Deliver(0x0203, Frame(2, 0, {2}));
    tes::CanFrame f;
    EXPECT_EQ(client.GetMessage(&f), 0);
    EXPECT_EQ(f.nIdentifier, 1u);
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_EQ(gSeen[0].identifier, 2);
}

// Within one receive batch the queue is staged; a callback switched on
// mid-batch must not run before the frames queued ahead of it are visible.
CTessaraClientCANDll* gPolled = nullptr;
std::vector<uint32_t> gQueuedAtCallback;
void TESSARA_CALLBACK TakeQueueCb(int id, const char*, int, int, int) {
    tes::CanFrame f;
    while (gPolled->GetMessage(&f) >= 0) gQueuedAtCallback.push_back(f.nIdentifier);
    gQueuedAtCallback.push_back(0x1000u + static_cast<uint32_t>(id));
}

TEST_F(Dispatch, CallbackSwitchedOnMidBatchRunsAfterTheQueuedFramesAreVisible) {
    gPolled = &client;
    gQueuedAtCallback.clear();
    client.SetMaxSizePerQueue(100);
    client.OnReceiveBatch(true);
    Deliver(0x0203, Frame(1, 0, {1}));
    Deliver(0x0203, Frame(2, 0, {2}));
    client.SetCallback(TakeQueueCb);
    Deliver(0x0203, Frame(3, 0, {3}));
    client.SetCallback(nullptr);
    Deliver(0x0203, Frame(4, 0, {4}));  // staged again, visible at the batch's end
    tes::CanFrame f;
    EXPECT_EQ(client.GetMessage(&f), -1);
    client.SetCallback(TakeQueueCb);
    Deliver(0x0203, Frame(5, 0, {5}));
    client.OnReceiveBatch(false);
    client.SetCallback(nullptr);
    EXPECT_EQ(gQueuedAtCallback, (std::vector<uint32_t>{1, 2, 0x1003, 4, 0x1005}));
    EXPECT_EQ(client.GetMessage(&f), -1);
}

TEST_F(Dispatch, EmcyDecodedTheSameByCallbackAndQueue) {
    const Bytes emcy{0x05, 0x10, 0x81, 0x11, 0x01, 0x02, 0x03, 0x04, 0x05};
    client.SetMaxSizePerQueue(10);
    Deliver(0x0266, emcy);
    Deliver(0x0266, Bytes{0x05, 0x90, 0x50, 0x00, 0, 0, 0, 0, 0});
    Deliver(0x0266, Bytes{0x05, 0x10, 0x81});  // short: dropped
    tes::EmcyIndication e;
    ASSERT_EQ(client.GetEmcy(&e), 1);
    EXPECT_EQ(e.cNodeId, 5);
    EXPECT_EQ(e.nErrorCode, 0x8110);
    EXPECT_EQ(e.cErrorRegister, 0x11);
    EXPECT_EQ(Bytes(e.oData, e.oData + 5), (Bytes{1, 2, 3, 4, 5}));
    ASSERT_EQ(client.GetEmcy(&e), 0);
    EXPECT_EQ(e.nErrorCode, 0x5090);
    EXPECT_EQ(client.GetEmcy(&e), -1);

    client.SetCanopenCallbacks(nullptr, nullptr, EmcyCb, nullptr, nullptr);
    Deliver(0x0266, emcy);
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_EQ(gSeen[0].a, 5);
    EXPECT_EQ(gSeen[0].b, 0x8110);
    EXPECT_EQ(gSeen[0].c, 0x11);
    EXPECT_EQ(gSeen[0].data, (Bytes{1, 2, 3, 4, 5}));
}

TEST_F(Dispatch, PdoLengthByteIsBelievedOnlyAsFarAsTheBytesGo) {
    Bytes pdo{0x03, 0x01, 12};
    for (int i = 0; i < 12; ++i) pdo.push_back(static_cast<uint8_t>(i));
    client.SetMaxSizePerQueue(10);
    client.SetCanopenCallbacks(PdoCb, nullptr, nullptr, nullptr, nullptr);
    Deliver(0x0267, pdo);
    Deliver(0x0267, Bytes{0x03, 0x01, 200, 0xAA});  // announces 200, carries 1
    Deliver(0x0264, Bytes{0x42});                   // SYNC has no callback: queued
    ASSERT_EQ(gSeen.size(), 2u);
    EXPECT_EQ(gSeen[0].length, 12);
    EXPECT_EQ(gSeen[1].length, 1);
    uint8_t sync = 0;
    EXPECT_EQ(client.GetSync(&sync), 0);
    EXPECT_EQ(sync, 0x42);

    client.SetCanopenCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr);
    Deliver(0x0267, pdo);
    tes::PdoIndication p;
    ASSERT_EQ(client.GetPdo(&p), 0);
    EXPECT_EQ(p.nLength, 8);
    EXPECT_EQ(Bytes(p.oData, p.oData + 8), (Bytes{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(Dispatch, UndefinedWithAndWithoutTimestamp) {
    client.SetCanopenCallbacks(nullptr, nullptr, nullptr, nullptr, UndefCb);
    Deliver(0x026D, Frame(0x0705, 0x04, {7, 8, 9}, true));
    Deliver(0x026D, Frame(0x0705, 0x00, {7, 8, 9}));
    ASSERT_EQ(gSeen.size(), 2u);
    EXPECT_EQ(gSeen[0].identifier, 0x0705);
    EXPECT_EQ(gSeen[0].a, 0x05);
    EXPECT_EQ(gSeen[0].b, 0x07);
    EXPECT_EQ(gSeen[0].length, 3);
    EXPECT_EQ(gSeen[0].seconds, 10000);
    EXPECT_EQ(gSeen[1].seconds, 0);

    client.SetCanopenCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr);
    client.SetMaxSizePerQueue(5);
    Deliver(0x026D, Frame(0x0705, 0x00, Bytes(20, 1)));
    Deliver(0x026C, Bytes{0x09, 0x7F});
    tes::UndefinedIndication u;
    ASSERT_EQ(client.GetUndefined(&u), 0);
    EXPECT_EQ(u.nLength, 8);
    tes::GuardIndication g;
    ASSERT_EQ(client.GetGuard(&g), 0);
    EXPECT_EQ(g.cNodeId, 9);
    EXPECT_EQ(g.cState, 0x7F);
}

}  // namespace
