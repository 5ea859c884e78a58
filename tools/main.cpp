// tessara-can: command-line tool over the library's public C interface.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TessaraCan.h"
#include "tool.h"

namespace {

void Usage() {
    std::puts(
        "usage: tessara-can [--host H] [--port P] [--timeout MS] [--udp] COMMAND [ARGS]\n"
        "commands:\n"
        "  demo          start an embedded simulator and walk through the library\n"
        "  state         open the port and print the connection state\n"
        "  errmsg CODE   print the message of a result code (decimal or 0x hex)\n"
        "  version       print the library's version text");
}

int Fail(int result) {
    char message[160];
    CANErrorMessage(result, message, sizeof message);
    std::fprintf(stderr, "error: %s (0x%X)\n", message, static_cast<unsigned>(result));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    tool::Options options;
    std::string command;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else if (arg == "--host" && hasValue) {
            options.sHost = argv[++i];
        } else if (arg == "--port" && hasValue) {
            options.nPort = std::atoi(argv[++i]);
        } else if (arg == "--timeout" && hasValue) {
            options.nTimeoutMs = std::atoi(argv[++i]);
        } else if (arg == "--udp") {
            options.bUdp = true;
        } else if (command.empty()) {
            command = arg;
        } else {
            options.oArgs.push_back(arg);
        }
    }
    if (command == "demo") return tool::RunDemo(options);
    if (command == "version") {
        char text[64];
        DLLInfo(text, sizeof text);
        std::puts(text);
        return 0;
    }
    if (command == "errmsg" && !options.oArgs.empty()) {
        const long code = std::strtol(options.oArgs[0].c_str(), nullptr, 0);
        char text[160];
        CANErrorMessage(static_cast<int>(code), text, sizeof text);
        std::puts(text);
        return 0;
    }
    if (command == "state") {
        int handle = -1;
        const int rc = CANOpenDeviceEx(&handle, 0, 0, options.nPort, options.sHost.c_str(),
                                       options.nTimeoutMs, options.bUdp ? 2 : 1);
        if (rc != 0) return Fail(rc);
        std::printf("%d\n", CANDeviceConnectState(handle));
        CANCloseDevice(handle);
        return 0;
    }
    Usage();
    return 2;
}
