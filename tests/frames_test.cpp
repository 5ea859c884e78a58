// Frames between two handles on one simulated CAN port: nothing lost or
// reordered through queues and callbacks, polling while frames arrive, and
// closing handles while frames flood in (also from inside a callback).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "api/handle_table.h"
#include "test_support.h"

using namespace tes::test;

namespace {

struct Order {
    std::atomic<uint32_t> nNext{0};
    std::atomic<uint32_t> nWrong{0};
};
Order gOrder;

uint32_t Sequence(const char* data) {
    uint32_t v = 0;
    std::memcpy(&v, data, 4);
    return v;
}

void TESSARA_CALLBACK CountInOrder(int, const char* data, int length, int, int) {
    if (length != 8 || Sequence(data) != gOrder.nNext.load()) gOrder.nWrong.fetch_add(1);
    gOrder.nNext.fetch_add(1);
}

std::atomic<int> gCloseFromCallback{-1};
std::atomic<int> gCloseResult{-1};
void TESSARA_CALLBACK CloseOwnHandle(int, const char*, int, int, int handle) {
    int expected = handle;
    if (gCloseFromCallback.compare_exchange_strong(expected, -2)) {
        gCloseResult.store(CANCloseDevice(handle));
    }
}

class Frames : public GatewayTest {
protected:
    void SetUp() override {
        GatewayTest::SetUp();
        gOrder.nNext = 0;
        gOrder.nWrong = 0;
        a = Open();
        b = Open();
    }
    // Writes frames 0 .. n-1, each carrying its sequence number.
    void WriteSequence(int handle, uint32_t n) {
        char data[8] = {};
        for (uint32_t i = 0; i < n; ++i) {
            std::memcpy(data, &i, 4);
            ASSERT_EQ(CANWrite(handle, 0x100 + static_cast<int>(i % 0x400), data, 8, 0), 0);
        }
    }
    int a = -1, b = -1;
};

TEST_F(Frames, TwoHandlesTalkThroughCallbacksBothWays) {
    ASSERT_EQ(CANSetCallback(b, CountInOrder), 0);
    WriteSequence(a, 10);
    EXPECT_TRUE(WaitUntil([] { return gOrder.nNext.load() == 10; }, Scaled(3000)));
    // The writer does not hear its own frames.
    ASSERT_EQ(CANSetMaxSizePerQueue(a, 10), 0);
    const char one[8] = {};
    ASSERT_EQ(CANWrite(b, 0x7FF, one, 8, 0), 0);
    int available = -1, id = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            CANGetMessage(a, &available, &id, nullptr, nullptr, nullptr, nullptr, nullptr);
            return available >= 0;
        },
        Scaled(3000)));
    EXPECT_EQ(id, 0x7FF);
    EXPECT_EQ(gOrder.nWrong.load(), 0u);
}

TEST_F(Frames, HundredThousandFramesReachAQueueInOrder) {
    constexpr uint32_t kCount = 100000;
    ASSERT_EQ(CANSetMaxSizePerQueue(b, kCount), 0);
    WriteSequence(a, kCount);
    auto& client = *tes::LookupDeviceHandle(b)->pClient;
    uint32_t next = 0;
    int available = 0;
    tes::CanFrame frame;
    const int64_t deadline = tes::sys::MonotonicMs() + Scaled(30000);
    while (next < kCount && tes::sys::MonotonicMs() < deadline) {
        char data[64];
        unsigned char length = 0;
        int id = 0, flags = 0, s = 0, us = 0;
        ASSERT_EQ(CANGetMessage(b, &available, &id, data, &length, &flags, &s, &us), 0);
        if (available < 0) {
            tes::sys::SleepMs(1);
            continue;
        }
        ASSERT_EQ(length, 8);
        ASSERT_EQ(Sequence(data), next);
        ++next;
    }
    EXPECT_EQ(next, kCount);
    EXPECT_EQ(client.Discarded(tes::CTessaraClientCANDll::kQueueFrame), 0u);
    EXPECT_EQ(client.GetMessage(&frame), -1);
}

TEST_F(Frames, HundredThousandFramesReachACallbackInOrder) {
    constexpr uint32_t kCount = 100000;
    ASSERT_EQ(CANSetCallback(b, CountInOrder), 0);
    WriteSequence(a, kCount);
    EXPECT_TRUE(WaitUntil([] { return gOrder.nNext.load() == kCount; }, Scaled(30000)));
    EXPECT_EQ(gOrder.nWrong.load(), 0u);
}

TEST_F(Frames, PollingWhileFramesArrive) {
    constexpr uint32_t kCount = 20000;
    ASSERT_EQ(CANSetMaxSizePerQueue(b, kCount), 0);
    std::atomic<uint32_t> got{0};
    std::atomic<uint32_t> wrong{0};
    std::thread poller([&] {
        const int64_t deadline = tes::sys::MonotonicMs() + Scaled(30000);
        while (got.load() < kCount && tes::sys::MonotonicMs() < deadline) {
            int available = -1;
            char data[64];
            CANGetMessage(b, &available, nullptr, data, nullptr, nullptr, nullptr, nullptr);
            if (available < 0) continue;
            if (Sequence(data) != got.load()) wrong.fetch_add(1);
            got.fetch_add(1);
        }
    });
    WriteSequence(a, kCount);
    poller.join();
    EXPECT_EQ(got.load(), kCount);
    EXPECT_EQ(wrong.load(), 0u);
}

TEST_F(Frames, ClosingAHandleWhileFramesFloodIn) {
    ASSERT_EQ(CANSetCallback(b, CountInOrder), 0);
    ASSERT_EQ(CANSetMaxSizePerQueue(b, 50), 0);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const char data[8] = {};
        while (!stop.load()) CANWrite(a, 0x55, data, 8, 0);
    });
    WaitUntil([] { return gOrder.nNext.load() > 1000; }, Scaled(5000));
    Forget(b);
    EXPECT_EQ(CANCloseDevice(b), 0);
    stop = true;
    writer.join();
    EXPECT_EQ(CANDeviceConnectState(b), 0x900000);
    EXPECT_EQ(CANDeviceConnectState(a), 3);
}

TEST_F(Frames, ClosingFromInsideTheHandlesOwnCallback) {
    gCloseFromCallback = b;
    gCloseResult = -1;
    ASSERT_EQ(CANSetCallback(b, CloseOwnHandle), 0);
    Forget(b);
    const char data[8] = {};
    ASSERT_EQ(CANWrite(a, 0x66, data, 8, 0), 0);
    ASSERT_TRUE(WaitUntil([] { return gCloseResult.load() != -1; }, Scaled(3000)));
    EXPECT_EQ(gCloseResult.load(), 0);
    EXPECT_EQ(CANDeviceConnectState(b), 0x900000);
    // The handle's client is torn down off its own thread; the link goes.
    EXPECT_TRUE(oGateway.WaitForClosed(1, Scaled(3000)));
    EXPECT_EQ(CANDeviceConnectState(a), 3);
}

}  // namespace
