// tessara-can end to end: the built program against an in-process simulator;
// what reaches the gateway, what the program prints, its exit codes and the
// library's messages on failure; its dump output read back by can-utils'
// log2asc and python-can's log reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "TessaraCan.h"
#include "gateway.h"
#include "process.h"
#include "test_address.h"

namespace tes::test {
namespace {

using Bytes = std::vector<uint8_t>;

int64_t T(int64_t ms) {
    return sim::TestTimeoutMs(ms);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

uint32_t U32(const Bytes& d, size_t at) {
    return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | static_cast<uint32_t>(d[at + 3]) << 24;
}

std::string Message(int code) {
    char text[256];
    CANErrorMessage(code, text, sizeof text);
    return text;
}

// A file in a directory of its own, removed with the object.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/tessara-tools-XXXXXX";
        bCreated = ::mkdtemp(name) != nullptr;
        sPath = bCreated ? name : "/tmp";
    }
    ~TempDir() {
        // Never /tmp itself when the directory could not be made.
        if (bCreated) {
            std::error_code error;
            std::filesystem::remove_all(sPath, error);
        }
    }
    std::string File(const std::string& name) const { return sPath + "/" + name; }

private:
    bool bCreated = false;
    std::string sPath;
};

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool OnPath(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        oGateway.AddNode(5);
        sim::GatewayOptions options;
        options.bUdp = false;
        std::string error;
        ASSERT_TRUE(sim::StartOnFreeLoopback(oGateway, options, &error)) << error;
        sAddress = oGateway.BindAddress();
    }

    std::vector<std::string> Args(const std::vector<std::string>& args) const {
        std::vector<std::string> all = {"--host", sAddress};
        all.insert(all.end(), args.begin(), args.end());
        return TargetCommand(TESSARA_CAN_TOOL, all);
    }

    RunResult Tool(const std::vector<std::string>& args, int64_t timeoutMs = 20000) {
        return RunProgram(Args(args), T(timeoutMs));
    }

    // Starts a dump and waits until its callback is installed.
    void StartDump(Process* p, const std::vector<std::string>& args) {
        std::vector<std::string> all = {"dump"};
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_TRUE(p->Start(Args(all)));
        ASSERT_TRUE(p->WaitForErr("dumping CAN port", T(10000))) << p->Err();
    }

    // The WRITE telegrams the gateway received, in order.
    std::vector<Bytes> Writes() const {
        std::vector<Bytes> out;
        for (const sim::Telegram& t : oGateway.Log())
            if (t.Command() == 0x0203) out.push_back(t.Data());
        return out;
    }

    sim::Gateway oGateway;
    std::string sAddress;
};

// ------------------------------------------------------------ command line

TEST_F(ToolTest, HelpListsEveryCommandAndBadLinesExitWithTwo) {
    const RunResult help = RunProgram(TargetCommand(TESSARA_CAN_TOOL, {"--help"}), T(10000));
    EXPECT_EQ(help.nCode, 0);
    for (const char* c : {"info", "status", "state", "config", "filter", "time", "send", "dump",
                          "io", "power", "nmt", "sdo", "restart", "errmsg", "version", "demo"})
        EXPECT_NE(help.sOut.find(std::string("  ") + c + " "), std::string::npos) << c;

    const RunResult none = RunProgram(TargetCommand(TESSARA_CAN_TOOL), T(10000));
    EXPECT_EQ(none.nCode, 2);
    EXPECT_NE(none.sErr.find("Usage: tessara-can"), std::string::npos);
    const RunResult unknown = Tool({"frobnicate"});
    EXPECT_EQ(unknown.nCode, 2);
    EXPECT_NE(unknown.sErr.find("unknown command 'frobnicate'"), std::string::npos);
    for (const std::vector<std::string>& line :
         std::vector<std::vector<std::string>>{{"--port"},
                                               {"--timeout", "0", "state"},
                                               {"config", "set"},
                                               {"config", "set", "--mode", "sideways"},
                                               {"filter", "set", "12:7FF"},
                                               {"time", "set", "1.1234567"},
                                               {"io", "write", "digital", "x"},
                                               {"nmt", "128", "start"},
                                               {"sdo", "read", "5", "10000"},
                                               {"dump", "--count", "0"},
                                               {"errmsg"}}) {
        const RunResult r = Tool(line);
        EXPECT_EQ(r.nCode, 2) << line[0] << " " << (line.size() > 1 ? line[1] : "");
        EXPECT_NE(r.sErr.find("tessara-can: "), std::string::npos);
    }
    // Nothing of it reached the gateway: a wrong line is refused before the open.
    EXPECT_EQ(oGateway.ConnectionCount(), 0u);
}

TEST_F(ToolTest, SendRefusesWhatCansendWouldNot) {
    for (const char* frame :
         {"1234#00", "12#00", "800#00", "20000000#00", "123#ABC", "123#GG", "123##1AA", "123"}) {
        const RunResult r = Tool({"send", frame});
        EXPECT_EQ(r.nCode, 2) << frame;
        EXPECT_NE(r.sErr.find(std::string("'") + frame + "'"), std::string::npos) << r.sErr;
    }
    EXPECT_EQ(oGateway.ConnectionCount(), 0u);
}

TEST_F(ToolTest, ErrmsgAndVersionGiveTheLibrarysTexts) {
    RunResult r = Tool({"errmsg", "0x224"});
    EXPECT_EQ(r.nCode, 0);
    EXPECT_EQ(r.sOut, "CAN no valid baudrate\n");
    EXPECT_EQ(Tool({"errmsg", "548"}).sOut, "CAN no valid baudrate\n");  // the same code, decimal
    EXPECT_EQ(Tool({"errmsg", "0x900000"}).sOut, "Device handle is invalid\n");
    EXPECT_EQ(Tool({"errmsg", "12345"}).sOut, Message(12345) + "\n");
    char version[128];
    DLLInfo(version, sizeof version);
    r = Tool({"version"});
    EXPECT_EQ(r.nCode, 0);
    EXPECT_EQ(r.sOut, std::string(version) + "\n");
}

// ------------------------------------------------------------ failures

TEST_F(ToolTest, FailuresPrintTheLibrarysMessageAndExitWithOne) {
    oGateway.SetConnectAnswer(1);
    RunResult r = Tool({"state"});
    EXPECT_EQ(r.nCode, 1);
    EXPECT_EQ(r.sErr,
              "tessara-can: open: Open failed, maximum number of connections reached (0x1)\n");
    EXPECT_EQ(r.sOut, "");
    oGateway.SetConnectAnswer(0);

    r = Tool({"--port", "100", "info"});
    EXPECT_EQ(r.nCode, 1);
    EXPECT_EQ(r.sErr, "tessara-can: open: Invalid function parameter (0x920000)\n");

    r = Tool({"config", "set", "--bitrate", "12345"});
    EXPECT_EQ(r.nCode, 1);
    EXPECT_EQ(r.sErr, "tessara-can: config set: CAN no valid baudrate (0x224)\n");

    // No gateway at all: a transport failure (0x20000 .. 0x60000) with its text.
    const RunResult none = RunProgram(
        TargetCommand(TESSARA_CAN_TOOL,
                      {"--host", sim::NextLoopbackAddress(), "--timeout", "500", "status"}),
        T(20000));
    EXPECT_EQ(none.nCode, 1);
    const std::string prefix = "tessara-can: open: ";
    const size_t code = none.sErr.rfind(" (0x");
    ASSERT_EQ(none.sErr.compare(0, prefix.size(), prefix), 0) << none.sErr;
    ASSERT_NE(code, std::string::npos) << none.sErr;
    const std::string digits = none.sErr.substr(code + 4);  // "N0000)\n"
    ASSERT_EQ(digits.size(), 7u) << none.sErr;
    ASSERT_TRUE(digits[0] >= '2' && digits[0] <= '6' && digits.substr(1) == "0000)\n") << none.sErr;
    EXPECT_EQ(none.sErr.substr(prefix.size(), code - prefix.size()),
              Message((digits[0] - '0') * 0x10000));
}

// ------------------------------------------------------------ device and port

TEST_F(ToolTest, InfoStatusAndStateShowTheDevice) {
    RunResult r = Tool({"info"});
    EXPECT_EQ(r.nCode, 0) << r.sErr;
    EXPECT_EQ(Lines(r.sOut),
              (std::vector<std::string>{"serial number      0x00012345", "hardware revision  1.2",
                                        "firmware version   2.13", "name               TESSIM",
                                        "CAN ports          1", "analog channels    4",
                                        "device type        2", "power supplies     3"}));
    r = Tool({"status"});
    EXPECT_EQ(r.nCode, 0);
    EXPECT_EQ(r.sOut, "TessaraSim ready, 1 connection(s) open\n");
    r = Tool({"state"});
    EXPECT_EQ(r.nCode, 0);
    EXPECT_EQ(r.sOut, "3 connected\n");
}

TEST_F(ToolTest, ConfigSetSendsTheGivenValuesAndKeepsTheOthers) {
    RunResult r = Tool({"config", "set", "--bitrate", "250000", "--timestamps", "on"});
    ASSERT_EQ(r.nCode, 0) << r.sErr;
    // SET_GLOBALS: mode, bit rate u32, Termination, HighSpeed, TimestampOn.
    const std::optional<sim::Telegram> set = oGateway.WaitForCommand(0x0207, 0);
    ASSERT_TRUE(set);
    EXPECT_EQ(set->Data(), (Bytes{0, 0x90, 0xD0, 0x03, 0x00, 0, 1, 1}));

    r = Tool({"config", "set", "--mode", "listen-only", "--termination", "on"});
    ASSERT_EQ(r.nCode, 0) << r.sErr;
    r = Tool({"config", "get"});
    EXPECT_EQ(r.nCode, 0);
    EXPECT_EQ(Lines(r.sOut),
              (std::vector<std::string>{"bitrate      250000", "mode         listen-only",
                                        "termination  on", "high-speed   on", "timestamps   on"}));
}

TEST_F(ToolTest, FilterEntriesBecomeTheGatewaysWords) {
    RunResult r = Tool({"filter", "set", "123:7FF", "12345678:1FFFFF00"});
    ASSERT_EQ(r.nCode, 0) << r.sErr;
    const std::optional<sim::Telegram> set = oGateway.WaitForCommand(0x0220, 0);
    ASSERT_TRUE(set);
    const Bytes d = set->Data();
    ASSERT_EQ(d.size(), 64u);
    // Bit 31 entry in use, bit 30 extended identifier, then the mask.
    EXPECT_EQ(U32(d, 0), 0x80000123u);
    EXPECT_EQ(U32(d, 4), 0x7FFu);
    EXPECT_EQ(U32(d, 8), 0xD2345678u);
    EXPECT_EQ(U32(d, 12), 0x1FFFFF00u);
    for (size_t at = 16; at < 64; at += 4) EXPECT_EQ(U32(d, at), 0u) << at;
    EXPECT_EQ(Lines(r.sOut), (std::vector<std::string>{"0 123:7FF", "1 12345678:1FFFFF00"}));

    r = Tool({"filter", "set", "off"});
    EXPECT_EQ(r.sOut, "no filter: every frame passes\n");
    EXPECT_EQ(Tool({"filter", "get"}).sOut, "no filter: every frame passes\n");
}

TEST_F(ToolTest, TimeSetAndGetReadTheDeviceClock) {
    RunResult r = Tool({"time", "get"});
    ASSERT_EQ(r.nCode, 0);
    EXPECT_NE(r.sOut.find(", not set since power-up"), std::string::npos) << r.sOut;

    r = Tool({"time", "set", "1000000000.25"});
    ASSERT_EQ(r.nCode, 0) << r.sErr;
    const std::optional<sim::Telegram> set = oGateway.WaitForCommand(0x020B, 0);
    ASSERT_TRUE(set);
    EXPECT_EQ(U32(set->Data(), 0), 1000000000u);
    EXPECT_EQ(U32(set->Data(), 4), 250000u);
    // "1000000000.uuuuuu 2001-09-09 01:46:40.uuuuuu UTC, set since power-up"
    ASSERT_EQ(r.sOut.size(), 69u) << r.sOut;
    EXPECT_EQ(r.sOut.substr(0, 11), "1000000000.");
    EXPECT_EQ(r.sOut.substr(17, 21), " 2001-09-09 01:46:40.");
    EXPECT_EQ(r.sOut.substr(11, 6), r.sOut.substr(38, 6));
    EXPECT_EQ(r.sOut.substr(44), " UTC, set since power-up\n");
    EXPECT_GE(std::stoi(r.sOut.substr(11, 6)), 250000);
}

TEST_F(ToolTest, IoAndPowerDriveTheDevice) {
    EXPECT_EQ(Tool({"io", "write", "digital", "0x5"}).nCode, 0);
    EXPECT_EQ(oGateway.DigitalOutputs(), 5u);
    EXPECT_EQ(Tool({"io", "write", "analog", "7", "8"}).nCode, 0);
    oGateway.SetDigitalInputs(0xA5);
    RunResult r = Tool({"io", "read"});
    EXPECT_EQ(r.nCode, 0);
    EXPECT_EQ(Lines(r.sOut), (std::vector<std::string>{
                                 "digital inputs     0x000000A5", "digital outputs    0x00000005",
                                 "analog channels    4", "analog inputs      7 8 0 0"}));

    r = Tool({"power", "supplies", "0x5"});
    EXPECT_EQ(r.nCode, 0);
    EXPECT_NE(r.sOut.find("input current      340 mA"), std::string::npos) << r.sOut;
    EXPECT_NE(r.sOut.find("supply 1           0 mV, inactive"), std::string::npos);
    r = Tool({"power", "relay", "off"});
    EXPECT_EQ(r.nCode, 0);
    EXPECT_NE(r.sOut.find("relay              open"), std::string::npos);
    EXPECT_NE(r.sOut.find("supply 0           0 mV, active"), std::string::npos);
    EXPECT_NE(r.sOut.find("input current      40 mA"), std::string::npos);
}

TEST_F(ToolTest, RestartAsksTheGatewayToRestart) {
    const RunResult r = Tool({"restart"});
    EXPECT_EQ(r.nCode, 0) << r.sErr;
    EXPECT_TRUE(oGateway.WaitFor([&] { return oGateway.RestartCount() == 1; }, T(2000)));
}

// ------------------------------------------------------------ send

TEST_F(ToolTest, SendWritesEachFrameAsGiven) {
    const RunResult r = Tool({"send", "123#DEADBEEF", "12345678#00.11", "7FF#R", "000#"});
    ASSERT_EQ(r.nCode, 0) << r.sErr;
    EXPECT_NE(r.sOut.find("sent 4 frames"), std::string::npos) << r.sOut;
    // WRITE: identifier u32, flags (bit 0 extended, bit 1 remote), data.
    EXPECT_TRUE(oGateway.WaitFor([&] { return Writes().size() == 4; }, T(2000)));
    EXPECT_EQ(Writes(), (std::vector<Bytes>{{0x23, 0x01, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF},
                                            {0x78, 0x56, 0x34, 0x12, 1, 0x00, 0x11},
                                            {0xFF, 0x07, 0, 0, 2},
                                            {0, 0, 0, 0, 0}}));
}

TEST_F(ToolTest, SendRepeatsAtTheGivenRate) {
    const RunResult r = Tool({"send", "123#01", "456#02", "--count", "5", "--rate", "50"});
    ASSERT_EQ(r.nCode, 0) << r.sErr;
    EXPECT_NE(r.sOut.find("sent 10 frames in "), std::string::npos) << r.sOut;
    ASSERT_TRUE(oGateway.WaitFor([&] { return Writes().size() == 10; }, T(2000)));
    std::vector<sim::Telegram> writes;
    for (const sim::Telegram& t : oGateway.Log())
        if (t.Command() == 0x0203) writes.push_back(t);
    for (size_t i = 0; i < writes.size(); ++i)
        EXPECT_EQ(writes[i].Data()[0], i % 2 == 0 ? 0x23 : 0x56) << i;
    // Nine intervals of 20 ms; arrival times may only be later, never earlier
    // than the schedule (a little slack for the two clocks' granularity).
    EXPECT_GE(writes.back().nTimeMs - writes.front().nTimeMs, 175);
}

TEST_F(ToolTest, SendWithConfirmSeesTheGatewaysRefusal) {
    ASSERT_EQ(Tool({"config", "set", "--mode", "listen-only"}).nCode, 0);
    // Unconfirmed frames are not answered, so a listen-only port goes unnoticed...
    EXPECT_EQ(Tool({"send", "123#00"}).nCode, 0);
    // ...confirmed ones carry the gateway's verdict.
    const RunResult r = Tool({"send", "--confirm", "123#00", "--count", "3"});
    EXPECT_EQ(r.nCode, 1);
    EXPECT_NE(r.sOut.find("sent 0 frames"), std::string::npos) << r.sOut;
    EXPECT_NE(r.sErr.find("tessara-can: send 123#00: CAN transmit error (0x221)"),
              std::string::npos)
        << r.sErr;
}

// ------------------------------------------------------------ dump

struct Expected {
    uint32_t nId;
    uint8_t nFlags;
    Bytes oData;
    std::string sText;  // ID#DATA as candump writes it
};

const std::vector<Expected>& DumpFrames() {
    static const std::vector<Expected> frames = {
        {0x123, 0, {0x11, 0x22, 0x33, 0x44}, "123#11223344"},
        {0x1ABCDEF0, 1, {0, 1, 2, 3, 4, 5, 6, 0xFF}, "1ABCDEF0#00010203040506FF"},
        {0x7FF, 2, {}, "7FF#R"},
        {0x000, 0, {}, "000#"},
        {0x00000042, 3, {}, "00000042#R"},
    };
    return frames;
}

struct DumpLine {
    long long nSeconds = 0;
    long nMicros = 0;
    std::string sText;
};

bool AllOf(const std::string& text, const char* set) {
    return !text.empty() && text.find_first_not_of(set) == std::string::npos;
}

// "(ssssssssss.uuuuuu) tessara0 ID#DATA"
std::vector<DumpLine> ParseDump(const std::string& out) {
    std::vector<DumpLine> lines;
    const std::string channel = ") tessara0 ";
    for (const std::string& line : Lines(out)) {
        const bool ok = line.size() > 19 + channel.size() && line[0] == '(' && line[11] == '.' &&
                        AllOf(line.substr(1, 10), "0123456789") &&
                        AllOf(line.substr(12, 6), "0123456789") &&
                        line.compare(18, channel.size(), channel) == 0 &&
                        AllOf(line.substr(18 + channel.size()), "0123456789ABCDEFR#") &&
                        std::count(line.begin(), line.end(), '#') == 1;
        EXPECT_TRUE(ok) << line;
        if (!ok) continue;
        lines.push_back({std::stoll(line.substr(1, 10)), std::stol(line.substr(12, 6)),
                         line.substr(18 + channel.size())});
    }
    return lines;
}

long long WallSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST_F(ToolTest, DumpPrintsOneCandumpLinePerFrame) {
    Process dump;
    const long long before = WallSeconds();
    StartDump(&dump, {"--count", "5"});
    for (const Expected& f : DumpFrames())
        ASSERT_TRUE(oGateway.InjectFrame(0, f.nId, f.nFlags, f.oData));
    ASSERT_EQ(dump.Wait(T(10000)), 0) << dump.Err();
    const std::vector<DumpLine> lines = ParseDump(dump.Out());
    ASSERT_EQ(lines.size(), DumpFrames().size()) << dump.Out();
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].sText, DumpFrames()[i].sText);
        // Without gateway time stamps, the time of reception on this computer.
        EXPECT_GE(lines[i].nSeconds, before);
        EXPECT_LE(lines[i].nSeconds, WallSeconds());
    }
}

TEST_F(ToolTest, DumpTakesTheGatewaysTimeStampWhenThePortGivesOne) {
    ASSERT_EQ(Tool({"config", "set", "--timestamps", "on"}).nCode, 0);
    ASSERT_EQ(Tool({"time", "set", "1234567890.5"}).nCode, 0);
    Process dump;
    StartDump(&dump, {"--count", "1"});
    ASSERT_TRUE(oGateway.InjectFrame(0, 0x321, 0, {0xAB}));
    ASSERT_EQ(dump.Wait(T(10000)), 0) << dump.Err();
    const std::vector<DumpLine> lines = ParseDump(dump.Out());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].sText, "321#AB");
    // The device clock runs from what was set; the dump took a moment.
    EXPECT_EQ(lines[0].nSeconds, 1234567890);
    EXPECT_GE(lines[0].nMicros, 500000);
}

TEST_F(ToolTest, DumpFiltersByIdentifierAndMask) {
    Process dump;
    StartDump(&dump, {"--count", "3", "--filter", "100:700", "--filter", "00000ABC:1FFFFFFF"});
    // Standard frames pass 100:700 when bits 8-10 are 001; extended ones
    // only the exact 0xABC.
    const std::vector<std::pair<uint32_t, uint8_t>> frames = {
        {0x123, 0}, {0x223, 0}, {0x123, 1}, {0x2BC, 0}, {0xABC, 1}, {0xABD, 1}, {0x1FF, 0}};
    for (const auto& f : frames) ASSERT_TRUE(oGateway.InjectFrame(0, f.first, f.second, {}));
    ASSERT_EQ(dump.Wait(T(10000)), 0) << dump.Err();
    std::vector<std::string> texts;
    for (const DumpLine& l : ParseDump(dump.Out())) texts.push_back(l.sText);
    EXPECT_EQ(texts, (std::vector<std::string>{"123#", "00000ABC#", "1FF#"}));
}

TEST_F(ToolTest, DumpTimeoutEndsAQuietDump) {
    Process idle;
    StartDump(&idle, {"--timeout", "300"});
    EXPECT_EQ(idle.Wait(T(10000)), 0);
    EXPECT_EQ(idle.Out(), "");

    Process shortOfCount;
    StartDump(&shortOfCount, {"--timeout", "300", "--count", "3"});
    ASSERT_TRUE(oGateway.InjectFrame(0, 0x100, 0, {1}));
    EXPECT_EQ(shortOfCount.Wait(T(10000)), 1);
    EXPECT_EQ(ParseDump(shortOfCount.Out()).size(), 1u);
    EXPECT_NE(shortOfCount.Err().find("tessara-can: dump: time-out after 1 of 3 frames"),
              std::string::npos)
        << shortOfCount.Err();
}

TEST_F(ToolTest, DumpEndsWithAFailureWhenTheLinkDrops) {
    Process dump;
    StartDump(&dump, {});
    ASSERT_TRUE(oGateway.WaitForConnections(1, T(2000)));
    ASSERT_TRUE(oGateway.DropConnection(0));
    EXPECT_EQ(dump.Wait(T(10000)), 1);
    EXPECT_NE(dump.Err().find("tessara-can: dump: the link is lost: " + Message(0x30000)),
              std::string::npos)
        << dump.Err();
}

TEST_F(ToolTest, DumpStopsCleanlyOnSigint) {
    Process dump;
    StartDump(&dump, {});
    ASSERT_TRUE(oGateway.InjectFrame(0, 0x123, 0, {1, 2}));
    ASSERT_TRUE(dump.WaitForOut("123#0102\n", T(5000)));
    dump.Signal(SIGINT);
    EXPECT_EQ(dump.Wait(T(10000)), 0);
    // It said goodbye to the gateway on the way out.
    EXPECT_TRUE(oGateway.WaitForCommand(0x0202, T(2000)));
}

// The dump output written to a file and read back by a real reader.
class DumpReaderTest : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        Process dump;
        StartDump(&dump, {"--count", "5"});
        for (const Expected& f : DumpFrames())
            ASSERT_TRUE(oGateway.InjectFrame(0, f.nId, f.nFlags, f.oData));
        ASSERT_EQ(dump.Wait(T(10000)), 0) << dump.Err();
        sLog = oDir.File("dump.log");
        WriteFile(sLog, dump.Out());
        oLines = ParseDump(dump.Out());
        ASSERT_EQ(oLines.size(), 5u);
    }
    TempDir oDir;
    std::string sLog;
    std::vector<DumpLine> oLines;
};

TEST_F(DumpReaderTest, Log2ascReadsEveryFrame) {
    if (!OnPath("log2asc")) GTEST_SKIP() << "log2asc (can-utils) is not installed";
    const RunResult r =
        RunProgram({"/bin/sh", "-c", "log2asc -I '" + sLog + "' tessara0"}, T(10000));
    ASSERT_EQ(r.nCode, 0) << r.sErr;
    // "   0.000000 1  123             Rx   d 4 11 22 33 44" (x marks extended
    // identifiers, r remote frames, which may carry their length).
    size_t i = 0;
    for (const std::string& line : Lines(r.sOut)) {
        std::istringstream in(line);
        std::vector<std::string> t;
        for (std::string word; in >> word;) t.push_back(word);
        if (t.size() < 5 || t[1] != "1" || t[3] != "Rx" || !AllOf(t[0], "0123456789.")) continue;
        ASSERT_LT(i, DumpFrames().size()) << line;
        const Expected& f = DumpFrames()[i];
        const bool extended = t[2].back() == 'x';
        EXPECT_EQ(std::stoul(extended ? t[2].substr(0, t[2].size() - 1) : t[2], nullptr, 16), f.nId)
            << line;
        EXPECT_EQ(extended, (f.nFlags & 1) != 0) << line;
        EXPECT_EQ(t[4] == "r", (f.nFlags & 2) != 0) << line;
        if ((f.nFlags & 2) == 0) {
            ASSERT_GE(t.size(), 6u) << line;
            EXPECT_EQ(std::stoul(t[5]), f.oData.size()) << line;
            std::vector<std::string> bytes;
            char b[4];
            for (uint8_t v : f.oData) {
                std::snprintf(b, sizeof b, "%02X", v);
                bytes.push_back(b);
            }
            EXPECT_EQ(std::vector<std::string>(t.begin() + 6, t.end()), bytes) << line;
        }
        // Times relative to the first frame, from the dump's own stamps.
        const double dumpDelta = static_cast<double>(oLines[i].nSeconds - oLines[0].nSeconds) +
                                 (oLines[i].nMicros - oLines[0].nMicros) / 1e6;
        EXPECT_NEAR(std::stod(t[0]), dumpDelta, 1.5e-6) << line;
        ++i;
    }
    EXPECT_EQ(i, DumpFrames().size()) << r.sOut;
}

TEST_F(DumpReaderTest, PythonCanLogReaderReadsEveryFrame) {
    if (access("/usr/bin/python3", X_OK) != 0 ||
        std::system("/usr/bin/python3 -c 'import can' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3-can is not installed for /usr/bin/python3";
    const std::string script =
        "import can\n"
        "import sys\n"
        "for m in can.LogReader(sys.argv[1]):\n"
        "    print('%s %X %d %d %d %s %.6f' % (m.channel, m.arbitration_id, m.is_extended_id,\n"
        "          m.is_remote_frame, m.dlc, bytes(m.data or b'').hex().upper() or '-',\n"
        "          m.timestamp))\n";
    const std::string path = oDir.File("read.py");
    WriteFile(path, script);
    const RunResult r = RunProgram({"/usr/bin/python3", path, sLog}, T(20000));
    ASSERT_EQ(r.nCode, 0) << r.sErr;
    const std::vector<std::string> got = Lines(r.sOut);
    ASSERT_EQ(got.size(), DumpFrames().size()) << r.sOut;
    for (size_t i = 0; i < got.size(); ++i) {
        const Expected& f = DumpFrames()[i];
        std::string hex;
        char b[4];
        for (uint8_t v : f.oData) {
            std::snprintf(b, sizeof b, "%02X", v);
            hex += b;
        }
        char expected[160];
        std::snprintf(expected, sizeof expected, "tessara0 %X %d %d %zu %s %lld.%06ld", f.nId,
                      f.nFlags & 1, (f.nFlags >> 1) & 1, f.oData.size(),
                      hex.empty() ? "-" : hex.c_str(), oLines[i].nSeconds, oLines[i].nMicros);
        EXPECT_EQ(got[i], expected);
    }
}

// ------------------------------------------------------------ CANopen

TEST_F(ToolTest, CanopenCommandsNeedTheModeAndSaySo) {
    const RunResult r = Tool({"nmt", "5", "start"});
    EXPECT_EQ(r.nCode, 1);
    EXPECT_EQ(r.sErr,
              "tessara-can: nmt: CANOpen mode not switched on (0x2FE)\n"
              "tessara-can: switch it on with: tessara-can canopen on\n");
    EXPECT_EQ(Tool({"canopen", "on"}).sOut, "CANopen mode on\n");
    EXPECT_TRUE(oGateway.CanopenMode());
    EXPECT_EQ(Tool({"canopen", "get"}).sOut, "CANopen mode on\n");
}

TEST_F(ToolTest, NmtDrivesTheNodesState) {
    ASSERT_EQ(Tool({"canopen", "on"}).nCode, 0);
    EXPECT_EQ(Tool({"nmt", "5", "start"}).sOut, "NMT start sent to node 5\n");
    EXPECT_EQ(oGateway.NodeState(5), uint8_t{0x05});
    EXPECT_EQ(Tool({"nmt", "5", "stop"}).nCode, 0);
    EXPECT_EQ(oGateway.NodeState(5), uint8_t{0x04});
    EXPECT_EQ(Tool({"nmt", "0", "preop"}).sOut, "NMT preop sent to all nodes\n");
    EXPECT_EQ(oGateway.NodeState(5), uint8_t{0x7F});
}

TEST_F(ToolTest, SdoReadAndWriteEntries) {
    ASSERT_EQ(Tool({"canopen", "on"}).nCode, 0);
    EXPECT_EQ(Tool({"sdo", "read", "5", "1008"}).sOut, "node 5 1008:0 = \"TessaraSim Node\"\n");
    EXPECT_EQ(Tool({"sdo", "read", "5", "0x1000"}).sOut, "node 5 1000:0 = 0x00000191 (401)\n");
    EXPECT_EQ(Tool({"sdo", "read", "5", "1018:4"}).sOut, "node 5 1018:4 = 0x00000005 (5)\n");
    EXPECT_EQ(Tool({"sdo", "read", "5", "1017"}).sOut, "node 5 1017:0 = 0x0000 (0)\n");
    EXPECT_EQ(Tool({"sdo", "write", "5", "2000", "0xCAFE"}).nCode, 0);
    EXPECT_EQ(Tool({"sdo", "read", "5", "2000"}).sOut, "node 5 2000:0 = 0x0000CAFE (51966)\n");

    RunResult r = Tool({"sdo", "write", "5", "1000", "1"});
    EXPECT_EQ(r.nCode, 1);
    EXPECT_EQ(
        r.sErr,
        "tessara-can: sdo write: SDO abort 0x06010002 (attempt to write a read-only object)\n");
    r = Tool({"sdo", "read", "5", "3000"});
    EXPECT_EQ(r.nCode, 1);
    EXPECT_NE(r.sErr.find("SDO abort 0x06020000"), std::string::npos) << r.sErr;
    r = Tool({"sdo", "read", "9", "1000"});  // no such node on the bus
    EXPECT_EQ(r.nCode, 1);
    EXPECT_EQ(r.sErr, "tessara-can: sdo read: " + Message(0x2FD) + " (0x2FD)\n");
}

TEST_F(ToolTest, SdoBlockTransfersGoThroughFiles) {
    ASSERT_EQ(Tool({"canopen", "on"}).nCode, 0);
    TempDir dir;
    std::string data(3000, '\0');
    std::mt19937 random(7);
    for (char& c : data) c = static_cast<char>(random());
    WriteFile(dir.File("in.bin"), data);
    RunResult r = Tool({"sdo", "download", "5", "2001", dir.File("in.bin")});
    ASSERT_EQ(r.nCode, 0) << r.sErr;
    EXPECT_NE(r.sOut.find("downloaded 3000 bytes"), std::string::npos);
    r = Tool({"sdo", "upload", "5", "2001", dir.File("out.bin")});
    ASSERT_EQ(r.nCode, 0) << r.sErr;
    EXPECT_NE(r.sOut.find("uploaded 3000 bytes"), std::string::npos);
    EXPECT_EQ(ReadFile(dir.File("out.bin")), data);

    // The scratch entry holds 4096 bytes at most.
    WriteFile(dir.File("big.bin"), std::string(4097, 'x'));
    r = Tool({"sdo", "download", "5", "2001", dir.File("big.bin")});
    EXPECT_EQ(r.nCode, 1);
    EXPECT_NE(r.sErr.find("SDO abort 0x06070012"), std::string::npos) << r.sErr;
    r = Tool({"sdo", "download", "5", "2001", dir.File("missing.bin")});
    EXPECT_EQ(r.nCode, 1);
    EXPECT_NE(r.sErr.find("cannot read"), std::string::npos);
}

// ------------------------------------------------------------ demo

TEST(ToolDemo, EveryStepWorksAgainstTheSimulator) {
    const RunResult r = RunProgram(TargetCommand(TESSARA_CAN_TOOL, {"demo"}), T(60000));
    EXPECT_EQ(r.nCode, 0) << r.sOut << r.sErr;
    EXPECT_EQ(r.sOut.find("FAILED"), std::string::npos) << r.sOut;
    EXPECT_NE(r.sOut.find(" steps, 0 failed"), std::string::npos) << r.sOut;
    EXPECT_NE(r.sOut.find("node 5 is called \"TessaraSim Node\""), std::string::npos);
    EXPECT_NE(r.sOut.find("PDO from node 5 (type 1), 4 bytes: 01 02 03 04"), std::string::npos);
}

}  // namespace
}  // namespace tes::test
