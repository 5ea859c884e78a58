// CANopen requests byte for byte and the unpacking of their replies.
#include <gtest/gtest.h>

#include "test_support.h"

using namespace tes::test;
using tes::sim::MakeConfirmation;
using tes::sim::Request;

namespace {

class CanopenCommands : public CommandTest {};

TEST_F(CanopenCommands, RequestLayouts) {
    for (uint16_t c = 0x0260; c <= 0x026B; ++c) Reply(c, 0, {0, 0});
    ASSERT_EQ(CANopenSetConfig(h, 0x101), 0);
    EXPECT_EQ(Sent(0x0260), (Bytes{0x01}));
    ASSERT_EQ(CANopenSetSYNCMode(h, 0x12345), 0);
    EXPECT_EQ(Sent(0x0262), (Bytes{0x45, 0x23}));
    ASSERT_EQ(CANopenSendNMT(h, 0x105, 0x81), 0);
    EXPECT_EQ(Sent(0x0263), (Bytes{0x05, 0x81}));
    ASSERT_EQ(CANopenSendSYNC(h), 0);
    EXPECT_EQ(Sent(0x0264), Bytes{});
    ASSERT_EQ(CANopenSendTIME(h, 0x1234, 0x0A0B0C0D), 0);
    EXPECT_EQ(Sent(0x0265), (Bytes{0x34, 0x12, 0x0D, 0x0C, 0x0B, 0x0A}));
    const char pdo[260] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_EQ(CANopenSendPDO(h, 3, 1, 9, pdo), 0);
    EXPECT_EQ(Sent(0x0267), (Bytes{3, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    ASSERT_EQ(CANopenSendPDO(h, 3, 1, 260, pdo), 0);
    EXPECT_EQ(Sent(0x0267), (Bytes{3, 1, 1, 2, 3, 4}));  // 260 mod 256

    unsigned char reply = 0;
    int value = 0;
    ASSERT_EQ(CANopenSendSDORead(h, 5, 0x1017, 2, 0xFFFF, &reply, &value), 0);
    EXPECT_EQ(Sent(0x0268), (Bytes{5, 0x17, 0x10, 2, 0xFF, 0xFF}));
    ASSERT_EQ(CANopenSendSDOWrite(h, 5, 0x23, 0x2000, 1, 100, 0x11223344, &reply, &value), 0);
    EXPECT_EQ(Sent(0x0269), (Bytes{5, 0x23, 0x00, 0x20, 1, 100, 0, 0x44, 0x33, 0x22, 0x11}));
    char block[64];
    int length = 0;
    ASSERT_EQ(CANopenSendSDOReadBlock(h, 5, 0x1008, 0, 300, 64, &reply, &length, block), 0);
    EXPECT_EQ(Sent(0x026A), (Bytes{5, 0x08, 0x10, 0, 0x2C, 0x01}));
    ASSERT_EQ(CANopenSendSDOWriteBlock(h, 5, 0x2001, 0, 300, 3, "abc", &reply, &value), 0);
    EXPECT_EQ(Sent(0x026B), (Bytes{5, 0x01, 0x20, 0, 0x2C, 0x01, 'a', 'b', 'c'}));
}

TEST_F(CanopenCommands, SdoValuesAreUnsignedLittleEndian) {
    struct Case {
        Bytes payload;
        unsigned char reply;
        unsigned value;
    };
    const Case cases[] = {
        {{0x05, 0x34, 0x12}, 5, 0x1234},
        {{0x00, 0xFF, 0x00, 0x00, 0x00}, 0, 255},
        {{0x00, 0x00, 0x80}, 0, 0x8000},
        {{0x00, 0xFF, 0xFF, 0xFF, 0xFF}, 0, 0xFFFFFFFFu},
        {{0x07, 0x01, 0x02, 0x03, 0x04, 0x05}, 7, 0x04030201},  // bytes past four ignored
    };
    for (const Case& c : cases) {
        Reply(0x0268, 0, c.payload);
        unsigned char reply = 0xEE;
        int value = 0x5A5A;
        ASSERT_EQ(CANopenSendSDORead(h, 1, 0x1000, 0, 500, &reply, &value), 0);
        EXPECT_EQ(reply, c.reply);
        EXPECT_EQ(static_cast<unsigned>(value), c.value);
    }
    Reply(0x0269, 0, {0x60});  // reply byte without value
    unsigned char reply = 0;
    int value = 0x5A5A;
    ASSERT_EQ(CANopenSendSDOWrite(h, 1, 0, 0x1017, 0, 500, 1000, &reply, &value), 0);
    EXPECT_EQ(reply, 0x60);
    EXPECT_EQ(value, 0);
}

TEST_F(CanopenCommands, ReadBlockIsCutToTheBuffer) {
    Reply(0x026A, 0, {0x42, 1, 2, 3, 4, 5, 6, 7, 8});  // 10 data bytes
    char buffer[8] = {};
    unsigned char reply = 0;
    int length = -1;
    ASSERT_EQ(CANopenSendSDOReadBlock(h, 5, 0x1008, 0, 500, 4, &reply, &length, buffer), 0);
    EXPECT_EQ(reply, 0x42);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{1, 2, 3, 4, 0}));
    Reply(0x026A, 0, {0x42});  // 2 data bytes: empty block
    ASSERT_EQ(CANopenSendSDOReadBlock(h, 5, 0x1008, 0, 500, 4, &reply, &length, buffer), 0);
    EXPECT_EQ(length, 0);
}

TEST_F(CanopenCommands, ConfigAndResultBytes) {
    Reply(0x0261, 0, {});
    unsigned char mode = 0xEE;
    ASSERT_EQ(CANopenGetConfig(h, &mode), 0);
    EXPECT_EQ(mode, 0);
    Reply(0x0261, 0, {0x01});
    ASSERT_EQ(CANopenGetConfig(h, &mode), 0);
    EXPECT_EQ(mode, 1);
    Reply(0x0263, 0xFE, {});
    EXPECT_EQ(CANopenSendNMT(h, 1, 1), 0x2FE);
    Reply(0x0268, 0xFC, {});
    unsigned char reply = 0;
    int value = 0;
    EXPECT_EQ(CANopenSendSDORead(h, 1, 0x1000, 0, 500, &reply, &value), 0x2FC);
}

TEST_F(CanopenCommands, SdoWaitIsTwiceItsTimeout) {
    oGateway.SetReplyDelay(static_cast<uint32_t>(Scaled(300)));
    Reply(0x0268, 0, {0x00, 0x01});
    unsigned char reply = 0;
    int value = 0;
    // 200 ms time-out: 400 ms wait, enough for a 300 ms delay; 100 ms is not.
    EXPECT_EQ(CANopenSendSDORead(h, 1, 0x1000, 0, static_cast<int>(Scaled(200)), &reply, &value),
              0);
    EXPECT_EQ(CANopenSendSDORead(h, 1, 0x1000, 0, static_cast<int>(Scaled(100)), &reply, &value),
              0x40000);
}

}  // namespace
