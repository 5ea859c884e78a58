// CAN port commands byte for byte: the request each export sends, and how
// each reply is unpacked, including short and inconsistent replies.
#include <gtest/gtest.h>

#include <functional>

#include "test_support.h"

using namespace tes::test;
using tes::sim::MakeConfirmation;
using tes::sim::Request;

namespace {

class CanCommands : public CommandTest {};

TEST_F(CanCommands, RequestsCarryTheCallersValues) {
    ASSERT_EQ(CANSetGlobals(h, 500000, 0x100, 0, 7, -1), 0);
    // Mode narrowed to its low byte, booleans to 0/1.
    EXPECT_EQ(Sent(0x0207), (Bytes{0x00, 0x20, 0xA1, 0x07, 0x00, 0x00, 0x01, 0x01}));
    // 0x105 goes out as mode 5, which this gateway refuses.
    EXPECT_EQ(CANSetGlobals(h, 500000, 0x105, 0, 1, 0), 0x2FF);
    EXPECT_EQ(Sent(0x0207)[0], 0x05);

    int table[16];
    for (int i = 0; i < 16; ++i) table[i] = 0x01020300 + i;
    ASSERT_EQ(CANSetFilter(h, table), 0);
    const Bytes filter = Sent(0x0220);
    ASSERT_EQ(filter.size(), 64u);
    EXPECT_EQ(Bytes(filter.begin() + 60, filter.end()), (Bytes{0x0F, 0x03, 0x02, 0x01}));

    ASSERT_EQ(CANSetTime(h, 1700000000, 123456), 0);
    EXPECT_EQ(Sent(0x020B), (Bytes{0x00, 0xF1, 0x53, 0x65, 0x40, 0xE2, 0x01, 0x00}));
    ASSERT_EQ(CANSetPowerRelais(h, 42), 0);
    EXPECT_EQ(Sent(0x0223), (Bytes{0x01}));
    ASSERT_EQ(CANSetActivePowerSupplies(h, 0x12345678), 0);
    EXPECT_EQ(Sent(0x0224), (Bytes{0x78, 0x56, 0x34, 0x12}));
}

TEST_F(CanCommands, WriteLengthIsItsLowByte) {
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    const char* p = reinterpret_cast<const char*>(data.data());
    ASSERT_EQ(CANWrite(h, 0x12345678, p, 0, 0x01), 0);
    ASSERT_EQ(CANWrite(h, 0x12345678, p, 300, 0x101), 0);
    ASSERT_TRUE(oGateway.WaitFor([&] { return oGateway.CountCommand(0x0203) == 2; }, 2000));
    const Bytes none = oGateway.WaitForCommand(0x0203, 0, 0)->Data();
    const Bytes cut = oGateway.WaitForCommand(0x0203, 0, 1)->Data();
    EXPECT_EQ(none, (Bytes{0x78, 0x56, 0x34, 0x12, 0x01}));
    ASSERT_EQ(cut.size(), 5u + 44u);
    EXPECT_EQ(cut[4], 0x01);
    EXPECT_EQ(Bytes(cut.begin() + 5, cut.end()), Bytes(data.begin(), data.begin() + 44));
}

TEST_F(CanCommands, WriteWithoutConfirmationStampsFromTheLocalClock) {
    int seconds = 0, micros = -1;
    int64_t utc = 0;
    int32_t utcMicros = 0;
    tes::sys::NowUtc(&utc, &utcMicros);
    ASSERT_EQ(CANWriteEx(h, 1, "x", 1, 0, &seconds, &micros), 0);
    // Seconds since 1970 on the local wall clock: UTC plus the zone offset.
    const int64_t expected = utc + 3600 * tes::sys::CurrentTimeZoneHours();
    EXPECT_NEAR(static_cast<double>(seconds), static_cast<double>(expected), 2.0);
    EXPECT_GE(micros, 0);
    EXPECT_LT(micros, 1000000);
    // A broken link still stamps the frame, and reports the send error.
    oGateway.DropAll();
    ASSERT_TRUE(WaitUntil([&] { return CANDeviceConnectState(h) == 1; }, 2000));
    seconds = 0;
    EXPECT_EQ(CANWriteEx(h, 1, "x", 1, 0, &seconds, &micros), 0x30000);
    EXPECT_NEAR(static_cast<double>(seconds), static_cast<double>(expected), 5.0);
}

TEST_F(CanCommands, ConfirmedWriteTakesTheGatewaysStamp) {
    const int c = Open(0, 2000, 1, true);
    oGateway.Script(0x0203, [](const Request& r) {
        return std::optional<Bytes>(MakeConfirmation(r, 0, {0x10, 0, 0, 0, 0x20, 0, 0, 0}));
    });
    int seconds = 0, micros = 0;
    EXPECT_EQ(CANWriteEx(c, 0x100, "ab", 2, 0, &seconds, &micros), 0);
    EXPECT_EQ(seconds, 0x10);
    EXPECT_EQ(micros, 0x20);
    // Stamp written even with a device error; too short a reply writes none.
    oGateway.Script(0x0203, [](const Request& r) {
        return std::optional<Bytes>(MakeConfirmation(r, 0x21, {1, 0, 0, 0, 2, 0, 0, 0}));
    });
    EXPECT_EQ(CANWriteEx(c, 0x100, "ab", 2, 0, &seconds, &micros), 0x221);
    EXPECT_EQ(seconds, 1);
    oGateway.Script(0x0203, [](const Request& r) {
        return std::optional<Bytes>(MakeConfirmation(r, 0, {9, 0, 0, 0, 9, 0, 0}));
    });
    EXPECT_EQ(CANWriteEx(c, 0x100, "ab", 2, 0, &seconds, &micros), 0);
    EXPECT_EQ(seconds, 1);
}

TEST_F(CanCommands, GetGlobalsUnpacking) {
    int baud = -1, term = -1, hs = -1, ts = -1;
    unsigned char mode = 0xEE;
    Reply(0x0208, 0, {0x03, 0x20, 0xA1, 0x07, 0x00});  // exactly 6 bytes with the result byte
    ASSERT_EQ(CANGetGlobals(h, &baud, &mode, &term, &hs, &ts), 0);
    EXPECT_EQ(mode, 0x03);
    EXPECT_EQ(baud, 500000);
    EXPECT_EQ(term, 0);
    EXPECT_EQ(hs, 0);
    EXPECT_EQ(ts, 0);
    Reply(0x0208, 0, {0x01, 0x10, 0x27, 0x00, 0x00, 0x02, 0x01, 0x01, 0x55});
    ASSERT_EQ(CANGetGlobals(h, &baud, &mode, &term, &hs, &ts), 0);
    EXPECT_EQ(term, 0);  // only exactly 1 is true
    EXPECT_EQ(hs, 1);
    EXPECT_EQ(ts, 1);
    // A short reply: baud and flags reported 0, the mode left alone.
    Reply(0x0208, 0, {0x07});
    ASSERT_EQ(CANGetGlobals(h, &baud, &mode, &term, &hs, &ts), 0);
    EXPECT_EQ(baud, 0);
    EXPECT_EQ(hs, 0);
    EXPECT_EQ(mode, 0x01);
}

TEST_F(CanCommands, GetFilterNeedsAllSixteenWords) {
    int table[16];
    for (int& w : table) w = 7;
    Reply(0x0221, 0, Bytes(63, 0xAA));  // 64 bytes with the result byte: too short
    ASSERT_EQ(CANGetFilter(h, table), 0);
    EXPECT_EQ(table[0], 7);
    Bytes full(64);
    for (int k = 0; k < 16; ++k) full[4 * k] = static_cast<uint8_t>(k + 1);
    Reply(0x0221, 0, full);
    ASSERT_EQ(CANGetFilter(h, table), 0);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(table[k], k + 1);
}

TEST_F(CanCommands, GetTimeAndItsInvalidHandleOutputs) {
    Reply(0x020E, 0, {0x02, 0x10, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00});
    int flag = -1, seconds = -1, micros = -1;
    ASSERT_EQ(CANGetTime(h, &flag, &seconds, &micros), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(seconds, 16);
    EXPECT_EQ(micros, 32);
    flag = seconds = micros = -1;
    EXPECT_EQ(CANGetTime(999999, &flag, &seconds, &micros), 0x900000);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(seconds, 0);
    EXPECT_EQ(micros, 0);
}

TEST_F(CanCommands, PowerStatusListsKeepTheirPositions) {
    // Five values, two A flags, three B flags.
    Bytes p{5, 2, 3, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0xFF};
    for (uint8_t v = 1; v <= 5; ++v) p.insert(p.end(), {v, 0x10});
    p.insert(p.end(), {0x01, 0x02, 0x03, 0x00, 0x01});
    Reply(0x0222, 0, p);
    unsigned char nValues = 0, nA = 0, nB = 0;
    unsigned short w1 = 0, w2 = 0, w3 = 0, values[8] = {};
    int flag = -1, flagsA[4] = {9, 9, 9, 9}, flagsB[3] = {9, 9, 9};
    ASSERT_EQ(CANGetPowerStatus(h, 3, &nValues, 4, &nA, 3, &nB, &w1, &w2, &w3, &flag, values,
                                flagsA, flagsB),
              0);
    EXPECT_EQ(nValues, 5);
    EXPECT_EQ(nA, 2);
    EXPECT_EQ(nB, 3);
    EXPECT_EQ(w3, 3);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(values[2], 0x1003);
    EXPECT_EQ(values[3], 0);  // beyond the capacity of 3
    // A flags start at offset 21 whatever the value capacity was.
    EXPECT_EQ(flagsA[0], 1);
    EXPECT_EQ(flagsA[1], 0);
    EXPECT_EQ(flagsA[2], 0);  // the whole capacity is written, 0 past the count
    EXPECT_EQ(flagsB[0], 1);
    EXPECT_EQ(flagsB[1], 0);
    EXPECT_EQ(flagsB[2], 1);
    // Null outputs are skipped.
    EXPECT_EQ(CANGetPowerStatus(h, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr),
              0);
}

TEST_F(CanCommands, PowerStatusAnnouncingMoreThanItHoldsIsRejected) {
    Reply(0x0222, 0, {200, 200, 200, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x22});
    unsigned char nValues = 0;
    unsigned short values[255] = {};
    int flagsA[255];
    EXPECT_EQ(CANGetPowerStatus(h, 255, &nValues, 255, nullptr, 0, nullptr, nullptr, nullptr,
                                nullptr, nullptr, values, flagsA, nullptr),
              0xC0200);
    EXPECT_EQ(nValues, 200);
    EXPECT_EQ(values[0], 0x2211);  // what was there is still delivered
    EXPECT_EQ(values[1], 0);
}

}  // namespace
