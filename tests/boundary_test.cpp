// Values at the edges of the interface's limits, every output of a call
// compared in full: command word matching, keep-alive with one direction
// silent, frame flags and time stamps through the queue, the CANopen
// getters with entries waiting, text buffers around their exact size and
// the largest analog blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "test_support.h"

using namespace tes::test;
using tes::sim::MakeConfirmation;
using tes::sim::Request;

namespace {

constexpr int kNoConfirmation = 0xB0000;
constexpr int kInvalidParameter = 0x920000;
constexpr char kSentinel = 0x5A;

Bytes U32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}
Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
Bytes Counting(size_t n, uint8_t from = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
    return b;
}
// A time stamp whose seconds do not fit a signed 32-bit value: the raw
// value is handed out, not converted.
constexpr uint32_t kStampSeconds = 0x80000001u;
constexpr uint32_t kStampMicros = 999999;
Bytes Stamp() {
    return Join({U32(kStampSeconds), U32(kStampMicros)});
}

class Boundary : public CommandTest {
protected:
    void Push(uint16_t command, const Bytes& payload) {
        ASSERT_TRUE(oGateway.SendTelegram(0, command, 0, payload));
    }
    void Queueing() { ASSERT_EQ(CANSetMaxSizePerQueue(h, 16), 0); }
};

// A confirmation belongs to its request only if the whole command word
// matches: the same code with another device type is not it.
TEST_F(Boundary, ConfirmationMustMatchTheWholeCommandWord) {
    struct Case {
        uint16_t nAnswerWord;  // without the confirmation flag
        int nResult;
    };
    const Case cases[] = {
        {0x0223, 0},                // the request's own word
        {0x0323, kNoConfirmation},  // device type 3
        {0x0023, kNoConfirmation},  // device type 0
        {0x7F23, kNoConfirmation},  // every device-type bit set
        {0x0222, kNoConfirmation},  // right device type, neighbouring code
    };
    for (const Case& c : cases) {
        oGateway.Script(0x0223, [&](const Request& r) {
            return std::optional<Bytes>(MakeConfirmation(c.nAnswerWord, r.nTelegramId, 0));
        });
        EXPECT_EQ(CANSetPowerRelais(h, 1), c.nResult) << std::hex << c.nAnswerWord;
    }
}

// The keep-alive sends its request when either direction has been quiet for
// three quarters of the period, and a link whose gateway answers stays up.
class AliveOneWay : public Boundary, public ::testing::WithParamInterface<bool> {};

TEST_P(AliveOneWay, RequestsGoOutAndTheLinkStays) {
    const bool clientStreams = GetParam();
    // The gateway confirms nothing but the alive requests.
    oGateway.Script(0x0203, [](const Request&) { return std::nullopt; });
    const Bytes frame = Join({U32(0x123), {0x00}, Counting(8)});
    ASSERT_EQ(CANStartAlive(h, 1), 0);
    ASSERT_TRUE(oGateway.WaitForCommand(0x020D, Scaled(2000)).has_value());
    const size_t first = oGateway.CountCommand(0x020D);
    // Four periods of one-way traffic: a request each three quarters of a
    // period, so at least three more than the first.
    const int64_t end = tes::sys::MonotonicMs() + Scaled(4000);
    while (tes::sys::MonotonicMs() < end && oGateway.CountCommand(0x020D) < first + 3) {
        if (clientStreams) {
            ASSERT_EQ(CANWrite(h, 0x123, reinterpret_cast<const char*>(frame.data() + 5), 8, 0), 0);
        } else {
            ASSERT_TRUE(oGateway.SendTelegram(0, 0x0203, 0, frame));
        }
        ASSERT_EQ(CANDeviceConnectState(h), 3);
        tes::sys::SleepMs(25);
    }
    EXPECT_GE(oGateway.CountCommand(0x020D), first + 3);
    EXPECT_EQ(CANDeviceConnectState(h), 3);
    EXPECT_TRUE(oGateway.Connection(0)->bOpen);
    ASSERT_EQ(CANStartAlive(h, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(Directions, AliveOneWay, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "ClientSendsGatewaySilent"
                                                           : "GatewaySendsClientSilent");
                         });

// CANGetMessage: every output, flags as a signed byte, the time stamp found
// behind any data length (none included).
TEST_F(Boundary, GetMessageOutputsAtTheEdges) {
    struct Case {
        uint32_t nId;
        uint8_t nFlags;
        size_t nLength;
        int nFlagsOut;
    };
    const Case cases[] = {
        {0x123, 0x80, 3, -128},      {0x7FF, 0xFF, 3, -1},       // stamp bit in 0xFF
        {0x001, 0x84, 0, -124},      {0x000, 0x04, 0, 4},        // zero-length, stamped
        {0x1FFFFFFF, 0x7F, 64, 127}, {0x1FFFFFFF, 0x01, 64, 1},  // longest frames
        {0x10, 0x00, 0, 0},
    };
    Queueing();
    for (const Case& c : cases) {
        const bool stamped = (c.nFlags & 0x04) != 0;
        const Bytes data = Counting(c.nLength, 0x80);
        Push(0x0203, Join({U32(c.nId), {c.nFlags}, data, stamped ? Stamp() : Bytes()}));
        int available = -2, id = 0, flags = 0, seconds = 7, micros = 7;
        unsigned char length = 0xEE;
        char buffer[65];
        std::memset(buffer, kSentinel, sizeof buffer);
        ASSERT_TRUE(WaitUntil(
            [&] {
                CANGetMessage(h, &available, &id, buffer, &length, &flags, &seconds, &micros);
                return available >= 0;
            },
            Scaled(3000)))
            << std::hex << c.nFlags;
        EXPECT_EQ(available, 0);
        EXPECT_EQ(static_cast<uint32_t>(id), c.nId);
        EXPECT_EQ(flags, c.nFlagsOut);
        EXPECT_EQ(length, c.nLength);
        EXPECT_EQ(Bytes(buffer, buffer + c.nLength), data);
        EXPECT_EQ(buffer[c.nLength], kSentinel) << "written past the data";
        EXPECT_EQ(static_cast<uint32_t>(seconds), stamped ? kStampSeconds : 0u);
        EXPECT_EQ(static_cast<uint32_t>(micros), stamped ? kStampMicros : 0u);
    }
    // Empty: available -1, nothing else written.
    int available = 5, id = 11, flags = 11, seconds = 11, micros = 11;
    unsigned char length = 11;
    char buffer[64];
    std::memset(buffer, kSentinel, sizeof buffer);
    EXPECT_EQ(CANGetMessage(h, &available, &id, buffer, &length, &flags, &seconds, &micros), 0);
    EXPECT_EQ(available, -1);
    EXPECT_EQ(id + flags + seconds + micros + length, 55);
    EXPECT_EQ(buffer[0], kSentinel);
}

// The CANopen getters with entries waiting: every output of each, the count
// still queued, and the empty queue that leaves the outputs alone.
TEST_F(Boundary, CanopenGettersWriteEveryOutput) {
    Queueing();
    Push(0x0267, Join({{0x7F, 0x08, 0x08}, Counting(8)}));
    Push(0x0267, Join({{0x01, 0x05, 12}, Counting(12, 0x40)}));  // cut to 8 for the getter
    Push(0x0264, {0xFF});
    Push(0x0266, {0x05, 0x10, 0x81, 0x11, 0x01, 0x02, 0x03, 0x04, 0x05});
    Push(0x026C, {0x7F, 0x85});
    Push(0x026D, Join({U32(0x7E5), {0x04}, {0xA1, 0xA2}, Stamp()}));
    Push(0x026D, Join({U32(0x12345678), {0x00}, Counting(9)}));  // cut to 8
    Push(0x026D, Join({U32(0x001), {0x04}, Stamp()}));           // no data, stamped

    int available = -2;
    unsigned char node = 0, type = 0, length = 0;
    char data[9];
    const auto fresh = [&] {
        available = -2;
        node = type = length = 0;
        std::memset(data, kSentinel, sizeof data);
    };
    // A frame sent last: once it is queued, everything before it is too.
    Push(0x0203, Join({U32(0x55), {0x00}}));
    ASSERT_TRUE(WaitUntil(
        [&] {
            int n = -2;
            CANGetMessage(h, &n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
            return n >= 0;
        },
        Scaled(3000)));

    unsigned char sync = 0;
    ASSERT_EQ(CANopenGetSYNC(h, &available, &sync), 0);
    EXPECT_EQ(available, 0);
    EXPECT_EQ(sync, 0xFF);
    sync = 0x21;
    ASSERT_EQ(CANopenGetSYNC(h, &available, &sync), 0);
    EXPECT_EQ(available, -1);
    EXPECT_EQ(sync, 0x21);

    fresh();
    ASSERT_EQ(CANopenGetPDO(h, &available, &node, &type, &length, data), 0);
    EXPECT_EQ(available, 1);
    EXPECT_EQ(node, 0x7F);
    EXPECT_EQ(type, 8);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(Bytes(data, data + 8), Counting(8));
    EXPECT_EQ(data[8], kSentinel);
    fresh();
    ASSERT_EQ(CANopenGetPDO(h, &available, &node, &type, &length, data), 0);
    EXPECT_EQ(available, 0);
    EXPECT_EQ(node, 1);
    EXPECT_EQ(type, 5);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(Bytes(data, data + 8), Counting(8, 0x40));
    EXPECT_EQ(data[8], kSentinel);
    fresh();
    ASSERT_EQ(CANopenGetPDO(h, &available, &node, &type, &length, data), 0);
    EXPECT_EQ(available, -1);
    EXPECT_EQ(node + type + length, 0);
    EXPECT_EQ(data[0], kSentinel);

    {
        unsigned short code = 0;
        unsigned char reg = 0;
        fresh();
        ASSERT_EQ(CANopenGetEMCY(h, &available, &node, &code, &reg, data), 0);
        EXPECT_EQ(available, 0);
        EXPECT_EQ(node, 5);
        EXPECT_EQ(code, 0x8110);
        EXPECT_EQ(reg, 0x11);
        EXPECT_EQ(Bytes(data, data + 5), (Bytes{1, 2, 3, 4, 5}));
        EXPECT_EQ(data[5], kSentinel);
    }
    unsigned short code = 0x1234;
    unsigned char reg = 0x12, state = 0x12;
    fresh();
    node = 0x12;
    EXPECT_EQ(CANopenGetEMCY(h, &available, &node, &code, &reg, data), 0);
    EXPECT_EQ(available, -1);
    EXPECT_EQ(code, 0x1234);
    EXPECT_EQ(reg + node, 0x24);
    EXPECT_EQ(data[0], kSentinel);

    available = -2;
    ASSERT_EQ(CANopenGetGUARD(h, &available, &node, &state), 0);
    EXPECT_EQ(available, 0);
    EXPECT_EQ(node, 0x7F);
    EXPECT_EQ(state, 0x85);
    node = state = 0x33;
    EXPECT_EQ(CANopenGetGUARD(h, &available, &node, &state), 0);
    EXPECT_EQ(available, -1);
    EXPECT_EQ(node + state, 0x66);

    struct Undefined {
        int nLeft;
        uint32_t nId;
        Bytes oData;
        bool bStamped;
    };
    const Undefined expected[] = {
        {2, 0x7E5, {0xA1, 0xA2}, true},
        {1, 0x12345678, Counting(8), false},
        {0, 0x001, {}, true},
    };
    for (const Undefined& e : expected) {
        int id = 0, seconds = 7, micros = 7;
        unsigned char b0 = 0, b1 = 0;
        available = -2;
        fresh();
        ASSERT_EQ(
            CANopenGetUndefined(h, &available, &id, &b0, &b1, &length, data, &seconds, &micros), 0);
        EXPECT_EQ(available, e.nLeft);
        EXPECT_EQ(static_cast<uint32_t>(id), e.nId);
        EXPECT_EQ(b0, static_cast<uint8_t>(e.nId));
        EXPECT_EQ(b1, static_cast<uint8_t>(e.nId >> 8));
        EXPECT_EQ(length, e.oData.size());
        EXPECT_EQ(Bytes(data, data + e.oData.size()), e.oData);
        EXPECT_EQ(data[e.oData.size()], kSentinel);
        EXPECT_EQ(static_cast<uint32_t>(seconds), e.bStamped ? kStampSeconds : 0u);
        EXPECT_EQ(static_cast<uint32_t>(micros), e.bStamped ? kStampMicros : 0u);
    }
}

// Text outputs with a buffer of exactly the text and its terminator, one
// byte less and one byte more: the count returned includes the terminator,
// and nothing is written past the size given.
TEST(TextBuffers, ExactShorterAndLonger) {
    struct Text {
        const char* sName;
        std::string sWhole;
        std::function<int(char*, int)> fCall;
    };
    const Text texts[] = {
        {"DLLInfo", "Tessara CAN DLL V1.11-2.13", [](char* b, int n) { return DLLInfo(b, n); }},
        {"CANErrorMessage", "no error", [](char* b, int n) { return CANErrorMessage(0, b, n); }},
        {"CANErrorMessage", "Tessara command failed",
         [](char* b, int n) { return CANErrorMessage(0x2FF, b, n); }},
    };
    for (const Text& t : texts) {
        const int exact = static_cast<int>(t.sWhole.size()) + 1;
        for (int size : {exact - 1, exact, exact + 1}) {
            char buffer[64];
            std::memset(buffer, kSentinel, sizeof buffer);
            const int n = t.fCall(buffer, size);
            const int kept = std::min(size, exact);
            EXPECT_EQ(n, kept) << t.sName << " size " << size;
            EXPECT_EQ(std::string(buffer), t.sWhole.substr(0, kept - 1)) << t.sName << size;
            for (int i = kept; i < static_cast<int>(sizeof buffer); ++i) {
                ASSERT_EQ(buffer[i], kSentinel) << t.sName << " size " << size << " byte " << i;
            }
        }
    }
}

// The largest analog block a telegram holds: 16381 values in a reply
// (result byte and first word take 5 of the 65530 data bytes), 16382 in a
// request; one value more cannot be sent.
TEST_F(Boundary, LargestAnalogBlocks) {
    constexpr size_t kMostRead = 16381;
    Bytes payload = U32(0xCAFE);
    for (size_t i = 0; i < kMostRead; ++i) {
        const Bytes v = U32(static_cast<uint32_t>(i * 3 + 1));
        payload.insert(payload.end(), v.begin(), v.end());
    }
    payload.push_back(0xEE);  // one byte short of another value: the data part is full
    Reply(0x0242, 0, payload);
    std::vector<int> values(kMostRead + 1, -7);
    for (size_t capacity : {kMostRead, kMostRead - 1}) {
        std::fill(values.begin(), values.end(), -7);
        int first = 0;
        unsigned short count = static_cast<unsigned short>(capacity);
        ASSERT_EQ(CANReadAnalog(h, &first, values.data(), &count), 0);
        EXPECT_EQ(count, kMostRead);
        EXPECT_EQ(first, 0xCAFE);
        EXPECT_EQ(values[capacity - 1], static_cast<int>((capacity - 1) * 3 + 1));
        EXPECT_EQ(values[capacity], -7) << "written past the capacity";
    }

    constexpr int kMostWritten = 16382;
    std::vector<int> out(kMostWritten + 1);
    for (int i = 0; i <= kMostWritten; ++i) out[i] = -i;
    Reply(0x0243, 0, {});  // the simulated device has fewer outputs
    ASSERT_EQ(CANWriteAnalog(h, out.data(), kMostWritten), 0);
    const Bytes sent = Sent(0x0243);
    ASSERT_EQ(sent.size(), 4u * kMostWritten);
    EXPECT_EQ(Bytes(sent.end() - 4, sent.end()), U32(static_cast<uint32_t>(-(kMostWritten - 1))));
    const size_t requests = oGateway.CountCommand(0x0243);
    EXPECT_EQ(CANWriteAnalog(h, out.data(), kMostWritten + 1), kInvalidParameter);
    EXPECT_EQ(oGateway.CountCommand(0x0243), requests) << "an over-long request went out";
}

}  // namespace
