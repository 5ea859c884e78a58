// tessara-can: one command-line tool with subcommands over the library's
// public C interface (the demo also runs the gateway simulator in-process).
#include <cstdio>
#include <cstring>
#include <string>

#include "tool.h"

namespace {

struct Command {
    const char* sName;
    int (*pRun)(const tool::Options&);
    const char* sUsage;
};

const Command kCommands[] = {
    {"info", tool::RunInfo,
     "info                       device record: serial number, versions, ports"},
    {"status", tool::RunStatus, "status                     the gateway's status text"},
    {"state", tool::RunState,
     "state                      open the port and print the connection state"},
    {"config", tool::RunConfig,
     "config get                 bit rate, mode, termination, transceiver, time stamps\n"
     "  config set [--bitrate N] [--mode normal|listen-only|off] [--termination on|off]\n"
     "             [--high-speed on|off] [--timestamps on|off]   (others stay)"},
    {"filter", tool::RunFilter,
     "filter get                 the port's acceptance filter\n"
     "  filter set ID:MASK ...     up to 8 entries (ID 3 hex digits standard, 8 extended)\n"
     "  filter set off             every frame passes"},
    {"time", tool::RunTime,
     "time get                   the device clock\n"
     "  time set [SECONDS[.FRACTION]|now]   set it (UTC seconds since 1970; default now)"},
    {"send", tool::RunSend,
     "send ID#DATA ... [--count N] [--rate R] [--confirm]\n"
     "                             write frames (cansend syntax: 123#DEADBEEF, 1234ABCD#00.11,\n"
     "                             123#R remote); N rounds (0: until Ctrl-C), R frames/s;\n"
     "                             --confirm: the gateway confirms every frame"},
    {"dump", tool::RunDump,
     "dump [--count N] [--filter ID:MASK]... [--timeout MS]\n"
     "                             print received frames in candump's log format; --timeout\n"
     "                             also ends the dump after MS without a frame"},
    {"io", tool::RunIo,
     "io read                    digital and analog inputs and outputs\n"
     "  io write digital BITS      set the digital outputs\n"
     "  io write analog V ...      set analog outputs 0.."},
    {"power", tool::RunPower,
     "power                      power status\n"
     "  power relay on|off         switch the power relay\n"
     "  power supplies MASK        bit i: supply i active"},
    {"canopen", tool::RunCanopen, "canopen get|on|off         the port's CANopen manager mode"},
    {"nmt", tool::RunNmt, "nmt NODE start|stop|preop|reset|reset-comm   (NODE 0: all nodes)"},
    {"sdo", tool::RunSdo,
     "sdo read NODE INDEX[:SUB]  read an entry (index in hex); long ones by block read\n"
     "  sdo write NODE INDEX[:SUB] VALUE [--size 1-4]\n"
     "  sdo upload NODE INDEX[:SUB] FILE     block read into a file\n"
     "  sdo download NODE INDEX[:SUB] FILE   block write from a file"},
    {"restart", tool::RunRestart, "restart                    ask the gateway to restart"},
    {"errmsg", nullptr,
     "errmsg CODE                the message of a result code (decimal or 0x hex)"},
    {"version", nullptr, "version                    the library's version text"},
    {"demo", tool::RunDemo,
     "demo [--pcap FILE]         start a simulated gateway and walk through the library;\n"
     "                             --pcap: write its traffic to FILE as a pcap capture"},
};

void PrintUsage(FILE* to) {
    std::fprintf(to,
                 "usage: tessara-can [options] COMMAND [ARGS]\n"
                 "options (anywhere on the line):\n"
                 "  --host H       gateway address or host name (127.0.0.1)\n"
                 "  --port P       CAN port 0-99 (0); TCP port 5001 + 100 * P\n"
                 "  --timeout MS   time the library waits for the gateway (2000)\n"
                 "  --udp          talk to the gateway over UDP\n"
                 "commands:\n");
    for (const Command& c : kCommands) std::fprintf(to, "  %s\n", c.sUsage);
    std::fprintf(to,
                 "Exit status: 0 done, 1 the library or the gateway reported a failure (its\n"
                 "message on stderr), 2 the command line is wrong.\n");
}

int RunErrmsg(const tool::Options& options) {
    long long code = 0;
    if (options.oArgs.size() != 1 ||
        !tool::ParseInt(options.oArgs[0], -2147483647LL - 1, 0xFFFFFFFFLL, &code))
        return tool::UsageError("errmsg needs one result code, e.g. 0x224");
    std::printf("%s\n", tool::Message(static_cast<int>(static_cast<uint32_t>(code))).c_str());
    return tool::kExitOk;
}

int RunVersion(const tool::Options& options) {
    if (!options.oArgs.empty()) return tool::UsageError("version takes no arguments");
    char text[128];
    DLLInfo(text, sizeof text);
    std::printf("%s\n", text);
    return tool::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    tool::Options options;
    std::string command;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long long n = 0;
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return tool::kExitOk;
        } else if (arg == "--host") {
            if (value == nullptr || *value == '\0')
                return tool::UsageError("--host needs an address");
            options.sHost = value;
            ++i;
        } else if (arg == "--port") {
            if (value == nullptr || !tool::ParseInt(value, 0, 255, &n))
                return tool::UsageError("--port needs a CAN port number 0-99");
            options.nPort = static_cast<int>(n);
            ++i;
        } else if (arg == "--timeout") {
            if (value == nullptr || !tool::ParseInt(value, 1, 0x7FFFFFFF, &n))
                return tool::UsageError("--timeout needs milliseconds above 0");
            options.nTimeoutMs = static_cast<int>(n);
            options.bTimeoutGiven = true;
            ++i;
        } else if (arg == "--udp") {
            options.bUdp = true;
        } else if (command.empty()) {
            command = arg;
        } else {
            options.oArgs.push_back(arg);
        }
    }
    if (command.empty()) {
        PrintUsage(stderr);
        return tool::kExitUsage;
    }
    if (command == "errmsg") return RunErrmsg(options);
    if (command == "version") return RunVersion(options);
    for (const Command& c : kCommands) {
        if (command == c.sName && c.pRun != nullptr) return c.pRun(options);
    }
    return tool::UsageError("unknown command '" + command + "'");
}
