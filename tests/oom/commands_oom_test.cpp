// Allocation failure in every command family of the C interface, and in the
// receive of a confirmation a waiting request needs: each failed run returns
// 0xFF (or the request's time-out), leaks nothing, and the same call on the
// same handle then works. Part of the allocation-failure program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>

#include "alloc_hook.h"
#include "api/handle_table.h"
#include "every_allocation.h"
#include "test_support.h"

using namespace tes::test;
using tes::oom::Scope;

namespace {

constexpr int kTimeout = 0x40000;

// Whether a call may allocate, on the caller's thread or on the receive
// thread for its confirmation. Streaming a frame without confirmation,
// taking an entry from a receive queue and setting what the handle delivers
// allocate nothing, so that they cannot fail for want of memory; their rows
// check that.
enum class Allocates { kSome, kNothing };

class CommandFamilies;

struct Command {
    using Call = std::function<int(int)>;
    using Prepare = std::function<void(CommandFamilies&, int)>;
    Command(const char* name, Allocates allocates, Call call, Prepare prepare = nullptr,
            bool confirmData = false)
        : sName(name),
          eAllocates(allocates),
          fCall(std::move(call)),
          fPrepare(std::move(prepare)),
          bConfirmData(confirmData) {}

    const char* sName;
    Allocates eAllocates;
    // The call on an open handle: 0 when it got what it asked for.
    Call fCall;
    // Unarmed, before each run: puts what the call needs in place.
    Prepare fPrepare;
    bool bConfirmData;
};

void PrintTo(const Command& c, std::ostream* os) {
    *os << c.sName;
}

class CommandFamilies : public GatewayTest, public ::testing::WithParamInterface<Command> {
protected:
    void SetUp() override {
        GatewayTest::SetUp();
        ASSERT_TRUE(oGateway.AddNode(5));
        // Short: a run that loses a confirmation ends at the time-out.
        h = Open(0, 300, 1, GetParam().bConfirmData);
        ASSERT_GE(h, 0);
        ASSERT_EQ(CANopenSetConfig(h, 1), 0);  // the gateway's CANopen manager answers
        ASSERT_EQ(CANSetMaxSizePerQueue(h, 16), 0);
        // The handle's receive thread counts with the caller.
        ASSERT_TRUE(tes::oom::MarkReceiveThread(h, oGateway, 0));
    }

public:
    // Sends an indication and makes sure it is queued: the gateway sends it
    // ahead of the reply to a request, which returns only once everything
    // that came before its confirmation is in its queue.
    void Queue(uint16_t command, const Bytes& payload) {
        ASSERT_TRUE(oGateway.SendTelegram(0, command, 0, payload));
        int first = 0, second = 0;
        ASSERT_EQ(CANReadDigital(h, &first, &second), 0);
    }
    int h = -1;
};

TEST_P(CommandFamilies, AtEveryAllocation) {
    const Command& c = GetParam();
    tes::CTessaraClientCANDll& client = *tes::LookupDeviceHandle(h)->pClient;
    uint64_t dropped = 0;
    int last = -1;
    const auto prepare = [&] {
        if (c.fPrepare) c.fPrepare(*this, h);
        dropped = client.Connection().DroppedTelegrams();
    };
    const auto call = [&] { return last = c.fCall(h); };
    if (c.eAllocates == Allocates::kNothing) {
        prepare();
        tes::oom::Arm(Scope::kCallerAndMarked, 0);
        const int rc = call();
        EXPECT_EQ(tes::oom::Disarm(), 0u) << c.sName << " allocates";
        EXPECT_EQ(rc, 0) << c.sName;
        return;
    }
    tes::oom::EveryAllocation(
        c.sName, 0, prepare, call,
        [&](uint64_t k) {
            if (k == 0) return;
            // A time-out means the confirmation was lost on the receive
            // thread: dropped and counted there.
            if (last == kTimeout) {
                EXPECT_EQ(client.Connection().DroppedTelegrams(), dropped + 1)
                    << c.sName << ": allocation " << k;
            }
            EXPECT_EQ(CANDeviceConnectState(h), 3) << c.sName << ": allocation " << k;
            prepare();
            EXPECT_EQ(call(), 0) << c.sName << " after allocation " << k;
        },
        {kTimeout}, Scope::kCallerAndMarked);
}

// Each call reports success (0) only when it got what it asked for.
int Ok(bool done) {
    return done ? 0 : 1;
}

const int kFilter[16] = {int(0x80000123u), 0x7FF};

INSTANTIATE_TEST_SUITE_P(
    Calls, CommandFamilies,
    ::testing::Values(
        // Port configuration and what the handle delivers
        Command{"SetGlobals", Allocates::kSome,
                [](int h) { return CANSetGlobals(h, 500000, 0, 1, 1, 0); }},
        Command{"GetGlobals", Allocates::kSome,
                [](int h) {
                    int baud = 0, term = 0, hs = 0, ts = 0;
                    unsigned char mode = 9;
                    const int rc = CANGetGlobals(h, &baud, &mode, &term, &hs, &ts);
                    return rc != 0 ? rc : Ok(baud != 0 && mode != 9);
                }},
        Command{"SetFilter", Allocates::kSome, [](int h) { return CANSetFilter(h, kFilter); }},
        Command{"GetFilter", Allocates::kSome,
                [](int h) {
                    int table[16] = {};
                    return CANGetFilter(h, table);
                }},
        Command{"SetMaxSizePerQueue", Allocates::kNothing,
                [](int h) { return CANSetMaxSizePerQueue(h, 32); }},
        Command{"SetCallback", Allocates::kNothing,
                [](int h) { return CANSetCallback(h, nullptr); }},
        Command{"SetCallbackEx", Allocates::kNothing,
                [](int h) { return CANSetCallbackEx(h, nullptr); }},
        Command{"CanopenSetCallback", Allocates::kNothing,
                [](int h) {
                    return CANopenSetCallback(h, nullptr, nullptr, nullptr, nullptr, nullptr);
                }},
        // Device information, I/O and power supplies
        Command{"DeviceInfo", Allocates::kSome,
                [](int h) {
                    unsigned char record[20];
                    const int rc = DeviceInfo(h, record);
                    return rc != 0 ? rc : Ok(record[18] == 2);
                }},
        Command{"DeviceStatus", Allocates::kSome,
                [](int h) {
                    char text[256];
                    const int n = DeviceStatus(h, text, sizeof text);
                    // The count of the text with its terminator; a failed
                    // request leaves the text empty, and 0xFF is a failure
                    // of its own.
                    if (n == 0xFF) return n;
                    if (n == 1 && text[0] == '\0') return kTimeout;
                    return Ok(n > 1 && std::strlen(text) + 1 == size_t(n));
                }},
        Command{"ReadDigital", Allocates::kSome,
                [](int h) {
                    int first = 0, second = 0;
                    return CANReadDigital(h, &first, &second);
                }},
        Command{"WriteDigital", Allocates::kSome, [](int h) { return CANWriteDigital(h, 0x5); }},
        Command{"ReadAnalog", Allocates::kSome,
                [](int h) {
                    int first = 0, values[16] = {};
                    unsigned short count = 16;
                    return CANReadAnalog(h, &first, values, &count);
                }},
        Command{"WriteAnalog", Allocates::kSome,
                [](int h) {
                    const int values[3] = {100, 200, 300};
                    return CANWriteAnalog(h, values, 3);
                }},
        Command{"GetPowerStatus", Allocates::kSome,
                [](int h) {
                    unsigned char nValues = 0, nA = 0, nB = 0;
                    unsigned short w1 = 0, w2 = 0, w3 = 0, values[8] = {};
                    int flag = 0, flagsA[8] = {}, flagsB[8] = {};
                    return CANGetPowerStatus(h, 8, &nValues, 8, &nA, 8, &nB, &w1, &w2, &w3, &flag,
                                             values, flagsA, flagsB);
                }},
        Command{"SetPowerRelais", Allocates::kSome, [](int h) { return CANSetPowerRelais(h, 1); }},
        Command{"SetActivePowerSupplies", Allocates::kSome,
                [](int h) { return CANSetActivePowerSupplies(h, 0x3); }},
        // Device clock
        Command{"SetTime", Allocates::kSome, [](int h) { return CANSetTime(h, 1700000000, 5); }},
        Command{"GetTime", Allocates::kSome,
                [](int h) {
                    int flag = 0, s = 0, us = 0;
                    return CANGetTime(h, &flag, &s, &us);
                }},
        // CANopen services
        Command{"CanopenSetConfig", Allocates::kSome, [](int h) { return CANopenSetConfig(h, 1); }},
        Command{"CanopenGetConfig", Allocates::kSome,
                [](int h) {
                    unsigned char mode = 0;
                    const int rc = CANopenGetConfig(h, &mode);
                    return rc != 0 ? rc : Ok(mode == 1);
                }},
        Command{"CanopenSetSyncMode", Allocates::kSome,
                [](int h) { return CANopenSetSYNCMode(h, 100); }},
        Command{"CanopenSendNmt", Allocates::kSome, [](int h) { return CANopenSendNMT(h, 5, 1); }},
        Command{"CanopenSendSync", Allocates::kSome, [](int h) { return CANopenSendSYNC(h); }},
        Command{"CanopenSendTime", Allocates::kSome,
                [](int h) { return CANopenSendTIME(h, 1000, 5000); }},
        Command{"CanopenSendPdo", Allocates::kSome,
                [](int h) { return CANopenSendPDO(h, 5, 1, 4, "\x01\x02\x03\x04"); }},
        Command{"CanopenSdoRead", Allocates::kSome,
                [](int h) {
                    unsigned char reply = 0;
                    int value = 0;
                    const int rc = CANopenSendSDORead(h, 5, 0x1018, 1, 500, &reply, &value);
                    // The vendor id of the gateway's simulated node.
                    return rc != 0 ? rc : Ok(value == 0x00000A5C);
                }},
        Command{"CanopenSdoWrite", Allocates::kSome,
                [](int h) {
                    unsigned char reply = 0;
                    int value = 0;
                    return CANopenSendSDOWrite(h, 5, 2, 0x1017, 0, 500, 1000, &reply, &value);
                }},
        Command{"CanopenSdoReadBlock", Allocates::kSome,
                [](int h) {
                    unsigned char reply = 0;
                    int length = 0;
                    char block[64];
                    const int rc =
                        CANopenSendSDOReadBlock(h, 5, 0x1008, 0, 500, 64, &reply, &length, block);
                    return rc != 0 ? rc : Ok(length > 0);
                }},
        Command{"CanopenSdoWriteBlock", Allocates::kSome,
                [](int h) {
                    unsigned char reply = 0;
                    int value = 0;
                    return CANopenSendSDOWriteBlock(h, 5, 0x2001, 0, 500, 3, "abc", &reply, &value);
                }},
        // Keep-alive
        Command{"StartAlive", Allocates::kSome, [](int h) { return CANStartAlive(h, 30); }},
        Command{"StopAlive", Allocates::kSome, [](int h) { return CANStartAlive(h, 0); },
                [](CommandFamilies&, int h) { ASSERT_EQ(CANStartAlive(h, 30), 0); }},
        // Frames: written with and without the gateway's confirmation
        Command{"Write", Allocates::kNothing,
                [](int h) { return CANWrite(h, 0x123, "\x11\x22", 2, 0); }},
        Command{"WriteConfirmed", Allocates::kSome,
                [](int h) {
                    int s = -1, us = -1;
                    const int rc = CANWriteEx(h, 0x123, "\x11\x22", 2, 0, &s, &us);
                    return rc != 0 ? rc : Ok(s >= 0 && us >= 0);
                },
                nullptr, true},
        // The queue getters, each with an entry waiting
        Command{"GetMessage", Allocates::kNothing,
                [](int h) {
                    int available = -2, id = 0, flags = 0, s = 0, us = 0;
                    char data[64];
                    unsigned char length = 0;
                    const int rc =
                        CANGetMessage(h, &available, &id, data, &length, &flags, &s, &us);
                    return rc != 0 ? rc : Ok(available == 0 && id == 0x123 && length == 2);
                },
                [](CommandFamilies& t, int) {
                    t.Queue(0x0203, {0x23, 0x01, 0, 0, 0, 0xA, 0xB});
                }},
        Command{"GetPdo", Allocates::kNothing,
                [](int h) {
                    int available = -2;
                    unsigned char node = 0, type = 0, length = 0;
                    char data[8];
                    const int rc = CANopenGetPDO(h, &available, &node, &type, &length, data);
                    return rc != 0 ? rc : Ok(available == 0 && node == 5 && length == 2);
                },
                [](CommandFamilies& t, int) {
                    t.Queue(0x0267, {5, 1, 2, 0xA, 0xB});
                }},
        Command{"GetSync", Allocates::kNothing,
                [](int h) {
                    int available = -2;
                    unsigned char value = 0;
                    const int rc = CANopenGetSYNC(h, &available, &value);
                    return rc != 0 ? rc : Ok(available == 0 && value == 7);
                },
                [](CommandFamilies& t, int) { t.Queue(0x0264, {7}); }},
        Command{"GetEmcy", Allocates::kNothing,
                [](int h) {
                    int available = -2;
                    unsigned char node = 0, reg = 0;
                    unsigned short code = 0;
                    char data[5];
                    const int rc = CANopenGetEMCY(h, &available, &node, &code, &reg, data);
                    return rc != 0 ? rc : Ok(available == 0 && node == 5 && code == 0x8110);
                },
                [](CommandFamilies& t, int) {
                    t.Queue(0x0266, {5, 0x10, 0x81, 0x01, 1, 2, 3, 4, 5});
                }},
        Command{"GetGuard", Allocates::kNothing,
                [](int h) {
                    int available = -2;
                    unsigned char node = 0, state = 0;
                    const int rc = CANopenGetGUARD(h, &available, &node, &state);
                    return rc != 0 ? rc : Ok(available == 0 && node == 5 && state == 5);
                },
                [](CommandFamilies& t, int) {
                    t.Queue(0x026C, {5, 0x05});
                }},
        Command{"GetUndefined", Allocates::kNothing,
                [](int h) {
                    int available = -2, id = 0, s = 0, us = 0;
                    unsigned char b0 = 0, b1 = 0, length = 0;
                    char data[8];
                    const int rc =
                        CANopenGetUndefined(h, &available, &id, &b0, &b1, &length, data, &s, &us);
                    return rc != 0 ? rc : Ok(available == 0 && length == 2);
                },
                [](CommandFamilies& t, int) {
                    t.Queue(0x026D, {0x81, 0x07, 0, 0, 0, 1, 2});
                }}),
    [](const ::testing::TestParamInfo<Command>& info) { return std::string(info.param.sName); });

// The receive thread runs out of memory while it takes the confirmation a
// request waits for: the request ends with 0xFF or its time-out, the link
// stays up, and the next request gets its confirmation.
class ConfirmationReceive : public GatewayTest {};

TEST_F(ConfirmationReceive, AtEveryAllocation) {
    constexpr uint16_t kWriteDigital = 0x0241;
    const int h = Open(0, 300);
    ASSERT_GE(h, 0);
    tes::CTessaraClientCANDll& client = *tes::LookupDeviceHandle(h)->pClient;
    // The gateway takes the request and leaves the answer to the test, so
    // that while the hook counts only the library allocates.
    std::atomic<int> requestId{-1};
    oGateway.Script(kWriteDigital, [&](const tes::sim::Request& r) {
        requestId.store(r.nTelegramId);
        return std::optional<Bytes>();
    });
    uint64_t k = 1;
    for (; k < tes::oom::kMostAllocations; ++k) {
        requestId.store(-1);
        std::atomic<int> rc{-1};
        std::thread requester([&] { rc.store(CANWriteDigital(h, 0x5)); });
        ASSERT_TRUE(WaitUntil([&] { return requestId.load() >= 0; }, Scaled(3000)));
        const uint64_t dropped = client.Connection().DroppedTelegrams();
        tes::oom::Arm(Scope::kOtherThreads, k);
        ASSERT_TRUE(oGateway.SendTelegram(0, kWriteDigital | 0x8000,
                                          static_cast<uint16_t>(requestId.load()), {0}));
        requester.join();
        tes::oom::Disarm();
        if (!tes::oom::Failed()) {
            EXPECT_EQ(rc.load(), 0) << "run " << k;
            break;
        }
        EXPECT_TRUE(rc.load() == tes::oom::kFailed || rc.load() == kTimeout)
            << "allocation " << k << " gave 0x" << std::hex << rc.load();
        if (rc.load() == kTimeout) {
            // Lost on the receive thread: dropped and counted.
            EXPECT_EQ(client.Connection().DroppedTelegrams(), dropped + 1) << "allocation " << k;
        }
        EXPECT_EQ(CANDeviceConnectState(h), 3) << "allocation " << k;
        if (HasFailure()) return;
    }
    EXPECT_GT(k, 1u) << "the confirmation's receive allocates nothing: the test proves nothing";
    EXPECT_LT(k, tes::oom::kMostAllocations);
    // Answered by the gateway again, the next request works.
    oGateway.Script(kWriteDigital, nullptr);
    EXPECT_EQ(CANWriteDigital(h, 0x6), 0);
}

}  // namespace
