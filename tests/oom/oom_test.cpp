// Allocation failure at every allocation of an operation: each operation runs
// once counting its allocations, then once per allocation with that one
// failing. Every run must return (no crash, no hang), leak nothing (LSan in
// the asan preset), report 0xFF or drop and count the telegram, and leave the
// handle usable for the next call.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "alloc_hook.h"
#include "api/handle_table.h"
#include "every_allocation.h"
#include "test_support.h"

using namespace tes::test;
using tes::oom::Scope;

namespace {

constexpr int kInvalidHandle = 0x900000;
using tes::oom::EveryAllocation;
using tes::oom::kMostAllocations;

class Opening : public GatewayTest {
protected:
    void OpenEveryAllocation(int transport) {
        const size_t before = tes::OpenHandleCount();
        int handle = -1;
        // An allocation that fails after the gateway has taken a request of
        // the open sequence leaves it without its confirmation: the time-out;
        // a receive thread that cannot start fails the open at once.
        EveryAllocation(
            "open", 0, [] {},
            [&] {
                handle = -1;
                return CANOpenDeviceEx(&handle, 0, 0, 0, sAddress.c_str(),
                                       static_cast<int>(Scaled(1000)), transport);
            },
            [&](uint64_t k) {
                if (k == 0) {
                    EXPECT_EQ(CANCloseDevice(handle), 0);
                    return;
                }
                // No handle is left behind.
                EXPECT_EQ(CANDeviceConnectState(handle), kInvalidHandle) << "allocation " << k;
                EXPECT_EQ(tes::OpenHandleCount(), before) << "allocation " << k;
            },
            {0x20000, 0x40000});
        // The next open works.
        const int h = Open(0, 2000, transport);
        ASSERT_GE(h, 0);
        EXPECT_EQ(CANDeviceConnectState(h), 3);
    }
};

TEST_F(Opening, TcpAtEveryAllocation) {
    OpenEveryAllocation(tes::sys::kTransportTcp);
}

class OpeningUdp : public Opening {
protected:
    tes::sim::GatewayOptions Options() override {
        tes::sim::GatewayOptions options;
        options.bTcp = false;
        options.bUdp = true;
        return options;
    }
};

TEST_F(OpeningUdp, UdpAtEveryAllocation) {
    OpenEveryAllocation(tes::sys::kTransportUdp);
}

TEST_F(GatewayTest, CloseAtEveryAllocation) {
    int handle = -1;
    // Closing allocates nothing on the caller's thread; the receive thread
    // that takes the gateway's answer to the DISCONNECT counts with it. A
    // close whose answer was lost still releases the handle: 0.
    EveryAllocation(
        "close", 0,
        [&] {
            handle = Open(0, 300);
            ASSERT_TRUE(
                tes::oom::MarkReceiveThread(handle, oGateway, oGateway.ConnectionCount() - 1));
        },
        [&] { return CANCloseDevice(handle); },
        [&](uint64_t k) {
            // A close that failed may be repeated; it then closes.
            if (CANDeviceConnectState(handle) != kInvalidHandle) {
                EXPECT_EQ(CANCloseDevice(handle), 0) << "allocation " << k;
            }
            Forget(handle);
            EXPECT_EQ(CANCloseDevice(handle), kInvalidHandle) << "allocation " << k;
            handle = -1;
        },
        {0}, Scope::kCallerAndMarked);
    EXPECT_EQ(tes::OpenHandleCount(), 0u);
}

TEST_F(GatewayTest, RestartAtEveryAllocation) {
    const auto restart = [&] {
        return CANRestart(sAddress.c_str(), static_cast<int>(Scaled(2000)));
    };
    // An allocation that fails once the gateway has taken the restart
    // leaves the request without its confirmation: the time-out, or (when
    // the waiting caller read the confirmation itself) the link the gateway
    // ends; without a receive thread the link does not open.
    EveryAllocation(
        "CANRestart", 0,
        // The gateway's restart ends the last run's link: each run starts
        // once it is gone.
        [&] { WaitUntil([&] { return oGateway.OpenConnectionCount() == 0; }, Scaled(3000)); },
        restart, [&](uint64_t) { EXPECT_EQ(tes::OpenHandleCount(), 0u); },
        {0x20000, 0x30000, 0x40000});
    const size_t restarts = oGateway.RestartCount();
    EXPECT_EQ(restart(), 0);
    EXPECT_EQ(oGateway.RestartCount(), restarts + 1);
}

// The receive of one indication kind: allocations of the library's threads
// count, and the test thread is the only sender while the hook is armed.
struct Indication {
    const char* sName;
    uint16_t nCommand;
    Bytes oPayload;
    tes::CTessaraClientCANDll::Queue eQueue;
    // Takes the oldest entry: its `available` output, -1 when empty.
    std::function<int(int)> fTake;
};

class Receive : public CommandTest, public ::testing::WithParamInterface<Indication> {};

TEST_P(Receive, AtEveryAllocation) {
    const Indication& ind = GetParam();
    ASSERT_EQ(CANSetMaxSizePerQueue(h, 16), 0);
    tes::CTessaraClientCANDll& client = *tes::LookupDeviceHandle(h)->pClient;
    const auto send = [&] { return oGateway.SendTelegram(0, ind.nCommand, 0, ind.oPayload); };
    const auto take = [&] { return ind.fTake(h) >= 0; };

    // The receive path keeps some of its buffers from one telegram to the
    // next, so each run counts afresh: run k fails the kth allocation made
    // for its telegram, until a run gets through without reaching it.
    uint64_t k = 1;
    for (; k < kMostAllocations; ++k) {
        const uint64_t dropped = client.Discarded(ind.eQueue);
        bool delivered = false;
        tes::oom::Arm(Scope::kOtherThreads, k);
        ASSERT_TRUE(send());
        const bool settled = WaitUntil(
            [&] {
                delivered = delivered || take();
                return delivered || client.Discarded(ind.eQueue) == dropped + 1;
            },
            Scaled(3000));
        tes::oom::Disarm();
        ASSERT_TRUE(settled) << ind.sName << ": allocation " << k << ": neither queued nor counted";
        if (!tes::oom::Failed()) {
            EXPECT_TRUE(delivered);
            break;
        }
        // The telegram was dropped and counted, not queued.
        EXPECT_FALSE(delivered) << ind.sName << ": allocation " << k;
        EXPECT_EQ(client.Discarded(ind.eQueue), dropped + 1) << ind.sName << ": allocation " << k;
        // The next telegram arrives, and the link stays up.
        ASSERT_TRUE(send());
        EXPECT_TRUE(WaitUntil(take, Scaled(3000))) << ind.sName << " after allocation " << k;
        EXPECT_EQ(CANDeviceConnectState(h), 3);
        if (HasFailure()) return;
    }
    EXPECT_GT(k, 1u) << ind.sName << " allocates nothing: the test proves nothing";
    EXPECT_LT(k, kMostAllocations);
}

int TakeFrame(int h) {
    int available = -2, id = 0, flags = 0, s = 0, us = 0;
    char data[64];
    unsigned char length = 0;
    CANGetMessage(h, &available, &id, data, &length, &flags, &s, &us);
    return available;
}
int TakePdo(int h) {
    int available = -2;
    unsigned char node = 0, type = 0, length = 0;
    char data[8];
    CANopenGetPDO(h, &available, &node, &type, &length, data);
    return available;
}
int TakeSync(int h) {
    int available = -2;
    unsigned char value = 0;
    CANopenGetSYNC(h, &available, &value);
    return available;
}
int TakeEmcy(int h) {
    int available = -2;
    unsigned char node = 0, reg = 0;
    unsigned short code = 0;
    char data[5];
    CANopenGetEMCY(h, &available, &node, &code, &reg, data);
    return available;
}
int TakeGuard(int h) {
    int available = -2;
    unsigned char node = 0, state = 0;
    CANopenGetGUARD(h, &available, &node, &state);
    return available;
}
int TakeUndefined(int h) {
    int available = -2, id = 0, s = 0, us = 0;
    unsigned char b0 = 0, b1 = 0, length = 0;
    char data[8];
    CANopenGetUndefined(h, &available, &id, &b0, &b1, &length, data, &s, &us);
    return available;
}

Bytes LongFrame() {
    Bytes p{0x23, 0x01, 0x00, 0x00, 0x00};
    for (int i = 0; i < 64; ++i) p.push_back(static_cast<uint8_t>(i));
    return p;
}

using Q = tes::CTessaraClientCANDll;
INSTANTIATE_TEST_SUITE_P(
    Kinds, Receive,
    ::testing::Values(
        Indication{"Frame", 0x0203, LongFrame(), Q::kQueueFrame, TakeFrame},
        Indication{"Pdo", 0x0267, {5, 1, 8, 1, 2, 3, 4, 5, 6, 7, 8}, Q::kQueuePdo, TakePdo},
        Indication{"Sync", 0x0264, {7}, Q::kQueueSync, TakeSync},
        Indication{"Emcy", 0x0266, {5, 0x10, 0x81, 0x01, 1, 2, 3, 4, 5}, Q::kQueueEmcy, TakeEmcy},
        Indication{"Guard", 0x026C, {5, 0x05}, Q::kQueueGuard, TakeGuard},
        Indication{
            "Undefined", 0x026D, {0x81, 0x07, 0, 0, 0, 1, 2}, Q::kQueueUndefined, TakeUndefined}),
    [](const ::testing::TestParamInfo<Indication>& info) { return std::string(info.param.sName); });

}  // namespace
