// Shared pieces of the tessara-can command-line tool: common options, the
// open device, argument parsing, failure reporting and the subcommands.
// Everything here goes through the library's public C interface.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "TessaraCan.h"

namespace tool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the library or the gateway reported a failure
constexpr int kExitUsage = 2;   // the command line is wrong

struct Options {
    std::string sHost = "127.0.0.1";
    int nPort = 0;  // CAN port
    int nTimeoutMs = 2000;
    bool bTimeoutGiven = false;
    bool bUdp = false;
    std::vector<std::string> oArgs;  // what follows the subcommand, common options taken out
};

// "tessara-can: WHAT: MESSAGE (0xCODE)" on stderr; returns kExitFailed.
int Fail(const std::string& what, int result);
// "tessara-can: WHAT" on stderr; returns kExitFailed.
int FailText(const std::string& what);
// "tessara-can: TEXT" and a pointer to --help on stderr; returns kExitUsage.
int UsageError(const std::string& text);
// The library's message for a result code.
std::string Message(int result);

// An open handle on the CAN port of the options, closed with the object.
class Device {
public:
    Device() = default;
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // CANOpenDeviceEx with the common options; the result code.
    int Open(const Options& options, bool confirmData = false, bool monitor = false);
    int Handle() const { return nHandle; }

private:
    int nHandle = -1;
};

// Takes a subcommand's own options ("--name" or "--name VALUE") out of
// `args`, leaving the positional arguments. False with the reason in *error
// for an unknown option or a missing value.
bool TakeOptions(std::vector<std::string>* args, const std::set<std::string>& flags,
                 const std::set<std::string>& valued, std::map<std::string, std::string>* out,
                 std::string* error);

// A whole number in decimal or with 0x in hex, within [min, max].
bool ParseInt(const std::string& text, long long min, long long max, long long* out);
// Hex digits only (an optional 0x in front), within [0, max].
bool ParseHex(const std::string& text, unsigned long long max, unsigned long long* out);

// A CAN identifier as cansend writes it: 3 hex digits standard, 8 extended.
struct CanId {
    uint32_t nId = 0;
    bool bExtended = false;
};
bool ParseCanId(const std::string& text, CanId* out);
std::string FormatCanId(uint32_t id, bool extended);

// Frame flags of the gateway protocol.
constexpr int kFlagExtended = 0x01;
constexpr int kFlagRemote = 0x02;
constexpr int kFlagTimestamp = 0x04;

// Set by Ctrl-C (SIGINT, SIGTERM; on Windows the console's Ctrl-C, Ctrl-Break
// and close) while a command runs until stopped.
bool StopRequested();
void CatchStopSignals();

// The subcommands this build leaves out (they need POSIX), ended by a null
// pointer; their functions refuse to run. kBuildSystem names the platform.
extern const char* const kLeftOutCommands[];
extern const char kBuildSystem[];

// ---- the subcommands; each returns the process exit code
int RunInfo(const Options& options);
int RunStatus(const Options& options);
int RunState(const Options& options);
int RunConfig(const Options& options);
int RunFilter(const Options& options);
int RunTime(const Options& options);
int RunIo(const Options& options);
int RunPower(const Options& options);
int RunRestart(const Options& options);
int RunSend(const Options& options);
int RunDump(const Options& options);
int RunCanopen(const Options& options);
int RunNmt(const Options& options);
int RunSdo(const Options& options);
int RunDemo(const Options& options);
int RunSniff(const Options& options);
int RunBusload(const Options& options);
int RunPlay(const Options& options);
int RunSocketcand(const Options& options);

// Prints "step ... message" lines and counts failures (the demo).
class Steps {
public:
    // Prints the step with the library's message for `result`; true on 0.
    bool Check(const char* what, int result) {
        ++nCount;
        if (result != 0) ++nFailures;
        std::printf("%-58s %s%s\n", what, result == 0 ? "" : "FAILED: ", Message(result).c_str());
        std::fflush(stdout);
        return result == 0;
    }
    // A step whose outcome the tool judged itself.
    bool Expect(const char* what, bool ok, const std::string& detail) {
        ++nCount;
        if (!ok) ++nFailures;
        std::printf("%-58s %s%s\n", what, ok ? "" : "FAILED: ", detail.c_str());
        std::fflush(stdout);
        return ok;
    }
    bool Failed() const { return nFailures != 0; }
    int Count() const { return nCount; }
    int FailureCount() const { return nFailures; }

private:
    int nCount = 0;
    int nFailures = 0;
};

}  // namespace tool
