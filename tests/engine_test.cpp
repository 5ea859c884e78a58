// The request engine against a scripted gateway: time-outs, late and
// duplicate confirmations, telegram checks, ids, and several threads on one
// handle.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "api/handle_table.h"
#include "test_support.h"

using namespace tes::test;
using tes::sim::MakeConfirmation;
using tes::sim::Request;

namespace {

using tes::wire::kCmdGetGlobals;
using tes::wire::kCmdSetPowerrelais;

class Engine : public GatewayTest {
protected:
    tes::CTessaraClientCANDll& Client(int h) { return *tes::LookupDeviceHandle(h)->pClient; }
    void Silence(uint16_t command) {
        oGateway.Script(command, [](const Request&) { return std::nullopt; });
    }
    void Answer(uint16_t command, Bytes reply) {
        oGateway.Script(command, [reply](const Request&) { return reply; });
    }
};

TEST_F(Engine, NoAnswerTimesOutAfterOneSend) {
    const int h = Open(0, 400);
    Silence(kCmdSetPowerrelais);
    const int64_t start = tes::sys::MonotonicMs();
    EXPECT_EQ(CANSetPowerRelais(h, 1), 0x40000);
    const int64_t took = tes::sys::MonotonicMs() - start;
    EXPECT_GE(took, Scaled(400) - 5);
    EXPECT_LT(took, Scaled(400) + Scaled(500));
    EXPECT_EQ(oGateway.CountCommand(kCmdSetPowerrelais), 1u);
}

TEST_F(Engine, LateConfirmationIsStoredThenPurged) {
    // A short time-out keeps unclaimed confirmations only briefly.
    const int h = Open(0, 100);
    Silence(kCmdSetPowerrelais);
    EXPECT_EQ(CANSetPowerRelais(h, 1), 0x40000);
    const uint16_t lateId = oGateway.WaitForCommand(kCmdSetPowerrelais, 1000)->Id();
    ASSERT_TRUE(oGateway.SendTelegram(0, 0x8223, lateId, {0x00}));
    ASSERT_TRUE(WaitUntil([&] { return Client(h).StoredConfirmations() == 1; }, 2000));
    // A request right away leaves it stored; one after its age limit purges it.
    EXPECT_EQ(CANSetPowerRelais(h, 1), 0x40000);
    EXPECT_EQ(Client(h).StoredConfirmations(), 1u);
    // Unclaimed confirmations are kept time-out / 100 seconds.
    const int64_t keptMs = Scaled(100) / 100 * 1000;
    const int64_t stored = tes::sys::MonotonicMs();
    WaitUntil([&] { return tes::sys::MonotonicMs() - stored > keptMs + 100; }, keptMs + 2000);
    EXPECT_EQ(CANSetPowerRelais(h, 1), 0x40000);
    EXPECT_EQ(Client(h).StoredConfirmations(), 0u);
}

TEST_F(Engine, ConfirmationChecks) {
    const int h = Open();
    // Wrong checksum.
    oGateway.Script(kCmdSetPowerrelais, [](const Request& r) {
        Bytes c = MakeConfirmation(r, 0);
        c.back() ^= 0x5A;
        return std::optional<Bytes>(c);
    });
    EXPECT_EQ(CANSetPowerRelais(h, 1), 0xA0000);
    // Right id, wrong command word.
    oGateway.Script(kCmdSetPowerrelais, [](const Request& r) {
        return std::optional<Bytes>(Encode(0x8224, r.nTelegramId, {0x00}));
    });
    EXPECT_EQ(CANSetPowerRelais(h, 1), 0xB0000);
    // No result byte.
    oGateway.Script(kCmdSetPowerrelais, [](const Request& r) {
        return std::optional<Bytes>(Encode(0x8223, r.nTelegramId));
    });
    EXPECT_EQ(CANSetPowerRelais(h, 1), 0xC0200);
    // Result bytes become device results.
    for (uint8_t r : {0x20, 0x24, 0xFF}) {
        oGateway.Script(kCmdSetPowerrelais, [r](const Request& q) {
            return std::optional<Bytes>(MakeConfirmation(q, r));
        });
        EXPECT_EQ(CANSetPowerRelais(h, 1), 0x200 | r);
    }
}

TEST_F(Engine, ZeroWaitLooksOnceWithoutWaiting) {
    const int h = Open();
    oGateway.SetReplyDelay(static_cast<uint32_t>(Scaled(300)));
    unsigned char replyByte = 0;
    int value = 0;
    const int64_t start = tes::sys::MonotonicMs();
    // An SDO time-out of 0 gives the confirmation no time at all.
    EXPECT_EQ(CANopenSendSDORead(h, 1, 0x1000, 0, 0, &replyByte, &value), 0x40000);
    EXPECT_LT(tes::sys::MonotonicMs() - start, Scaled(200));
}

TEST_F(Engine, IdsCountFromTwoAndWrap) {
    const int h = Open();
    // SET_CONFIG took id 2; frames streamed without confirmation take ids too.
    const char byte = 1;
    for (int id = 3; id <= 65535; ++id) ASSERT_EQ(CANWrite(h, 0x100, &byte, 1, 0), 0);
    EXPECT_EQ(CANSetPowerRelais(h, 0), 0);
    ASSERT_TRUE(oGateway.WaitFor([&] { return oGateway.CountCommand(0x0203) == 65533; }, 10000));
    const auto log = oGateway.Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[1].Id(), 2);
    EXPECT_EQ(log[2].Id(), 3);
    const auto relais = oGateway.WaitForCommand(kCmdSetPowerrelais, 1000);
    EXPECT_EQ(relais->Id(), 0);
}

TEST_F(Engine, LaterConfirmationWithTheSameIdReplacesTheEarlier) {
    const int h = Open();
    Silence(kCmdSetPowerrelais);
    EXPECT_EQ(CANSetPowerRelais(h, 1), 0x40000);
    const uint16_t next = static_cast<uint16_t>(Client(h).PeekTelegramId());
    Bytes both = Encode(0x8223, next, {0x21});
    const Bytes second = Encode(0x8223, next, {0x00});
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(oGateway.SendRaw(0, both));
    ASSERT_TRUE(WaitUntil([&] { return Client(h).StoredConfirmations() == 1; }, 2000));
    // Both telegrams were cut from one segment; the store keeps the later.
    EXPECT_EQ(CANSetPowerRelais(h, 1), 0);
}

TEST_F(Engine, SetConfigFailureAtOpenLeavesNothing) {
    oGateway.Script(
        0x0205, [](const Request& r) { return std::optional<Bytes>(MakeConfirmation(r, 0x24)); });
    int handle = 0;
    EXPECT_EQ(CANOpenDevice(&handle, 1, 0, 0, sAddress.c_str(), 1000), 0x224);
    EXPECT_EQ(handle, -1);
    EXPECT_EQ(tes::OpenHandleCount(), 0u);
    EXPECT_TRUE(oGateway.WaitForCommand(0x0202, Scaled(1000)).has_value());
}

TEST_F(Engine, RestartUsesAPlainLinkOnPortZero) {
    EXPECT_EQ(CANRestart(sAddress.c_str(), 2000), 0);
    EXPECT_EQ(oGateway.RestartCount(), 1u);
    EXPECT_EQ(oGateway.CountCommand(0x0201), 0u);  // no CONNECT on this link
    const auto close = oGateway.WaitForCommand(0x020C, 1000);
    ASSERT_TRUE(close.has_value());
    EXPECT_EQ(close->oBytes, Encode(0x020C, 0));
    EXPECT_EQ(tes::OpenHandleCount(), 0u);  // the temporary handle is gone
}

TEST_F(Engine, RestartResults) {
    // A refused restart is the gateway's result, and the temporary handle goes.
    oGateway.Script(0x020C, [](const Request& r) {
        return std::optional<Bytes>(MakeConfirmation(r, 0x05));
    });
    EXPECT_EQ(CANRestart(sAddress.c_str(), static_cast<int>(Scaled(2000))), 0x205);
    EXPECT_EQ(oGateway.RestartCount(), 0u);
    // Nobody listening: not connected, and still no handle left.
    const std::string address = sAddress;
    oGateway.Stop();
    EXPECT_EQ(CANRestart(address.c_str(), static_cast<int>(Scaled(1000))), 0x30000);
    EXPECT_EQ(tes::OpenHandleCount(), 0u);
}

TEST_F(Engine, EightThreadsOnOneHandleEachGetTheirOwnAnswer) {
    const int h = Open();
    // The script answers an SDO read with the index it was asked for.
    oGateway.Script(0x0268, [](const Request& r) {
        const uint8_t lo = r.oData.size() > 2 ? r.oData[1] : 0;
        const uint8_t hi = r.oData.size() > 2 ? r.oData[2] : 0;
        return std::optional<Bytes>(MakeConfirmation(r, 0, {0x4B, lo, hi}));
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; ++i) {
                const int index = 0x2000 + t * 1000 + i;
                unsigned char reply = 0;
                int value = -1;
                const int rc = CANopenSendSDORead(h, 5, index, 0, 1000, &reply, &value);
                if (rc != 0 || value != index || reply != 0x4B) ++wrong;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(Engine, CloseWhileAnotherThreadWaitsOnTheHandle) {
    const int h = Open(0, 3000);
    Forget(h);
    Silence(kCmdGetGlobals);
    std::atomic<int> result{-1};
    std::thread waiter([&] {
        int baud = 0, t = 0, hs = 0, ts = 0;
        unsigned char mode = 0;
        result = CANGetGlobals(h, &baud, &mode, &t, &hs, &ts);
    });
    ASSERT_TRUE(oGateway.WaitForCommand(kCmdGetGlobals, 2000).has_value());
    EXPECT_EQ(CANCloseDevice(h), 0);
    waiter.join();
    // The link went away under the request: it ends at once, not at its time-out.
    EXPECT_EQ(result.load(), 0x30000);
    EXPECT_EQ(CANSetPowerRelais(h, 1), 0x900000);
}

// Calls find recently opened handles through a slot of a small table
// (handle number modulo its size) without the table's lock; two open handles
// in one slot must each still reach their own link.
TEST_F(Engine, HandlesSharingALookupSlotEachReachTheirOwnLink) {
    const int first = Open();
    int second = -1;
    for (int i = 0; i < 300 && second < 0; ++i) {
        int h = 0;
        ASSERT_EQ(CANOpenDevice(&h, 0, 0, 0, sAddress.c_str(), static_cast<int>(Scaled(2000))), 0);
        if ((h - first) % 256 == 0) {
            second = h;
            oHandles.push_back(h);
        } else {
            ASSERT_EQ(CANCloseDevice(h), 0);
        }
    }
    ASSERT_GT(second, 0);
    // The first link ends from the gateway's side; only the first handle sees it.
    ASSERT_TRUE(oGateway.DropConnection(0));
    ASSERT_TRUE(WaitUntil([&] { return CANDeviceConnectState(first) == 1; }, Scaled(2000)));
    EXPECT_EQ(CANDeviceConnectState(second), 3);
    // Closed, the first is gone for every call while the second goes on.
    Forget(first);
    EXPECT_EQ(CANCloseDevice(first), 0);
    EXPECT_EQ(CANDeviceConnectState(first), 0x900000);
    EXPECT_EQ(CANSetPowerRelais(second, 1), 0);
}

// Polling threads hold the handle's slot only for each call: closing the
// handle under them neither waits for them nor lets a call reach a freed
// client; afterwards every call reports the closed handle.
TEST_F(Engine, CloseUnderPollingThreads) {
    const int h = Open();
    Forget(h);
    ASSERT_EQ(CANSetMaxSizePerQueue(h, 100), 0);
    std::atomic<bool> closed{false};
    std::atomic<int> late{0};
    std::vector<std::thread> pollers;
    for (int t = 0; t < 3; ++t) {
        pollers.emplace_back([&] {
            for (;;) {
                const bool wasClosed = closed.load();
                int available = 0, id = 0, flags = 0, s = 0, us = 0;
                unsigned char length = 0;
                char data[64];
                const int rc = CANGetMessage(h, &available, &id, data, &length, &flags, &s, &us);
                if (wasClosed) {
                    if (rc != 0x900000) ++late;
                    return;
                }
            }
        });
    }
    EXPECT_EQ(CANCloseDevice(h), 0);
    closed.store(true);
    for (auto& t : pollers) t.join();
    EXPECT_EQ(late.load(), 0);
}

// Each thread that makes calls announces what it pins in a hazard of its
// own; a thread that ends gives its hazard to the next, so a program that
// starts a thread per task does not grow the list a close must scan, and a
// hazard handed on still protects its new thread's calls.
TEST_F(Engine, EndedThreadsHandTheirHazardsOn) {
    const int h = Open();
    Forget(h);
    size_t ownedBefore = 0;
    const size_t listedBefore = tes::ListedHazardCount(&ownedBefore);
    for (int i = 0; i < 40; ++i) {
        std::thread([h] { EXPECT_EQ(CANDeviceConnectState(h), 3); }).join();
    }
    size_t owned = 0;
    EXPECT_LE(tes::ListedHazardCount(&owned), listedBefore + 1);
    EXPECT_EQ(owned, ownedBefore);
    EXPECT_EQ(CANCloseDevice(h), 0);
    std::thread([h] { EXPECT_EQ(CANDeviceConnectState(h), 0x900000); }).join();
}

}  // namespace
