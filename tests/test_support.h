// Shared helpers of the test suite: a gateway simulator on a loopback address
// of its own, scaled time-outs and small byte helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "TessaraCan.h"
#include "gateway.h"
#include "test_address.h"
#include "transport/platform.h"

namespace tes::test {

using Bytes = std::vector<uint8_t>;

// Time-outs grow under slow runs (sanitizers, wine): TESSARA_TEST_TIMEOUT_SCALE.
inline int64_t Scaled(int64_t ms) {
    const char* scale = std::getenv("TESSARA_TEST_TIMEOUT_SCALE");
    const int64_t factor = scale != nullptr ? std::atoll(scale) : 1;
    return ms * (factor > 0 ? factor : 1);
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

inline Bytes Encode(uint16_t command, uint16_t id, const Bytes& data = {}) {
    Bytes out(data.size() + 7);
    out[0] = static_cast<uint8_t>(data.size() + 5);
    out[1] = static_cast<uint8_t>((data.size() + 5) >> 8);
    out[2] = static_cast<uint8_t>(command);
    out[3] = static_cast<uint8_t>(command >> 8);
    out[4] = static_cast<uint8_t>(id);
    out[5] = static_cast<uint8_t>(id >> 8);
    uint8_t sum = out[2] ^ out[3] ^ out[4] ^ out[5];
    for (size_t i = 0; i < data.size(); ++i) {
        out[6 + i] = data[i];
        sum ^= data[i];
    }
    out.back() = sum;
    return out;
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
        return whole.size() < 7 ? Bytes() : Bytes(whole.begin() + 6, whole.end() - 1);
    }
    int h = -1;
};

}  // namespace tes::test
