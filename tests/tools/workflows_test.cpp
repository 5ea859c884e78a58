// tessara-can's bus workflows: the wire length of frames against the CAN
// standard, the candump log reader, and sniff, busload, play and
// --reconnect run against the tessara-sim program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "busload.h"
#include "candump_log.h"
#include "process.h"
#include "test_address.h"

namespace tes::test {
namespace {

using tool::FrameWireBits;
using tool::LogFrame;
using tool::LogLine;
using tool::ParseCandumpLine;

int64_t T(int64_t ms) {
    return sim::TestTimeoutMs(ms);
}

// ---- wire length

TEST(WireBits, FrameLengthsAreTheStandardsFieldsAndStuffBits) {
    // Unstuffed lengths counted field by field from ISO 11898-1; worst-case
    // stuffing as in the classic response-time analysis (a standard frame
    // with 8 bytes is 135 bits at most, an extended one 160).
    struct Case {
        bool bExtended, bRemote;
        int nLength, nUnstuffed, nWorst;
    };
    const Case cases[] = {
        {false, false, 0, 47, 55}, {false, false, 1, 55, 65},    {false, false, 8, 111, 135},
        {true, false, 0, 67, 80},  {true, false, 8, 131, 160},   {false, true, 8, 47, 55},
        {true, true, 4, 67, 80},   {false, false, 64, 559, 695},
    };
    for (const Case& c : cases) {
        const tool::WireBits bits = FrameWireBits(c.bExtended, c.bRemote, c.nLength);
        SCOPED_TRACE(std::to_string(c.bExtended) + std::to_string(c.bRemote) + " " +
                     std::to_string(c.nLength));
        EXPECT_EQ(bits.nUnstuffed, c.nUnstuffed);
        EXPECT_EQ(bits.nWorstCase, c.nWorst);
        // Typical stuffing: one bit in 30 of SOF .. CRC (34 + 8n or 54 + 8n).
        const int stuffed = (c.bExtended ? 54 : 34) + (c.bRemote ? 0 : 8 * c.nLength);
        EXPECT_NEAR(bits.dTypical, c.nUnstuffed + stuffed / 30.0, 1e-9);
        EXPECT_LT(bits.dTypical, bits.nWorstCase);
    }
}

TEST(WireBits, LoadIsBitsOverBitRateTimesTime) {
    tool::LoadMeter meter;
    for (int i = 0; i < 100; ++i) meter.Add(false, false, 8);
    // 100 x 135 bits in 1 s at 125 kbit/s; in 2 s half of it.
    EXPECT_NEAR(meter.WorstCasePercent(125000, 1.0), 10.8, 1e-9);
    EXPECT_NEAR(meter.WorstCasePercent(125000, 2.0), 5.4, 1e-9);
    EXPECT_NEAR(meter.TypicalPercent(125000, 1.0), 100 * (111 + 98 / 30.0) / 1250.0, 1e-9);
    EXPECT_EQ(meter.WorstCasePercent(0, 1.0), 0);  // bit rate unknown
    EXPECT_EQ(meter.Frames(), 100);
}

// ---- the candump log reader

TEST(CandumpLog, ReadsWhatCanUtilsAndPythonCanWrite) {
    struct Case {
        const char* sLine;
        int64_t nTimeUs;
        const char* sInterface;
        uint32_t nId;
        bool bExtended, bRemote;
        int nRemoteLength;
        std::vector<uint8_t> oData;
    };
    const Case cases[] = {
        {"(1700000000.123456) can0 123#11223344",
         1700000000123456,
         "can0",
         0x123,
         false,
         false,
         0,
         {0x11, 0x22, 0x33, 0x44}},
        {"(0000000001.000001) vcan12 1ABCDEF0#", 1000001, "vcan12", 0x1ABCDEF0, true, false, 0, {}},
        {"(1.5) tessara3 7FF#R", 1500000, "tessara3", 0x7FF, false, true, 0, {}},
        {"(2.250000) can1 00000123#R8 R", 2250000, "can1", 0x123, true, true, 8, {}},
        {"(3.000000) can0 123#DE.AD.BE.EF T\r",
         3000000,
         "can0",
         0x123,
         false,
         false,
         0,
         {0xDE, 0xAD, 0xBE, 0xEF}},
        {"(4.1234567) can0 321##1000102030405060708090A0B",
         4123456,
         "can0",
         0x321,
         false,
         false,
         0,
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
    };
    for (const Case& c : cases) {
        LogFrame f;
        std::string reason;
        ASSERT_EQ(ParseCandumpLine(c.sLine, &f, &reason), LogLine::kFrame)
            << c.sLine << ": " << reason;
        EXPECT_EQ(f.nTimeUs, c.nTimeUs) << c.sLine;
        EXPECT_EQ(f.sInterface, c.sInterface) << c.sLine;
        EXPECT_EQ(f.nId, c.nId) << c.sLine;
        EXPECT_EQ(f.bExtended, c.bExtended) << c.sLine;
        EXPECT_EQ(f.bRemote, c.bRemote) << c.sLine;
        EXPECT_EQ(f.nRemoteLength, c.nRemoteLength) << c.sLine;
        EXPECT_EQ(f.oData, c.oData) << c.sLine;
        // What the tool writes reads back the same.
        LogFrame again;
        ASSERT_EQ(ParseCandumpLine(tool::FormatCandumpLine(f), &again, &reason), LogLine::kFrame);
        EXPECT_EQ(again.nTimeUs, f.nTimeUs);
        EXPECT_EQ(again.nId, f.nId);
        EXPECT_EQ(again.bExtended, f.bExtended);
        EXPECT_EQ(again.nRemoteLength, f.nRemoteLength);
        EXPECT_EQ(again.oData, f.oData);
    }
    LogFrame f;
    std::string reason;
    for (const char* ignored : {"", "   ", "# recorded on the bench", "  #comment", "\r"})
        EXPECT_EQ(ParseCandumpLine(ignored, &f, &reason), LogLine::kIgnored) << ignored;
}

TEST(CandumpLog, RefusesBrokenLinesWithAReason) {
    const std::string longest = "(1.0) can0 123##0" + std::string(2 * 255, 'A');
    LogFrame f;
    std::string reason;
    EXPECT_EQ(ParseCandumpLine(longest, &f, &reason), LogLine::kFrame);
    EXPECT_EQ(f.oData.size(), 255u);
    for (const std::string& line :
         std::vector<std::string>{"can0 123#11",  // no time stamp
                                  "(1.0) can0",   // no frame
                                  "(1.) can0 123#11", "(x.5) can0 123#11", "(1.0 can0 123#11",
                                  "(1.0) can0 1234#11",                    // 4 digits: neither kind
                                  "(1.0) can0 800#11",                     // above 0x7FF
                                  "(1.0) can0 20000080#0000000000000000",  // an error frame
                                  "(1.0) can0 12G#11", "(1.0) can0 123#112",  // odd digit count
                                  "(1.0) can0 123#R9", "(1.0) can0 123##", "(1.0) can0 123#11 X",
                                  "(1.0) can0 123", longest + "AA"}) {
        reason.clear();
        EXPECT_EQ(ParseCandumpLine(line, &f, &reason), LogLine::kBroken) << line;
        EXPECT_FALSE(reason.empty()) << line;
    }
}

// ---- the programs

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

class TempFile {
public:
    TempFile() {
        char name[] = "/tmp/tessara-workflow-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) ::close(fd);
        sPath = name;
    }
    ~TempFile() { std::remove(sPath.c_str()); }
    const std::string& Path() const { return sPath; }
    void Write(const std::string& text) const { std::ofstream(sPath, std::ios::binary) << text; }

private:
    std::string sPath;
};

// One frame of a dump, time stamp in microseconds.
struct Dumped {
    int64_t nTimeUs;
    LogFrame oFrame;
};

std::vector<Dumped> ParseDump(const std::string& text) {
    std::vector<Dumped> out;
    for (const std::string& line : Lines(text)) {
        LogFrame f;
        std::string reason;
        if (ParseCandumpLine(line, &f, &reason) == LogLine::kFrame) out.push_back({f.nTimeUs, f});
    }
    return out;
}

class Workflow : public ::testing::Test {
protected:
    void TearDown() override {
        if (pSim) {
            pSim->Signal(SIGTERM);
            pSim->Wait(T(10000));
        }
    }

    // tessara-sim on a loopback address of its own, TCP only, waited for.
    bool StartSim(const std::vector<std::string>& switches) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            sAddress = sim::NextLoopbackAddress();
            std::vector<std::string> args = {TESSARA_SIM_PROGRAM, "--bind", sAddress, "--no-udp",
                                             "--quiet"};
            args.insert(args.end(), switches.begin(), switches.end());
            pSim = std::make_unique<Process>();
            if (!pSim->Start(args)) return false;
            if (pSim->WaitForOut("tessara-sim: listening on", T(10000))) return true;
            pSim->Wait(T(10000));
            const bool taken = pSim->Err().find("cannot bind") != std::string::npos;
            pSim.reset();
            if (!taken) return false;
        }
        return false;
    }

    std::vector<std::string> Tool(const std::vector<std::string>& args) const {
        std::vector<std::string> all = {TESSARA_CAN_TOOL, "--host", sAddress};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    RunResult Run(const std::vector<std::string>& args, int64_t timeoutMs = 20000) const {
        return RunProgram(Tool(args), T(timeoutMs));
    }

    std::unique_ptr<Process> pSim;
    std::string sAddress;
};

TEST_F(Workflow, SniffOnceListsEachIdentifierWithCountAndPeriod) {
    ASSERT_TRUE(StartSim({"--generate", "123:50:DEADBEEF", "--generate", "18FEF100:10"}));
    const RunResult r = Run({"sniff", "--once", "2"});
    ASSERT_EQ(r.nCode, 0) << r.sErr;
    const std::vector<std::string> lines = Lines(r.sOut);
    ASSERT_EQ(lines.size(), 4u) << r.sOut;
    EXPECT_NE(lines[0].find("2 identifiers"), std::string::npos) << lines[0];
    EXPECT_EQ(Words(lines[1])[0], "ID");
    // Sorted by identifier, standard ones first; 2 s of 50 and 10 frames/s.
    struct Expected {
        const char* sId;
        double dCount, dPeriodMs;
        const char* sData;
    };
    const Expected expected[] = {{"123", 100, 20, "DE AD BE EF"}, {"18FEF100", 20, 100, nullptr}};
    for (size_t i = 0; i < 2; ++i) {
        const std::vector<std::string> w = Words(lines[2 + i]);
        ASSERT_GE(w.size(), 6u) << lines[2 + i];
        EXPECT_EQ(w[0], expected[i].sId);
        EXPECT_NEAR(std::stod(w[1]), expected[i].dCount, expected[i].dCount * 0.2) << lines[2 + i];
        EXPECT_NEAR(std::stod(w[2]), expected[i].dPeriodMs, expected[i].dPeriodMs * 0.1)
            << lines[2 + i];
        EXPECT_LT(std::stod(w[3]), expected[i].dPeriodMs / 2) << "jitter: " << lines[2 + i];
        if (expected[i].sData != nullptr) {
            EXPECT_NE(lines[2 + i].find(expected[i].sData), std::string::npos) << lines[2 + i];
        }
    }
    const RunResult filtered = Run({"sniff", "--once", "0.5", "--filter", "18FEF100:1FFFFFFF"});
    EXPECT_EQ(filtered.sOut.find("\n123 "), std::string::npos) << filtered.sOut;
    EXPECT_NE(filtered.sOut.find("\n18FEF100 "), std::string::npos) << filtered.sOut;
}

TEST_F(Workflow, BusloadOfACyclicPatternAtAKnownBitRate) {
    // 200 standard frames of 8 bytes a second at 125 kbit/s: 200 x 135 bits
    // is 21.6 % with worst-case stuffing, 200 x (111 + 98/30) bits 18.3 %
    // typical. The simulator's timer keeps the rate within a few percent.
    ASSERT_TRUE(StartSim({"--generate", "123:200:0011223344556677"}));
    const RunResult r =
        Run({"busload", "--bitrate", "125000", "--interval", "500", "--count", "4"});
    ASSERT_EQ(r.nCode, 0) << r.sErr;
    EXPECT_NE(r.sErr.find("at 125000 bit/s"), std::string::npos) << r.sErr;
    const std::vector<std::string> lines = Lines(r.sOut);
    ASSERT_EQ(lines.size(), 4u) << r.sOut;
    // The first interval may start between two frames; the others are whole.
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> w = Words(lines[i]);
        ASSERT_GE(w.size(), 7u) << lines[i];
        EXPECT_NEAR(std::stod(w[1]), 200, 200 * 0.08) << lines[i];
        EXPECT_NEAR(std::stod(w[4]), 21.6, 21.6 * 0.08) << lines[i];
        EXPECT_NEAR(std::stod(w[6].substr(1)), 18.3, 18.3 * 0.08) << lines[i];
    }
}

TEST_F(Workflow, DumpThenPlayIntoABridgedPortGivesTheSameFramesAndGaps) {
    // Port 0 carries the recording; ports 1 and 2 share a bus: what is
    // played into 1 is dumped from 2.
    ASSERT_TRUE(StartSim({"--ports", "0-2", "--bridge", "1:2", "--generate", "123:20", "--generate",
                          "1ABCDEF0:7:CAFE", "--generate", "456:13:"}));
    const RunResult recorded = Run({"dump", "--count", "40"});
    ASSERT_EQ(recorded.nCode, 0) << recorded.sErr;
    TempFile log;
    log.Write(recorded.sOut);

    Process replayDump;
    ASSERT_TRUE(replayDump.Start(Tool({"--port", "2", "dump", "--count", "40"})));
    ASSERT_TRUE(replayDump.WaitForErr("dumping CAN port 2", T(10000)));
    const RunResult played = Run({"--port", "1", "play", log.Path()});
    ASSERT_EQ(played.nCode, 0) << played.sErr;
    EXPECT_NE(played.sOut.find("played 40 frames"), std::string::npos) << played.sOut;
    EXPECT_NE(played.sOut.find("0 lines skipped"), std::string::npos) << played.sOut;
    ASSERT_EQ(replayDump.Wait(T(20000)), 0) << replayDump.Err();

    const std::vector<Dumped> a = ParseDump(recorded.sOut), b = ParseDump(replayDump.Out());
    ASSERT_EQ(a.size(), 40u);
    ASSERT_EQ(b.size(), 40u);
    int64_t worst = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(b[i].oFrame.nId, a[i].oFrame.nId) << i;
        EXPECT_EQ(b[i].oFrame.bExtended, a[i].oFrame.bExtended) << i;
        EXPECT_EQ(b[i].oFrame.oData, a[i].oFrame.oData) << i;
        EXPECT_EQ(b[i].oFrame.sInterface, "tessara2");
        if (i > 0) {
            const int64_t gapA = a[i].nTimeUs - a[i - 1].nTimeUs;
            const int64_t gapB = b[i].nTimeUs - b[i - 1].nTimeUs;
            worst = std::max(worst, std::abs(gapB - gapA));
        }
    }
    // Host reception times on both sides, so one descheduled reader on a busy
    // machine moves a gap by tens of milliseconds; the span of the whole
    // replay (about a second) still tells a timed replay from an untimed one.
    EXPECT_LT(worst, T(40) * 1000) << "largest gap difference in us";
    const int64_t spanA = a.back().nTimeUs - a.front().nTimeUs;
    const int64_t spanB = b.back().nTimeUs - b.front().nTimeUs;
    EXPECT_NEAR(static_cast<double>(spanB), static_cast<double>(spanA), T(40) * 1000.0);
}

TEST_F(Workflow, PlaySendsTheGoodLinesAndReportsTheBrokenOnesByNumber) {
    ASSERT_TRUE(StartSim({"--ports", "0-3", "--bridge", "0:1", "--bridge", "2:3"}));
    TempFile log;
    log.Write(
        "# bench recording\n"                                           // 1
        "(100.000000) can0 123#0102\n"                                  // 2
        "(100.050000) can0 7FF#R3\n"                                    // 3
        "(100.060000) can0 12345678#\n"                                 // 4
        "garbage\n"                                                     // 5
        "(100.070000) can0 123##0000102030405060708090A0B0C0D0E0F10\n"  // 6: 17 bytes
        "\n"                                                            // 7
        "(100.080000) can0 20000080#0000000000000000\n"                 // 8: error frame
        "(100.090000) vcan1 321#AA\n"                                   // 9: to port 2
        "(100.100000) can0 123#1\n");                                   // 10: odd digits

    // Several interfaces and no --map: the user is told which.
    const RunResult unmapped = Run({"play", log.Path()});
    EXPECT_EQ(unmapped.nCode, 2);
    EXPECT_NE(unmapped.sErr.find("(can0 vcan1)"), std::string::npos) << unmapped.sErr;

    Process bus1, bus3;
    ASSERT_TRUE(bus1.Start(Tool({"--port", "1", "dump", "--count", "4"})));
    ASSERT_TRUE(bus3.Start(Tool({"--port", "3", "dump", "--count", "1"})));
    ASSERT_TRUE(bus1.WaitForErr("dumping", T(10000)));
    ASSERT_TRUE(bus3.WaitForErr("dumping", T(10000)));
    const RunResult r = Run({"play", log.Path(), "--map", "can0=0", "--map", "vcan1=2"});
    EXPECT_EQ(r.nCode, 0) << r.sErr;
    EXPECT_NE(r.sOut.find("played 5 frames"), std::string::npos) << r.sOut;
    EXPECT_NE(r.sOut.find("3 lines skipped"), std::string::npos) << r.sOut;
    for (const char* number : {":5: ", ":8: ", ":10: "})
        EXPECT_NE(r.sErr.find(log.Path() + number), std::string::npos) << number << r.sErr;
    EXPECT_EQ(Lines(r.sErr).size(), 3u) << r.sErr;

    ASSERT_EQ(bus1.Wait(T(10000)), 0) << bus1.Err();
    ASSERT_EQ(bus3.Wait(T(10000)), 0) << bus3.Err();
    const std::vector<Dumped> got = ParseDump(bus1.Out());
    ASSERT_EQ(got.size(), 4u) << bus1.Out();
    EXPECT_EQ(got[0].oFrame.oData, (std::vector<uint8_t>{1, 2}));
    EXPECT_TRUE(got[1].oFrame.bRemote);
    EXPECT_EQ(got[1].oFrame.nRemoteLength, 3);
    EXPECT_TRUE(got[2].oFrame.bExtended);
    EXPECT_EQ(got[2].oFrame.nId, 0x12345678u);
    EXPECT_EQ(got[3].oFrame.oData.size(), 17u);
    EXPECT_EQ(got[3].oFrame.oData[16], 0x10);
    EXPECT_NE(bus3.Out().find(" tessara3 321#AA\n"), std::string::npos) << bus3.Out();
}

TEST_F(Workflow, PlayScalesLoopsAndDropsTheTiming) {
    ASSERT_TRUE(StartSim({}));
    TempFile log;
    log.Write("(10.000000) can0 123#01\n(10.200000) can0 123#02\n(10.400000) can0 123#03\n");
    struct Case {
        std::vector<std::string> oOptions;
        const char* sPlayed;
        double dMinSeconds, dMaxSeconds;
    };
    // Two loops at double speed: frames at 0, 100, 200 ms and 200, 300,
    // 400 ms (a loop starts where the one before ended).
    const Case cases[] = {
        {{}, "played 3 frames", 0.4, 0.6},
        {{"--speed", "2", "--loop", "2"}, "played 6 frames", 0.4, 0.6},
        {{"--no-timing", "--loop", "3"}, "played 9 frames", 0, 0.15},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"play", log.Path()};
        args.insert(args.end(), c.oOptions.begin(), c.oOptions.end());
        const RunResult r = Run(args);
        ASSERT_EQ(r.nCode, 0) << r.sErr;
        ASSERT_EQ(r.sOut.find(c.sPlayed), 0u) << r.sOut;
        const double took = std::stod(r.sOut.substr(r.sOut.find(" in ") + 4));
        EXPECT_GE(took, c.dMinSeconds) << r.sOut;
        EXPECT_LE(took, c.dMaxSeconds * sim::TestTimeoutMs(1)) << r.sOut;
    }
    EXPECT_EQ(Run({"play", log.Path(), "--speed", "0"}).nCode, 2);
    EXPECT_EQ(Run({"play", log.Path(), "--map", "can0"}).nCode, 2);
    EXPECT_EQ(Run({"play", "/nonexistent/log"}).nCode, 1);
}

TEST_F(Workflow, SendPassesLongFramesThroughAndDumpPrintsThem) {
    ASSERT_TRUE(StartSim({"--ports", "0-1", "--bridge", "0:1"}));
    Process dump;
    ASSERT_TRUE(dump.Start(Tool({"--port", "1", "dump", "--count", "3"})));
    ASSERT_TRUE(dump.WaitForErr("dumping", T(10000)));
    const std::string nine = "123#" + std::string(18, '5');
    const std::string sixtyFour = "12345678#" + std::string(128, 'C');
    const std::string twenty = "7FF#00.11.22.33.44.55.66.77.88.99.AA.BB.CC.DD.EE.FF.01.02.03.04";
    const RunResult r = Run({"send", nine, sixtyFour, twenty});
    ASSERT_EQ(r.nCode, 0) << r.sErr;
    ASSERT_EQ(dump.Wait(T(10000)), 0) << dump.Err();
    const std::vector<std::string> lines = Lines(dump.Out());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" 123##0" + std::string(18, '5')), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" 12345678##0" + std::string(128, 'C')), std::string::npos);
    EXPECT_NE(lines[2].find(" 7FF##000112233445566778899AABBCCDDEEFF01020304"), std::string::npos);
    // 256 bytes do not fit the gateway's length byte.
    EXPECT_EQ(Run({"send", "123#" + std::string(512, '0')}).nCode, 2);
}

TEST_F(Workflow, DumpReconnectsAcrossAGatewayRestartAndKeepsItsSetup) {
    // Counters on 123 tell whether a frame went missing; 456 is filtered.
    ASSERT_TRUE(StartSim({"--generate", "123:50", "--generate", "456:50:AA"}));
    Process dump;
    ASSERT_TRUE(
        dump.Start(Tool({"dump", "--reconnect", "--filter", "123:7FF", "--bitrate", "250000"})));
    ASSERT_TRUE(dump.WaitForOut(" 123#", T(10000)));
    ASSERT_TRUE(dump.WaitForOut("\n(", T(10000)));
    // The restart closes every link and puts the port back to its power-up
    // settings: 500 kbit/s.
    ASSERT_EQ(Run({"restart"}).nCode, 0);
    ASSERT_TRUE(dump.WaitForErr("lost; reconnecting", T(10000))) << dump.Err();
    ASSERT_TRUE(dump.WaitForErr("back after ", T(10000))) << dump.Err();
    const size_t mark = dump.Out().size();
    ASSERT_TRUE(dump.WaitForOut(" 123#", T(10000), mark));
    // Some more frames after the gap, so that 456 would have shown.
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(dump.WaitForOut("\n", T(5000), dump.Out().size()));
    const RunResult config = Run({"config", "get"});
    EXPECT_NE(config.sOut.find("bitrate      250000"), std::string::npos) << config.sOut;
    dump.Signal(SIGINT);
    EXPECT_EQ(dump.Wait(T(10000)), 0) << dump.Err();

    // Counters run on within each link; one gap between them.
    int jumps = 0;
    uint32_t before = 0;
    const std::vector<Dumped> frames = ParseDump(dump.Out());
    ASSERT_GT(frames.size(), 12u);
    for (size_t i = 0; i < frames.size(); ++i) {
        const LogFrame& f = frames[i].oFrame;
        ASSERT_EQ(f.nId, 0x123u) << "the filter let another identifier through";
        ASSERT_EQ(f.oData.size(), 4u);
        const uint32_t n = f.oData[0] | f.oData[1] << 8 | f.oData[2] << 16 |
                           static_cast<uint32_t>(f.oData[3]) << 24;
        if (i > 0 && n != before + 1) ++jumps;
        before = n;
    }
    EXPECT_LE(jumps, 1);
    const std::string& err = dump.Err();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;  // dumping, lost, back
}

TEST_F(Workflow, SendCountGoesOnAcrossDroppedLinks) {
    // Every link is dropped at its 10th telegram: CONNECT, SET_CONFIG and
    // 7 frames get through, the 8th finds the link gone.
    ASSERT_TRUE(StartSim({"--drop-after", "10"}));
    const RunResult r = Run({"send", "--reconnect", "--count", "20", "--rate", "200", "123#01"});
    EXPECT_EQ(r.nCode, 0) << r.sErr;
    EXPECT_NE(r.sOut.find("sent 20 frames"), std::string::npos) << r.sOut;
    EXPECT_NE(r.sErr.find("lost; reconnecting"), std::string::npos) << r.sErr;
    EXPECT_NE(r.sErr.find("back after "), std::string::npos) << r.sErr;
    // Without --reconnect the first loss ends the run.
    const RunResult once = Run({"send", "--count", "20", "--rate", "200", "123#01"});
    EXPECT_EQ(once.nCode, 1) << once.sOut;
}

}  // namespace
}  // namespace tes::test
