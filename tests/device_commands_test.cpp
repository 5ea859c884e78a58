// Device commands byte for byte: INFO, STATUS, digital and analog I/O, and
// their interface rules for records, texts and counts.
#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

using namespace tes::test;
using tes::sim::MakeConfirmation;
using tes::sim::Request;

namespace {

class DeviceCommands : public CommandTest {};

TEST_F(DeviceCommands, ReadDigitalWorkedExample) {
    // SET_CONFIG took id 2; two writes take 3 and 4, so the read goes out with id 5.
    ASSERT_EQ(CANWriteDigital(h, 0x12345678), 0);
    EXPECT_EQ(oGateway.WaitForCommand(0x0241, 1000)->Data(), (Bytes{0x78, 0x56, 0x34, 0x12}));
    ASSERT_EQ(CANWriteDigital(h, 0), 0);
    oGateway.Script(0x0240, [](const Request&) {
        return std::optional<Bytes>(Bytes{0x0E, 0x00, 0x40, 0x82, 0x05, 0x00, 0x00, 0x0F, 0x00,
                                          0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0xCB});
    });
    int first = 0, second = 0;
    ASSERT_EQ(CANReadDigital(h, &first, &second), 0);
    EXPECT_EQ(LastSent(0x0240), (Bytes{0x05, 0x00, 0x40, 0x02, 0x05, 0x00, 0x47}));
    EXPECT_EQ(first, 15);
    EXPECT_EQ(second, 3);
    // A device error still delivers the words when they are there; a short
    // reply delivers none.
    Reply(0x0240, 0x20, {1, 0, 0, 0, 2, 0, 0, 0});
    EXPECT_EQ(CANReadDigital(h, &first, &second), 0x220);
    EXPECT_EQ(first, 1);
    Reply(0x0240, 0x00, {9, 0, 0, 0});
    EXPECT_EQ(CANReadDigital(h, &first, &second), 0);
    EXPECT_EQ(first, 1);
}

TEST_F(DeviceCommands, InfoCopiesAtMostTwentyBytes) {
    Bytes reply(23);
    for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(0xA0 + i);
    Reply(0x0209, 0, reply);  // 24 data bytes with the result byte
    uint8_t record[24];
    std::memset(record, 0xEE, sizeof record);
    ASSERT_EQ(DeviceInfo(h, record), 0);
    EXPECT_EQ(Bytes(record, record + 20), Bytes(reply.begin(), reply.begin() + 20));
    EXPECT_EQ(record[20], 0xEE);  // nothing past the record

    Reply(0x0209, 0, Bytes(10, 0x11));  // 11 data bytes
    ASSERT_EQ(DeviceInfo(h, record), 0);
    EXPECT_EQ(Bytes(record, record + 10), Bytes(10, 0x11));
    for (int i = 10; i < 20; ++i) EXPECT_EQ(record[i], i == 18 ? 2 : 0) << i;

    EXPECT_EQ(DeviceInfo(h, nullptr), 0x920000);
    std::memset(record, 0xEE, sizeof record);
    EXPECT_EQ(DeviceInfo(999999, record), 0x900000);
    EXPECT_EQ(Bytes(record, record + 20), Bytes(20, 0));
}

TEST_F(DeviceCommands, StatusTextRules) {
    char buffer[8];
    Reply(0x020A, 0, {0x4F, 0x4B});
    EXPECT_EQ(DeviceStatus(h, buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "OK");
    Reply(0x020A, 0, {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'});
    EXPECT_EQ(DeviceStatus(h, buffer, sizeof buffer), 8);
    EXPECT_STREQ(buffer, "abcdefg");
    Reply(0x020A, 0, {});  // only the result byte: empty text
    EXPECT_EQ(DeviceStatus(h, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "");
    // A failed request zero-fills the whole buffer first.
    std::memset(buffer, 'x', sizeof buffer);
    Reply(0x020A, 0x05, {'n', 'o'});
    EXPECT_EQ(DeviceStatus(h, buffer, sizeof buffer), 1);
    EXPECT_EQ(Bytes(buffer, buffer + 8), Bytes(8, 0));
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(DeviceStatus(999999, buffer, sizeof buffer), 1);
    EXPECT_EQ(buffer[0], 'x');
}

TEST_F(DeviceCommands, ReadAnalogCountsAndCapacity) {
    // Result, first word, three values: 17 data bytes.
    Reply(0x0242, 0, {0x07, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0});
    int first = 0, values[4] = {-1, -1, -1, -1};
    unsigned short count = 2;
    ASSERT_EQ(CANReadAnalog(h, &first, values, &count), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(first, 7);
    EXPECT_EQ(values[1], 2);
    EXPECT_EQ(values[2], -1);
    count = 0;
    first = 0;
    ASSERT_EQ(CANReadAnalog(h, &first, values, &count), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(first, 7);
    // Seven data bytes: first word, no values.
    Reply(0x0242, 0, {0x09, 0, 0, 0, 0xAA, 0xBB});
    count = 4;
    ASSERT_EQ(CANReadAnalog(h, &first, values, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(first, 9);
    // A device error reports count 0 and leaves the first word.
    Reply(0x0242, 0x21, {0x01, 0, 0, 0});
    count = 4;
    EXPECT_EQ(CANReadAnalog(h, &first, values, &count), 0x221);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(first, 9);
}

TEST_F(DeviceCommands, WriteAnalogUsesTheLowSixteenBitsOfTheCount) {
    const int values[3] = {0x01020304, -1, 5};
    ASSERT_EQ(CANWriteAnalog(h, values, 0x00010002), 0);
    EXPECT_EQ(oGateway.WaitForCommand(0x0243, 1000)->Data(),
              (Bytes{0x04, 0x03, 0x02, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_EQ(CANWriteAnalog(h, values, 0), 0);
    EXPECT_TRUE(oGateway.WaitForCommand(0x0243, 1000, 1)->Data().empty());
}

}  // namespace
