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

// Each usage line is "NAME ARGS", at least two spaces, and its description;
// or "NAME ARGS" alone with the description on the following lines, indented
// to column 29 (help2man reads the same layout into the man page).
const Command kCommands[] = {
    {"info", tool::RunInfo,
     "info                       device record: serial number, versions, ports"},
    {"status", tool::RunStatus, "status                     the gateway's status text"},
    {"state", tool::RunState,
     "state                      open the port and print the connection state"},
    {"config", tool::RunConfig,
     "config get                 bit rate, mode, termination, transceiver, time stamps\n"
     "  config set [OPTIONS]       set --bitrate N, --mode normal|listen-only|off,\n"
     "                             --termination on|off, --high-speed on|off,\n"
     "                             --timestamps on|off; what is not given stays"},
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
     "                             --confirm: the gateway confirms every frame; up to 255\n"
     "                             data bytes (123#00112233445566778899)"},
    {"dump", tool::RunDump,
     "dump [--count N] [--filter ID:MASK]... [--timeout MS]\n"
     "                             print received frames in candump's log format; --timeout\n"
     "                             also ends the dump after MS without a frame"},
    {"sniff", tool::RunSniff,
     "sniff [--filter ID:MASK]... [--once SECONDS] [--forget SECONDS]\n"
     "                             live table of the bus, one row per identifier (keys: q quit,\n"
     "                             p pause, c clear); without a terminal or with --once, one\n"
     "                             plain table; rows silent for --forget (10 s) are dropped"},
    {"busload", tool::RunBusload,
     "busload [--interval MS] [--count N] [--filter ID:MASK]...\n"
     "                             frames/s and load in % of the port's bit rate per interval\n"
     "                             (1000 ms), stuff bits worst case (typical in brackets)"},
    {"play", tool::RunPlay,
     "play FILE [--speed X] [--loop N] [--no-timing] [--map NAME=PORT]...\n"
     "                             send a candump log at its timing (X times faster; N times,\n"
     "                             0: for ever; as fast as possible); --map: interface to port"},
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
     "                             write an entry (VALUE in 1-4 bytes)\n"
     "  sdo upload NODE INDEX[:SUB] FILE     block read into a file\n"
     "  sdo download NODE INDEX[:SUB] FILE   block write from a file"},
    {"restart", tool::RunRestart, "restart                    ask the gateway to restart"},
    {"errmsg", nullptr,
     "errmsg CODE                the message of a result code (decimal or 0x hex)"},
    {"version", nullptr, "version                    the library's version text"},
    {"demo", tool::RunDemo,
     "demo [--pcap FILE]         start a simulated gateway and walk through the library;\n"
     "                             --pcap: write its traffic to FILE as a pcap capture"},
    {"socketcand", tool::RunSocketcand,
     "socketcand [--listen ADDR:PORT]... [--bus NAME=HOST:CANPORT]... [--max-clients N]\n"
     "             [--beacon] [--beacon-to ADDR:PORT] [--client-buffer BYTES] [--stall-ms MS]\n"
     "             [--reconnect]\n"
     "                             serve gateway ports to socketcand clients (default\n"
     "                             127.0.0.1:29536, bus tessaraP for --host and --port);\n"
     "                             no authentication: bind other addresses with care;\n"
     "                             --reconnect: a lost gateway link is reopened with\n"
     "                             back-off and the client sessions stay"},
};

bool LeftOut(const char* name) {
    for (const char* const* n = tool::kLeftOutCommands; *n != nullptr; ++n) {
        if (std::strcmp(*n, name) == 0) return true;
    }
    return false;
}

// The man page tessara-can(1) is made from this text by help2man: "Usage:"
// becomes the synopsis, the paragraph after it the description, and each
// line ending in a colon a section.
void PrintUsage(FILE* to) {
    std::fprintf(to,
                 "Usage: tessara-can [options] COMMAND [ARGS]\n"
                 "Runs one command on a CAN port of a Tessara CAN gateway through the library's\n"
                 "C interface. Results go to stdout; a failure prints the library's message and\n"
                 "result code on stderr. Options may stand anywhere on the line.\n"
                 "\n"
                 "Options:\n"
                 "  --host H       gateway address or host name (127.0.0.1)\n"
                 "  --port P       CAN port 0-99 (0); TCP port 5001 + 100 * P\n"
                 "  --timeout MS   time the library waits for the gateway (2000)\n"
                 "  --udp          talk to the gateway over UDP\n"
                 "  -h, --help     this text\n"
                 "\n"
                 "Options of send, dump, sniff, busload and play:\n"
                 "  --reconnect    reopen a lost link with back-off and go on\n"
                 "  --bitrate N    set the port's bit rate first (again after a reconnect)\n"
                 "\n"
                 "Commands:\n");
    for (const Command& c : kCommands) {
        std::fprintf(to, "  %s\n", c.sUsage);
        if (LeftOut(c.sName))
            std::fprintf(to, "                             (not available on %s)\n",
                         tool::kBuildSystem);
    }
    std::fprintf(to,
                 "\n"
                 "Frames:\n"
                 "  ID#DATA with ID in 3 hex digits (standard) or 8 (extended), DATA as hex byte\n"
                 "  pairs, optionally separated by dots, up to 255 bytes; ID#R is a remote frame.\n"
                 "  dump prints (seconds.microseconds) tessaraN ID#DATA, N being the CAN port.\n"
                 "\n"
                 "Exit status:\n"
                 "  0  done\n"
                 "  1  the library or the gateway reported a failure (its message on stderr)\n"
                 "  2  the command line is wrong\n"
                 "\n"
                 "Examples:\n"
                 "  tessara-can --host 192.168.1.50 info\n"
                 "                             the device record of a gateway\n"
                 "  tessara-can config set --bitrate 250000 --termination on\n"
                 "                             250 kbit/s, termination on, the rest as it was\n"
                 "  tessara-can send 123#DEADBEEF 1ABCDEF0#00.11.22 7FF#R\n"
                 "                             a standard, an extended and a remote frame\n"
                 "  tessara-can dump --count 100 --filter 100:700 > bus.log\n"
                 "                             100 frames with identifiers 0x100-0x1FF\n"
                 "  tessara-can sdo read 5 1018:4\n"
                 "                             the serial number of CANopen node 5\n"
                 "\n"
                 "See also: tessara-sim(1), the reference of TessaraCan.h.\n");
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
