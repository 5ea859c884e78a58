// tessara-can: failure reporting, the open device, argument parsing and the
// stop signals shared by the subcommands.
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "tool.h"

namespace tool {

namespace {

// Read by other threads too (the socketcand server's reconnects): an atomic,
// lock-free so that the signal handler may set it.
std::atomic<int> gStop{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set in a signal handler");

extern "C" void OnStopSignal(int) {
    gStop.store(1);
}

}  // namespace

std::string Message(int result) {
    char text[256];
    CANErrorMessage(result, text, sizeof text);
    return text;
}

int Fail(const std::string& what, int result) {
    std::fprintf(stderr, "tessara-can: %s: %s (0x%X)\n", what.c_str(), Message(result).c_str(),
                 static_cast<unsigned>(result));
    return kExitFailed;
}

int FailText(const std::string& what) {
    std::fprintf(stderr, "tessara-can: %s\n", what.c_str());
    return kExitFailed;
}

int UsageError(const std::string& text) {
    std::fprintf(stderr, "tessara-can: %s\n(tessara-can --help lists the commands)\n",
                 text.c_str());
    return kExitUsage;
}

Device::~Device() {
    if (nHandle >= 0) CANCloseDevice(nHandle);
}

int Device::Open(const Options& options, bool confirmData, bool monitor) {
    int handle = -1;
    const int result =
        CANOpenDeviceEx(&handle, confirmData ? 1 : 0, monitor ? 1 : 0, options.nPort,
                        options.sHost.c_str(), options.nTimeoutMs, options.bUdp ? 2 : 1);
    if (result == 0) nHandle = handle;
    return result;
}

bool TakeOptions(std::vector<std::string>* args, const std::set<std::string>& flags,
                 const std::set<std::string>& valued, std::map<std::string, std::string>* out,
                 std::string* error) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < args->size(); ++i) {
        const std::string& a = (*args)[i];
        if (a.size() < 3 || a.compare(0, 2, "--") != 0) {
            rest.push_back(a);
        } else if (flags.count(a) != 0) {
            (*out)[a] = "1";
        } else if (valued.count(a) != 0) {
            if (i + 1 >= args->size()) {
                *error = a + " needs a value";
                return false;
            }
            (*out)[a] = (*args)[++i];
        } else {
            *error = "unknown option " + a;
            return false;
        }
    }
    *args = rest;
    return true;
}

bool ParseInt(const std::string& text, long long min, long long max, long long* out) {
    const size_t at = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (text.size() <= at || std::isxdigit(static_cast<unsigned char>(text[at])) == 0) return false;
    // 0x for hex; otherwise decimal, also with leading zeros (no octal).
    const bool hex =
        text.size() > at + 2 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X');
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

bool ParseHex(const std::string& text, unsigned long long max, unsigned long long* out) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 16 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    const unsigned long long v = std::strtoull(digits.c_str(), nullptr, 16);
    if (v > max) return false;
    *out = v;
    return true;
}

bool ParseCanId(const std::string& text, CanId* out) {
    if (text.size() != 3 && text.size() != 8) return false;
    if (text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    const bool extended = text.size() == 8;
    unsigned long long v = 0;
    if (!ParseHex(text, extended ? 0x1FFFFFFFull : 0x7FFull, &v)) return false;
    out->nId = static_cast<uint32_t>(v);
    out->bExtended = extended;
    return true;
}

std::string FormatCanId(uint32_t id, bool extended) {
    char text[16];
    std::snprintf(text, sizeof text, extended ? "%08X" : "%03X", static_cast<unsigned>(id));
    return text;
}

bool StopRequested() {
    return gStop.load() != 0;
}

void CatchStopSignals() {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
}

}  // namespace tool
