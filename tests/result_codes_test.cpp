// Result messages and the text outputs of the interface.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "TessaraCan.h"
#include "api/result_codes.h"

namespace {

std::string Message(int code) {
    char buffer[200];
    const int n = CANErrorMessage(code, buffer, sizeof buffer);
    EXPECT_EQ(n, static_cast<int>(std::strlen(buffer)) + 1);
    return buffer;
}

TEST(ResultCodes, EveryRowHasAUniqueCodeAndAText) {
    std::set<int32_t> codes;
    ASSERT_EQ(tes::ResultTableSize(), 50u);
    for (size_t i = 0; i < tes::ResultTableSize(); ++i) {
        const int32_t code = tes::ResultTableCode(i);
        EXPECT_TRUE(codes.insert(code).second) << code;
        EXPECT_EQ(Message(code).rfind("Unknown error code: ", 0), std::string::npos) << code;
    }
}

TEST(ResultCodes, DeviceResultsFallBackToTheGenericRow) {
    EXPECT_EQ(Message(0x220), "CAN NACK (No Acknowledge)");
    EXPECT_EQ(Message(0x2FF), "Tessara command failed");
    EXPECT_EQ(Message(0x7FF), "Tessara command failed");
    EXPECT_EQ(Message(0xC0200), "Tessara TCP/IP telegram confirmation is invalid");
    EXPECT_EQ(Message(0xD20), Message(0xE20));
    EXPECT_EQ(Message(0x910000),
              "Device type invalid (handle is connected device type, which does not support "
              "called function");
}

TEST(ResultCodes, UnknownCodesShowTheReducedCodeInDecimal) {
    EXPECT_EQ(Message(0x2AB), "Unknown error code: 171");
    EXPECT_EQ(Message(0x7), "Unknown error code: 7");
    EXPECT_EQ(Message(0x12345), "Unknown error code: 65605");
    EXPECT_EQ(Message(-1), "Unknown error code: -65281");
}

TEST(ResultCodes, TextOutputsCutToTheBuffer) {
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(CANErrorMessage(0, buffer, 100 > 64 ? 64 : 100), 9);
    EXPECT_STREQ(buffer, "no error");
    EXPECT_EQ(CANErrorMessage(0, buffer, 5), 5);
    EXPECT_STREQ(buffer, "no e");

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(DLLInfo(buffer, 10), 10);
    EXPECT_STREQ(buffer, "Tessara C");
    EXPECT_EQ(DLLInfo(buffer, 27), 27);
    EXPECT_STREQ(buffer, "Tessara CAN DLL V1.11-2.13");
    EXPECT_EQ(DLLInfo(buffer, 64), 27);

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(DLLInfo(buffer, 0), 0);
    EXPECT_EQ(DLLInfo(buffer, -5), 0);
    EXPECT_EQ(DLLInfo(nullptr, 10), 0);
    EXPECT_EQ(CANErrorMessage(0, nullptr, 10), 0);
    EXPECT_EQ(CANErrorMessage(0, buffer, 1), 1);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x');
}

}  // namespace
