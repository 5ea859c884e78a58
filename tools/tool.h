// Shared pieces of the tessara-can command-line tool: common options and a
// step printer that shows each call's result message.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "TessaraCan.h"

namespace tool {

struct Options {
    std::string sHost = "127.0.0.1";
    int nPort = 0;
    int nTimeoutMs = 2000;
    bool bUdp = false;
    std::vector<std::string> oArgs;  // what follows the subcommand
};

// Prints "step ... message" lines and counts failures.
class Steps {
public:
    // Prints the step with the library's message for `result`; true on 0.
    bool Check(const char* what, int result) {
        char message[160];
        CANErrorMessage(result, message, sizeof message);
        ++nCount;
        if (result != 0) ++nFailures;
        std::printf("%-58s %s%s\n", what, result == 0 ? "" : "FAILED: ", message);
        return result == 0;
    }
    bool Failed() const { return nFailures != 0; }
    int Count() const { return nCount; }
    int FailureCount() const { return nFailures; }

private:
    int nCount = 0;
    int nFailures = 0;
};

int RunDemo(const Options& options);

}  // namespace tool
