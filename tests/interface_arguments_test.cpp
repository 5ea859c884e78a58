// The C interface's checks of its arguments: handles that are not open,
// pointers that must be given, and output pointers that may be null.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"
#include "wire/commands.h"

using namespace tes::test;

namespace {

constexpr int kInvalidHandle = 0x900000;
constexpr int kInvalidParameter = 0x920000;
constexpr unsigned char kUntouched = 0x5A;

// Every output of a call points into one block, so that "nothing written"
// is one comparison.
struct Outputs {
    int nInts[20];
    unsigned short nShorts[20];
    unsigned char cBytes[8];
    char sText[64];

    Outputs() { std::memset(this, kUntouched, sizeof *this); }
    bool Untouched() const {
        const auto* p = reinterpret_cast<const unsigned char*>(this);
        for (size_t i = 0; i < sizeof *this; ++i) {
            if (p[i] != kUntouched) return false;
        }
        return true;
    }
};

struct HandleCall {
    const char* sName;
    int nExpected;
    std::function<int(int, Outputs&)> fCall;
};

const int kTable[16] = {};
const int kValues[2] = {1, 2};

const std::vector<HandleCall>& CallsOnAHandle() {
    using O = Outputs;
    static const std::vector<HandleCall> calls = {
        {"CANDeviceConnectState", kInvalidHandle,
         [](int h, O&) { return CANDeviceConnectState(h); }},
        {"CANCloseDevice", kInvalidHandle, [](int h, O&) { return CANCloseDevice(h); }},
        {"CANStartAlive", kInvalidHandle, [](int h, O&) { return CANStartAlive(h, 5); }},
        {"CANSetGlobals", kInvalidHandle,
         [](int h, O&) { return CANSetGlobals(h, 500000, 0, 1, 1, 0); }},
        {"CANGetGlobals", kInvalidHandle,
         [](int h, O& o) {
             return CANGetGlobals(h, &o.nInts[0], &o.cBytes[0], &o.nInts[1], &o.nInts[2],
                                  &o.nInts[3]);
         }},
        {"CANSetFilter", kInvalidHandle, [](int h, O&) { return CANSetFilter(h, kTable); }},
        {"CANGetFilter", kInvalidHandle, [](int h, O& o) { return CANGetFilter(h, o.nInts); }},
        {"CANSetTime", kInvalidHandle, [](int h, O&) { return CANSetTime(h, 1, 2); }},
        {"CANGetPowerStatus", kInvalidHandle,
         [](int h, O& o) {
             return CANGetPowerStatus(h, 2, &o.cBytes[0], 2, &o.cBytes[1], 2, &o.cBytes[2],
                                      &o.nShorts[0], &o.nShorts[1], &o.nShorts[2], &o.nInts[0],
                                      &o.nShorts[4], &o.nInts[4], &o.nInts[8]);
         }},
        {"CANSetPowerRelais", kInvalidHandle, [](int h, O&) { return CANSetPowerRelais(h, 1); }},
        {"CANSetActivePowerSupplies", kInvalidHandle,
         [](int h, O&) { return CANSetActivePowerSupplies(h, 3); }},
        {"CANWrite", kInvalidHandle, [](int h, O&) { return CANWrite(h, 0x123, "ab", 2, 0); }},
        {"CANWriteEx", kInvalidHandle,
         [](int h, O& o) { return CANWriteEx(h, 0x123, "ab", 2, 0, &o.nInts[0], &o.nInts[1]); }},
        {"CANSetCallback", kInvalidHandle, [](int h, O&) { return CANSetCallback(h, nullptr); }},
        {"CANSetCallbackEx", kInvalidHandle,
         [](int h, O&) { return CANSetCallbackEx(h, nullptr); }},
        {"CANSetMaxSizePerQueue", kInvalidHandle,
         [](int h, O&) { return CANSetMaxSizePerQueue(h, 5); }},
        {"CANGetMessage", kInvalidHandle,
         [](int h, O& o) {
             return CANGetMessage(h, &o.nInts[0], &o.nInts[1], o.sText, &o.cBytes[0], &o.nInts[2],
                                  &o.nInts[3], &o.nInts[4]);
         }},
        {"DeviceStatus", 1, [](int h, O& o) { return DeviceStatus(h, o.sText, sizeof o.sText); }},
        {"CANReadDigital", kInvalidHandle,
         [](int h, O& o) { return CANReadDigital(h, &o.nInts[0], &o.nInts[1]); }},
        {"CANWriteDigital", kInvalidHandle, [](int h, O&) { return CANWriteDigital(h, 1); }},
        {"CANReadAnalog", kInvalidHandle,
         [](int h, O& o) {
             o.nShorts[0] = 4;
             const int rc = CANReadAnalog(h, &o.nInts[0], &o.nInts[1], &o.nShorts[0]);
             o.nShorts[0] = 0x5A5A;
             return rc;
         }},
        {"CANWriteAnalog", kInvalidHandle, [](int h, O&) { return CANWriteAnalog(h, kValues, 2); }},
        {"CANopenSetCallback", kInvalidHandle,
         [](int h, O&) {
             return CANopenSetCallback(h, nullptr, nullptr, nullptr, nullptr, nullptr);
         }},
        {"CANopenSetConfig", kInvalidHandle, [](int h, O&) { return CANopenSetConfig(h, 1); }},
        {"CANopenGetConfig", kInvalidHandle,
         [](int h, O& o) { return CANopenGetConfig(h, &o.cBytes[0]); }},
        {"CANopenSetSYNCMode", kInvalidHandle, [](int h, O&) { return CANopenSetSYNCMode(h, 10); }},
        {"CANopenSendNMT", kInvalidHandle, [](int h, O&) { return CANopenSendNMT(h, 5, 1); }},
        {"CANopenSendSYNC", kInvalidHandle, [](int h, O&) { return CANopenSendSYNC(h); }},
        {"CANopenSendTIME", kInvalidHandle, [](int h, O&) { return CANopenSendTIME(h, 1, 2); }},
        {"CANopenSendPDO", kInvalidHandle,
         [](int h, O&) { return CANopenSendPDO(h, 5, 1, 2, "ab"); }},
        {"CANopenSendSDORead", kInvalidHandle,
         [](int h, O& o) {
             return CANopenSendSDORead(h, 5, 0x1000, 0, 100, &o.cBytes[0], &o.nInts[0]);
         }},
        {"CANopenSendSDOWrite", kInvalidHandle,
         [](int h, O& o) {
             return CANopenSendSDOWrite(h, 5, 4, 0x1017, 0, 100, 1, &o.cBytes[0], &o.nInts[0]);
         }},
        {"CANopenSendSDOReadBlock", kInvalidHandle,
         [](int h, O& o) {
             return CANopenSendSDOReadBlock(h, 5, 0x1008, 0, 100, sizeof o.sText, &o.cBytes[0],
                                            &o.nInts[0], o.sText);
         }},
        {"CANopenSendSDOWriteBlock", kInvalidHandle,
         [](int h, O& o) {
             return CANopenSendSDOWriteBlock(h, 5, 0x2001, 0, 100, 2, "ab", &o.cBytes[0],
                                             &o.nInts[0]);
         }},
        {"CANopenGetPDO", kInvalidHandle,
         [](int h, O& o) {
             return CANopenGetPDO(h, &o.nInts[0], &o.cBytes[0], &o.cBytes[1], &o.cBytes[2],
                                  o.sText);
         }},
        {"CANopenGetSYNC", kInvalidHandle,
         [](int h, O& o) { return CANopenGetSYNC(h, &o.nInts[0], &o.cBytes[0]); }},
        {"CANopenGetEMCY", kInvalidHandle,
         [](int h, O& o) {
             return CANopenGetEMCY(h, &o.nInts[0], &o.cBytes[0], &o.nShorts[0], &o.cBytes[1],
                                   o.sText);
         }},
        {"CANopenGetGUARD", kInvalidHandle,
         [](int h, O& o) { return CANopenGetGUARD(h, &o.nInts[0], &o.cBytes[0], &o.cBytes[1]); }},
        {"CANopenGetUndefined", kInvalidHandle,
         [](int h, O& o) {
             return CANopenGetUndefined(h, &o.nInts[0], &o.nInts[1], &o.cBytes[0], &o.cBytes[1],
                                        &o.cBytes[2], o.sText, &o.nInts[2], &o.nInts[3]);
         }},
    };
    return calls;
}

class InterfaceArguments : public GatewayTest {};

// A handle never issued, a negative one and one closed already: every call
// reports 0x900000 (DeviceStatus: 1), writes none of its outputs and sends
// nothing.
TEST_F(InterfaceArguments, HandlesNotOpenAreRefusedAndNothingIsWritten) {
    int closed = -1;
    ASSERT_EQ(CANOpenDevice(&closed, 0, 0, 0, sAddress.c_str(), static_cast<int>(Scaled(2000))), 0);
    ASSERT_EQ(CANCloseDevice(closed), 0);
    ASSERT_TRUE(WaitUntil([&] { return oGateway.OpenConnectionCount() == 0; }, Scaled(2000)));
    const size_t telegrams = oGateway.Log().size();
    for (const int handle : {closed, -1, 0x7FFFFFFF}) {
        for (const HandleCall& call : CallsOnAHandle()) {
            Outputs outputs;
            EXPECT_EQ(call.fCall(handle, outputs), call.nExpected)
                << call.sName << " on handle " << handle;
            EXPECT_TRUE(outputs.Untouched()) << call.sName << " on handle " << handle;
        }
        // These two write their outputs whatever happens.
        int flag = 7, seconds = 7, micros = 7;
        EXPECT_EQ(CANGetTime(handle, &flag, &seconds, &micros), kInvalidHandle);
        EXPECT_EQ(flag | seconds | micros, 0);
        unsigned char record[20];
        std::memset(record, 0xFF, sizeof record);
        EXPECT_EQ(DeviceInfo(handle, record), kInvalidHandle);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(record), sizeof record),
                  std::string(sizeof record, '\0'));
    }
    EXPECT_EQ(oGateway.Log().size(), telegrams);
}

// Pointers a call cannot do without: 0x920000 and nothing goes to the
// gateway. A length or count whose used bits are 0 needs no data.
TEST_F(InterfaceArguments, RequiredPointersAreChecked) {
    const int h = Open();
    int handle = 77;
    EXPECT_EQ(CANOpenDevice(nullptr, 0, 0, 0, sAddress.c_str(), 500), kInvalidParameter);
    EXPECT_EQ(CANOpenDevice(&handle, 0, 0, 0, nullptr, 500), kInvalidParameter);
    EXPECT_EQ(CANOpenDeviceEx(nullptr, 0, 0, 0, sAddress.c_str(), 500, 1), kInvalidParameter);
    EXPECT_EQ(CANOpenDeviceEx(&handle, 0, 0, 0, nullptr, 500, 1), kInvalidParameter);
    EXPECT_EQ(handle, 77);
    EXPECT_EQ(CANRestart(nullptr, 500), kInvalidParameter);
    EXPECT_EQ(oGateway.ConnectionCount(), 1u);  // only the test's own handle

    const size_t telegrams = oGateway.Log().size();
    unsigned char reply = 0;
    int value = 0;
    EXPECT_EQ(CANSetFilter(h, nullptr), kInvalidParameter);
    EXPECT_EQ(CANGetFilter(h, nullptr), kInvalidParameter);
    EXPECT_EQ(CANWrite(h, 0x123, nullptr, 1, 0), kInvalidParameter);
    EXPECT_EQ(CANWriteEx(h, 0x123, nullptr, 8, 0, nullptr, nullptr), kInvalidParameter);
    EXPECT_EQ(CANWriteAnalog(h, nullptr, 1), kInvalidParameter);
    EXPECT_EQ(CANopenSendPDO(h, 5, 1, 1, nullptr), kInvalidParameter);
    EXPECT_EQ(CANopenSendSDOWriteBlock(h, 5, 0x2001, 0, 100, 1, nullptr, &reply, &value),
              kInvalidParameter);
    EXPECT_EQ(DeviceInfo(h, nullptr), kInvalidParameter);
    EXPECT_EQ(DeviceStatus(h, nullptr, 10), 0);
    char text[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(DeviceStatus(h, text, 0), 0);
    EXPECT_EQ(text[0], 'x');
    EXPECT_EQ(oGateway.Log().size(), telegrams);

    // Length 256 is 0 in its low 8 bits, count 0x10000 in its low 16.
    EXPECT_EQ(CANWrite(h, 0x123, nullptr, 256, 0), 0);
    const auto frame = oGateway.WaitForCommand(tes::wire::kCmdWrite, Scaled(2000));
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->Data(), (Bytes{0x23, 0x01, 0, 0, 0}));
    EXPECT_EQ(CANWriteAnalog(h, nullptr, 0x10000), 0);
    // Not in CANopen mode, the gateway refuses these, but they went out.
    EXPECT_NE(CANopenSendPDO(h, 5, 1, 256, nullptr), kInvalidParameter);
    const auto pdo = oGateway.WaitForCommand(tes::wire::kCmdCanopenPdo, Scaled(2000));
    ASSERT_TRUE(pdo.has_value());
    EXPECT_EQ(pdo->Data(), (Bytes{5, 1}));
    EXPECT_NE(CANopenSendSDOWriteBlock(h, 5, 0x2001, 0, 100, 0x10000, nullptr, &reply, &value),
              kInvalidParameter);
    const auto block = oGateway.WaitForCommand(tes::wire::kCmdCanopenSdoWriteBlock, Scaled(2000));
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->Data(), (Bytes{5, 0x01, 0x20, 0, 100, 0}));
}

// Null outputs are skipped: each call still does its work and reports its
// result; a queue getter without outputs still takes its entry.
TEST_F(InterfaceArguments, NullOutputsAreSkipped) {
    ASSERT_TRUE(oGateway.AddNode(5));
    const int h = Open();
    ASSERT_EQ(CANopenSetConfig(h, 1), 0);
    EXPECT_EQ(CANGetGlobals(h, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(CANGetTime(h, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(CANGetPowerStatus(h, 4, nullptr, 4, nullptr, 4, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr),
              0);
    EXPECT_EQ(CANReadDigital(h, nullptr, nullptr), 0);
    EXPECT_EQ(CANReadAnalog(h, nullptr, nullptr, nullptr), 0);
    unsigned short count = 3;
    EXPECT_EQ(CANReadAnalog(h, nullptr, nullptr, &count), 0);  // no values: capacity 0
    EXPECT_EQ(CANopenGetConfig(h, nullptr), 0);
    EXPECT_EQ(CANWriteEx(h, 0x123, "a", 1, 0, nullptr, nullptr), 0);
    EXPECT_EQ(CANopenSendSDORead(h, 5, 0x1018, 1, 500, nullptr, nullptr), 0);
    // A heartbeat time of 0: a beating node would add guard indications to
    // the queue that the checks below count.
    EXPECT_EQ(CANopenSendSDOWrite(h, 5, 2, 0x1017, 0, 500, 0, nullptr, nullptr), 0);
    // Without a buffer the block read copies nothing.
    int length = -1;
    unsigned char reply = 0;
    EXPECT_EQ(CANopenSendSDOReadBlock(h, 5, 0x1008, 0, 500, 64, &reply, &length, nullptr), 0);
    EXPECT_EQ(reply, 0xC1);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(CANopenSendSDOReadBlock(h, 5, 0x1008, 0, 500, 64, nullptr, nullptr,
                                      std::vector<char>(64).data()),
              0);
    EXPECT_EQ(CANopenSendSDOWriteBlock(h, 5, 0x2001, 0, 500, 2, "ab", nullptr, nullptr), 0);

    ASSERT_EQ(CANSetMaxSizePerQueue(h, 4), 0);
    struct Entry {
        uint16_t nCommand;
        Bytes oPayload;
        std::function<int(int*)> fTake;  // with all outputs but `available` null
    };
    const Entry entries[] = {
        {0x0203,
         {0x23, 0x01, 0, 0, 0, 0xAA},
         [&](int* a) {
             return CANGetMessage(h, a, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
         }},
        {0x0267,
         {5, 1, 1, 0xAA},
         [&](int* a) { return CANopenGetPDO(h, a, nullptr, nullptr, nullptr, nullptr); }},
        {0x0264, {7}, [&](int* a) { return CANopenGetSYNC(h, a, nullptr); }},
        {0x0266,
         {5, 0x10, 0x81, 0x01, 1, 2, 3, 4, 5},
         [&](int* a) { return CANopenGetEMCY(h, a, nullptr, nullptr, nullptr, nullptr); }},
        {0x026C, {5, 0x05}, [&](int* a) { return CANopenGetGUARD(h, a, nullptr, nullptr); }},
        {0x026D,
         {0x81, 0x07, 0, 0, 0, 1, 2},
         [&](int* a) {
             return CANopenGetUndefined(h, a, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                        nullptr);
         }},
    };
    for (const Entry& e : entries) {
        // Two entries, the second followed by a request: both are queued
        // once the request has returned.
        ASSERT_TRUE(oGateway.SendTelegram(0, e.nCommand, 0, e.oPayload));
        ASSERT_TRUE(oGateway.SendTelegram(0, e.nCommand, 0, e.oPayload));
        ASSERT_EQ(CANReadDigital(h, nullptr, nullptr), 0);
        EXPECT_EQ(e.fTake(nullptr), 0) << std::hex << e.nCommand;
        int available = -2;
        EXPECT_EQ(e.fTake(&available), 0);
        EXPECT_EQ(available, 0) << std::hex << e.nCommand << ": the first entry was not taken";
        EXPECT_EQ(e.fTake(&available), 0);
        EXPECT_EQ(available, -1) << std::hex << e.nCommand;
    }
}

}  // namespace
