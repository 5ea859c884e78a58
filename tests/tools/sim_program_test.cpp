// tessara-sim as a program: each switch doing what it says, seen through the
// library (a refused connect, a dropped link, a delayed or missing
// confirmation, bridged ports, nodes, cyclic traffic), its log lines, and a
// clean stop on SIGINT and SIGTERM.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TessaraCan.h"
#include "library_wait.h"
#include "process.h"
#include "test_address.h"

namespace tes::test {
namespace {

int64_t T(int64_t ms) {
    return sim::TestTimeoutMs(ms);
}

class SimProgram : public ::testing::Test {
protected:
    void TearDown() override {
        for (int h : oHandles) CANCloseDevice(h);
        if (pSim) {
            pSim->Signal(SIGTERM);
            pSim->Wait(T(10000));
        }
    }

    // Starts tessara-sim on a loopback address of its own (TCP only unless
    // `udp`) and waits for its listening line; another address is tried
    // while the ports are taken. False when it would not start.
    bool Start(const std::vector<std::string>& switches, bool udp = false,
               const std::string& fixedAddress = "") {
        for (int attempt = 0; attempt < 8; ++attempt) {
            sAddress = fixedAddress.empty() ? sim::NextLoopbackAddress() : fixedAddress;
            std::vector<std::string> args = {"--bind", sAddress};
            if (!udp) args.push_back("--no-udp");
            args.insert(args.end(), switches.begin(), switches.end());
            pSim = std::make_unique<Process>();
            if (!pSim->Start(TargetCommand(TESSARA_SIM_PROGRAM, args))) return false;
            if (pSim->WaitForOut("tessara-sim: listening on", T(10000))) return true;
            pSim->Wait(T(10000));
            sStartError = pSim->Err();
            pSim.reset();
            if (sStartError.find("cannot bind") == std::string::npos || !fixedAddress.empty())
                return false;
        }
        return false;
    }

    // CANOpenDeviceEx against the simulator; the result, the handle in *handle.
    int OpenEx(int* handle, int canPort = 0, int timeoutMs = 2000, int transport = 1) {
        const int rc = CANOpenDeviceEx(handle, 0, 0, canPort, sAddress.c_str(),
                                       static_cast<int>(T(timeoutMs)), transport);
        if (rc == 0) oHandles.push_back(*handle);
        return rc;
    }
    int Open(int canPort = 0, int transport = 1) {
        int handle = -1;
        EXPECT_EQ(OpenEx(&handle, canPort, 2000, transport), 0);
        return handle;
    }
    void Close(int handle) {
        EXPECT_EQ(CANCloseDevice(handle), 0);
        oHandles.erase(std::remove(oHandles.begin(), oHandles.end(), handle), oHandles.end());
    }
    bool Printed(const std::string& text, int64_t timeoutMs = 5000) {
        return pSim->WaitForOut(text, T(timeoutMs));
    }

    std::unique_ptr<Process> pSim;
    std::string sAddress;
    std::string sStartError;
    std::vector<int> oHandles;
};

TEST(SimProgramLine, HelpNamesEverySwitch) {
    const RunResult r = RunProgram(TargetCommand(TESSARA_SIM_PROGRAM, {"--help"}), T(10000));
    EXPECT_EQ(r.nCode, 0);
    for (const char* s : {"--bind", "--ports", "--bridge", "--node", "--generate",
                          "--max-connections", "--drop-after", "--freeze-after", "--delay-ms",
                          "--silent", "--alive-ms", "--no-udp", "--quiet"})
        EXPECT_NE(r.sOut.find(s), std::string::npos) << s;
}

TEST(SimProgramLine, WrongSwitchesAreRefusedWithTheReason) {
    struct Case {
        std::vector<std::string> oArgs;
        int nCode;
        const char* sText;
    };
    const std::vector<Case> cases = {
        {{"--ports", "100"}, 2, "ports 0 to 99"},
        {{"--bridge", "0:0"}, 2, "two different CAN ports"},
        {{"--bridge", "0:1"}, 1, "bridge 0:1 needs two different served CAN ports"},
        {{"--generate", "1234:10"}, 2, "ID:RATE"},
        {{"--generate", "123:0"}, 2, "ID:RATE"},
        {{"--generate", "123:10:ABC"}, 2, "ID:RATE"},
        {{"--generate", "123:10@3"}, 2, "CAN port 3 is not served"},
        {{"--node", "0"}, 2, "node id 1-127"},
        {{"--node", "5@1"}, 2, "node 5 is on CAN port 1, which is not served"},
        {{"--drop-after", "0"}, 2, "number > 0"},
        {{"--freeze-after", "0"}, 2, "number > 0"},
        {{"--max-connections"}, 2, "needs a number"},
        {{"--frobnicate"}, 2, "unknown option"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--bind", sim::NextLoopbackAddress()};
        args.insert(args.end(), c.oArgs.begin(), c.oArgs.end());
        const RunResult r = RunProgram(TargetCommand(TESSARA_SIM_PROGRAM, args), T(10000));
        EXPECT_EQ(r.nCode, c.nCode) << c.oArgs[0];
        EXPECT_NE(r.sErr.find(c.sText), std::string::npos) << c.oArgs[0] << ": " << r.sErr;
    }
}

TEST_F(SimProgram, ServesEveryCanPortOverTcpAndUdp) {
    if (!Start({"--ports", "0-1"}, true)) {
        // A datagram endpoint on the wildcard address (another program's)
        // blocks every bind to the port.
        GTEST_SKIP() << "cannot serve UDP here: " << sStartError;
    }
    EXPECT_TRUE(Printed("listening on " + sAddress +
                        ": CAN 0 (tcp 5001, udp 5001) CAN 1 (tcp 5101, udp 5101)\n"));
    const int tcp = Open(1, 1);
    const int udp = Open(1, 2);
    EXPECT_EQ(CANDeviceConnectState(tcp), 3);
    EXPECT_EQ(CANDeviceConnectState(udp), 3);
    EXPECT_TRUE(Printed("opened: tcp, CAN port 1, client "));
    EXPECT_TRUE(Printed("opened: udp, CAN port 1, client "));
    // Both are linked to the same port's bus.
    ASSERT_EQ(CANSetMaxSizePerQueue(udp, 10), 0);
    ASSERT_EQ(CANWrite(tcp, 0x321, "\x01", 1, 0), 0);
    const std::optional<Frame> f = NextFrame(udp, T(2000));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->nId, 0x321);
}

TEST_F(SimProgram, ListensOnIpv6) {
    if (!Start({}, false, "::1")) GTEST_SKIP() << "no IPv6 loopback here: " << sStartError;
    const int h = Open();
    EXPECT_EQ(CANDeviceConnectState(h), 3);
    EXPECT_TRUE(Printed("opened: tcp, CAN port 0, client ::1"));
}

TEST_F(SimProgram, MaxConnectionsRefusesTheLinkBeyondTheLimit) {
    ASSERT_TRUE(Start({"--max-connections", "1"})) << sStartError;
    const int first = Open();
    int second = 0;
    EXPECT_EQ(OpenEx(&second), 0x1);
    EXPECT_EQ(second, -1);
    EXPECT_TRUE(Printed(
        "[1] refused CONNECT (id 1): result 0x01, maximum number of connections reached\n"));
    Close(first);
    ASSERT_TRUE(Printed("[0] closed\n"));
    EXPECT_EQ(OpenEx(&second), 0);
}

TEST_F(SimProgram, SilentLeavesTheConnectUnanswered) {
    ASSERT_TRUE(Start({"--silent"})) << sStartError;
    int h = 0;
    const int64_t start = NowMs();
    EXPECT_EQ(OpenEx(&h, 0, 300), 0x40000);  // the transport's time-out
    EXPECT_GE(NowMs() - start, T(300) - 10);
    EXPECT_EQ(h, -1);
    EXPECT_TRUE(Printed("[0] CONNECT left unanswered (--silent)\n"));
}

TEST_F(SimProgram, DropAfterBreaksTheLinkInTheMiddleOfARequest) {
    ASSERT_TRUE(Start({"--drop-after", "3"})) << sStartError;
    const int h = Open();  // CONNECT and SET_CONFIG are telegrams 1 and 2
    int baud = 0, termination = 0, highSpeed = 0, timestamps = 0;
    unsigned char mode = 0;
    EXPECT_EQ(CANGetGlobals(h, &baud, &mode, &termination, &highSpeed, &timestamps), 0x30000);
    EXPECT_TRUE(WaitUntil([&] { return CANDeviceConnectState(h) == 1; }, T(2000)));
    EXPECT_TRUE(Printed("[0] dropping the link at its telegram 3 (--drop-after)\n"));
    EXPECT_TRUE(Printed("[0] closed\n"));
    // The count is per connection: a new one serves again.
    const int again = Open();
    EXPECT_EQ(CANGetGlobals(again, &baud, &mode, &termination, &highSpeed, &timestamps), 0x30000);
}

TEST_F(SimProgram, DelayHoldsEveryConfirmation) {
    ASSERT_TRUE(Start({"--delay-ms", "300"})) << sStartError;
    int h = 0;
    int64_t start = NowMs();
    ASSERT_EQ(OpenEx(&h, 0, 3000), 0);
    EXPECT_GE(NowMs() - start, 600);  // CONNECT and SET_CONFIG both waited
    int baud = 0, termination = 0, highSpeed = 0, timestamps = 0;
    unsigned char mode = 0;
    start = NowMs();
    EXPECT_EQ(CANGetGlobals(h, &baud, &mode, &termination, &highSpeed, &timestamps), 0);
    EXPECT_GE(NowMs() - start, 300);
    EXPECT_EQ(baud, 500000);
    // A library that waits less sees a time-out.
    int impatient = 0;
    EXPECT_EQ(CANOpenDevice(&impatient, 0, 0, 0, sAddress.c_str(), 100), 0x40000);
}

TEST_F(SimProgram, AliveMsSendsKeepAliveRequestsTheLibraryConfirms) {
    ASSERT_TRUE(Start({"--alive-ms", "200"})) << sStartError;
    Open();
    EXPECT_TRUE(Printed("[0] 820D ALIVE confirmation id 0, 1 data bytes: 00\n"));
}

TEST_F(SimProgram, BridgeWiresTwoPortsToOneBus) {
    ASSERT_TRUE(Start({"--ports", "0-1", "--bridge", "0:1", "--quiet"})) << sStartError;
    EXPECT_TRUE(Printed("tessara-sim: CAN ports 0 and 1 share one bus\n"));
    const int p0 = Open(0);
    const int p1 = Open(1);
    ASSERT_EQ(CANSetMaxSizePerQueue(p0, 10), 0);
    ASSERT_EQ(CANSetMaxSizePerQueue(p1, 10), 0);
    ASSERT_EQ(CANWrite(p0, 0x100, "\xAA", 1, 0), 0);
    std::optional<Frame> f = NextFrame(p1, T(2000));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->nId, 0x100);
    EXPECT_EQ(f->oData, std::vector<uint8_t>{0xAA});
    ASSERT_EQ(CANWrite(p1, 0x1ABCDEF, "\xBB\xCC", 2, 1), 0);
    f = NextFrame(p0, T(2000));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->nId, 0x1ABCDEF);
    EXPECT_EQ(f->nFlags & 1, 1);
}

TEST_F(SimProgram, NodeOnAPortAnswersSdo) {
    ASSERT_TRUE(Start({"--ports", "0-1", "--node", "7@1", "--quiet"})) << sStartError;
    EXPECT_TRUE(Printed("tessara-sim: CANopen node 7 on CAN port 1\n"));
    const int h = Open(1);
    ASSERT_EQ(CANopenSetConfig(h, 1), 0);
    unsigned char reply = 0;
    int value = 0;
    ASSERT_EQ(CANopenSendSDORead(h, 7, 0x1018, 4, 500, &reply, &value), 0);
    EXPECT_EQ(reply, 0x43);
    EXPECT_EQ(value, 7);  // the identity's serial number is the node id
    // No node 7 on port 0.
    const int other = Open(0);
    ASSERT_EQ(CANopenSetConfig(other, 1), 0);
    EXPECT_EQ(CANopenSendSDORead(other, 7, 0x1018, 4, 500, &reply, &value), 0x2FD);
}

TEST_F(SimProgram, GenerateSendsCyclicFrames) {
    ASSERT_TRUE(Start({"--generate", "123:200:AABB", "--generate", "12345678:200", "--quiet"}))
        << sStartError;
    EXPECT_TRUE(Printed("tessara-sim: generating 123:200:AABB at 200 frames/s on CAN port 0\n"));
    const int h = Open();
    ASSERT_EQ(CANSetMaxSizePerQueue(h, 1000), 0);
    std::vector<Frame> standard, extended;
    while (standard.size() < 5 || extended.size() < 5) {
        const std::optional<Frame> f = NextFrame(h, T(3000));
        ASSERT_TRUE(f) << standard.size() << " and " << extended.size() << " frames";
        (f->nFlags & 1 ? extended : standard).push_back(*f);
    }
    for (const Frame& f : standard) {
        EXPECT_EQ(f.nId, 0x123);
        EXPECT_EQ(f.oData, (std::vector<uint8_t>{0xAA, 0xBB}));
    }
    // Without data, a 4-byte counter that counts every frame.
    for (size_t i = 0; i < extended.size(); ++i) {
        EXPECT_EQ(extended[i].nId, 0x12345678);
        ASSERT_EQ(extended[i].oData.size(), 4u);
        const uint32_t n = extended[i].oData[0] | extended[i].oData[1] << 8 |
                           extended[i].oData[2] << 16 |
                           static_cast<uint32_t>(extended[i].oData[3]) << 24;
        if (i > 0) {
            const uint32_t before = extended[i - 1].oData[0] | extended[i - 1].oData[1] << 8 |
                                    extended[i - 1].oData[2] << 16 |
                                    static_cast<uint32_t>(extended[i - 1].oData[3]) << 24;
            EXPECT_EQ(n, before + 1);
        }
    }
}

class SimProgramSignal : public SimProgram, public ::testing::WithParamInterface<int> {};

TEST_P(SimProgramSignal, StopsCleanlyAndClosesTheLinks) {
    ASSERT_TRUE(Start({"--quiet"})) << sStartError;
    const int h = Open();
    ASSERT_TRUE(Printed("[0] opened: tcp"));
    pSim->Signal(GetParam());
    EXPECT_EQ(pSim->Wait(T(10000)), 0);
    EXPECT_NE(pSim->Out().find("[0] closed\ntessara-sim: stopped\n"), std::string::npos)
        << pSim->Out();
    EXPECT_TRUE(WaitUntil([&] { return CANDeviceConnectState(h) == 1; }, T(2000)));
    pSim.reset();
}

INSTANTIATE_TEST_SUITE_P(Signals, SimProgramSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGINT ? "Sigint" : "Sigterm");
                         });

}  // namespace
}  // namespace tes::test
