// Shared helpers of the test suite: a gateway simulator on a loopback address
// of its own, scaled time-outs and telegrams framed by the wire oracle.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TessaraCan.h"
#include "gateway.h"
#include "test_address.h"
#include "test_timeout.h"
#include "transport/platform.h"
#include "wire/telegram.h"

namespace tes::test {

using Bytes = std::vector<uint8_t>;

// Time-outs grow under slow runs (sanitizers, wine): TESSARA_TEST_TIMEOUT_SCALE.
inline int64_t Scaled(int64_t ms) {
    return ScaledMs(ms);
}

// Waits for a condition of the library's own state (which raises no event a
// test could wait on), looking every millisecond until the deadline.
template <typename Predicate>
bool WaitUntil(Predicate predicate, int64_t timeoutMs) {
    const int64_t deadline = sys::MonotonicMs() + timeoutMs;
    while (!predicate()) {
        if (sys::MonotonicMs() >= deadline) return predicate();
        sys::SleepMs(1);
    }
    return true;
}

// A telegram as the gateway protocol frames it, built by the wire oracle.
inline Bytes Encode(uint16_t command, uint16_t id, const Bytes& data = {}) {
    return wire::MakeTelegram(command, id, data);
}

// A test with its own simulated gateway.
class GatewayTest : public ::testing::Test {
protected:
    void SetUp() override { StartGateway(Options()); }
    void TearDown() override {
        for (int h : oHandles) CANCloseDevice(h);
        oGateway.Stop();
    }

    // TCP only unless a test asks for UDP: a datagram endpoint another
    // process holds on the wildcard address would block every bind.
    virtual sim::GatewayOptions Options() {
        sim::GatewayOptions options;
        options.bUdp = false;
        return options;
    }

    void StartGateway(sim::GatewayOptions options) {
        std::string error;
        ASSERT_TRUE(sim::StartOnFreeLoopback(oGateway, options, &error)) << error;
        sAddress = oGateway.BindAddress();
    }

    // Opens CAN port `port` of the simulator; the handle is closed at the end.
    int Open(int port = 0, int timeoutMs = 2000, int transport = 1, bool confirmData = false) {
        int handle = 0;
        const int rc = CANOpenDeviceEx(&handle, confirmData, 0, port, sAddress.c_str(),
                                       static_cast<int>(Scaled(timeoutMs)), transport);
        EXPECT_EQ(rc, 0) << std::hex << rc;
        if (rc == 0) oHandles.push_back(handle);
        return rc == 0 ? handle : -1;
    }

    void Forget(int handle) {
        for (auto it = oHandles.begin(); it != oHandles.end(); ++it) {
            if (*it == handle) {
                oHandles.erase(it);
                return;
            }
        }
    }

    sim::Gateway oGateway;
    std::string sAddress;
    std::vector<int> oHandles;
};

// A test of one command family on an open handle `h`.
class CommandTest : public GatewayTest {
protected:
    void SetUp() override {
        GatewayTest::SetUp();
        h = Open();
    }
    // From now on `command` is answered with `result` and `payload`.
    void Reply(uint16_t command, uint8_t result, Bytes payload) {
        oGateway.Script(command, [=](const sim::Request& r) {
            return std::optional<Bytes>(sim::MakeConfirmation(r, result, payload));
        });
    }
    // The last request with this command word, whole; empty if none came.
    Bytes LastSent(uint16_t command) {
        const size_t n = oGateway.CountCommand(command);
        const auto t = n == 0 ? std::nullopt : oGateway.WaitForCommand(command, 0, n - 1);
        return t ? t->oBytes : Bytes();
    }
    // Its data part.
    Bytes Sent(uint16_t command) {
        const Bytes whole = LastSent(command);
        return whole.size() < wire::kOverhead ? Bytes() : Bytes(whole.begin() + 6, whole.end() - 1);
    }
    int h = -1;
};

}  // namespace tes::test
