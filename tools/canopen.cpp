// tessara-can: CANopen through the gateway's manager: the port's CANopen
// mode, NMT commands and SDO transfers (expedited, and block transfers to and
// from files).
#include <algorithm>
#include <fstream>
#include <iterator>

#include "tool.h"

namespace tool {

namespace {

constexpr int kResultNotCanopen = 0x2FE;  // "CANOpen mode not switched on"

// SDO reply bytes: the command byte of the node's SDO response.
constexpr unsigned kSdoSegmented = 0x41;  // longer than 4 bytes; value = its size
constexpr unsigned kSdoWritten = 0x60;
constexpr unsigned kSdoAbort = 0x80;  // value = abort code
constexpr unsigned kSdoBlockReadDone = 0xC1;
constexpr unsigned kSdoBlockWriteDone = 0xA1;

constexpr int kBlockBuffer = 65535;       // largest a block read can ask for
constexpr size_t kBlockWriteMax = 65524;  // largest data part of a telegram less the SDO address

const char* AbortText(uint32_t code) {
    switch (code) {
        case 0x05040001:
            return "command specifier not valid or unknown";
        case 0x06010000:
            return "unsupported access to an object";
        case 0x06010001:
            return "attempt to read a write-only object";
        case 0x06010002:
            return "attempt to write a read-only object";
        case 0x06020000:
            return "object does not exist in the object dictionary";
        case 0x06070010:
            return "data type does not match, length of service parameter does not match";
        case 0x06070012:
            return "data type does not match, length of service parameter too high";
        case 0x06070013:
            return "data type does not match, length of service parameter too low";
        case 0x06090011:
            return "sub-index does not exist";
        case 0x06090030:
            return "invalid value for parameter";
        case 0x08000000:
            return "general error";
        default:
            return "abort";
    }
}

int FailCanopen(const std::string& what, int result) {
    Fail(what, result);
    if (result == kResultNotCanopen)
        std::fprintf(stderr, "tessara-can: switch it on with: tessara-can canopen on\n");
    return kExitFailed;
}

int FailAbort(const std::string& what, uint32_t code) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return FailText(what + ": SDO abort " + text + " (" + AbortText(code) + ")");
}

bool ParseNode(const std::string& text, bool allowAll, int* out) {
    long long n = 0;
    if (!ParseInt(text, allowAll ? 0 : 1, 127, &n)) return false;
    *out = static_cast<int>(n);
    return true;
}

// INDEX[:SUB]: the index in hex (0x optional), the subindex a number.
bool ParseAddress(const std::string& text, int* index, int* subindex) {
    const size_t colon = text.find(':');
    unsigned long long i = 0;
    long long s = 0;
    if (!ParseHex(text.substr(0, colon), 0xFFFF, &i)) return false;
    if (colon != std::string::npos && !ParseInt(text.substr(colon + 1), 0, 255, &s)) return false;
    *index = static_cast<int>(i);
    *subindex = static_cast<int>(s);
    return true;
}

uint32_t LittleEndian(const char* p, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n && i < 4; ++i)
        v |= static_cast<uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return v;
}

// Text when every byte is printable (a trailing zero allowed), else hex.
std::string Show(const std::vector<char>& bytes) {
    size_t n = bytes.size();
    while (n > 0 && bytes[n - 1] == '\0') --n;
    const bool text = n > 0 && std::all_of(bytes.begin(), bytes.begin() + static_cast<long>(n),
                                           [](char c) { return c >= 0x20 && c < 0x7F; });
    if (text) return "\"" + std::string(bytes.begin(), bytes.begin() + static_cast<long>(n)) + "\"";
    std::string out;
    char b[4];
    for (char c : bytes) {
        std::snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", static_cast<unsigned char>(c));
        out += b;
    }
    return out.empty() ? "(empty)" : out;
}

int SdoTimeout(const Options& options) {
    return std::min(std::max(options.nTimeoutMs, 1), 0xFFFF);
}

}  // namespace

int RunCanopen(const Options& options) {
    const std::vector<std::string>& args = options.oArgs;
    if (args.size() != 1 || (args[0] != "get" && args[0] != "on" && args[0] != "off"))
        return UsageError("canopen needs get, on or off");
    Device device;
    int rc = device.Open(options);
    if (rc != 0) return Fail("open", rc);
    if (args[0] != "get") {
        rc = CANopenSetConfig(device.Handle(), args[0] == "on" ? 1 : 0);
        if (rc != 0) return Fail("canopen " + args[0], rc);
    }
    unsigned char mode = 0;
    rc = CANopenGetConfig(device.Handle(), &mode);
    if (rc != 0) return Fail("canopen get", rc);
    std::printf("CANopen mode %s\n", mode != 0 ? "on" : "off");
    return kExitOk;
}

int RunNmt(const Options& options) {
    const std::vector<std::string>& args = options.oArgs;
    static const std::map<std::string, int> kCommands = {
        {"start", 0x01}, {"stop", 0x02}, {"preop", 0x80}, {"reset", 0x81}, {"reset-comm", 0x82}};
    int node = 0;
    long long type = 0;
    if (args.size() != 2 || !ParseNode(args[0], true, &node))
        return UsageError(
            "nmt needs NODE (0 all, 1-127) and start, stop, preop, reset or reset-comm");
    const auto it = kCommands.find(args[1]);
    if (it != kCommands.end()) {
        type = it->second;
    } else if (!ParseInt(args[1], 0, 255, &type)) {
        return UsageError("nmt: '" + args[1] + "' is not start, stop, preop, reset or reset-comm");
    }
    Device device;
    int rc = device.Open(options);
    if (rc != 0) return Fail("open", rc);
    rc = CANopenSendNMT(device.Handle(), node, static_cast<int>(type));
    if (rc != 0) return FailCanopen("nmt", rc);
    std::printf("NMT %s sent to %s\n", args[1].c_str(),
                node == 0 ? "all nodes" : ("node " + std::to_string(node)).c_str());
    return kExitOk;
}

int RunSdo(const Options& options) {
    std::vector<std::string> args = options.oArgs;
    std::map<std::string, std::string> opts;
    std::string error;
    if (!TakeOptions(&args, {}, {"--size"}, &opts, &error)) return UsageError("sdo: " + error);
    const std::string verb = args.empty() ? "" : args[0];
    const size_t wanted = verb == "read"                                              ? 3
                          : verb == "write" || verb == "upload" || verb == "download" ? 4
                                                                                      : 0;
    if (wanted == 0 || args.size() != wanted)
        return UsageError(
            "sdo needs read NODE INDEX[:SUB], write NODE INDEX[:SUB] VALUE [--size 1-4], "
            "upload NODE INDEX[:SUB] FILE or download NODE INDEX[:SUB] FILE");
    int node = 0, index = 0, subindex = 0;
    if (!ParseNode(args[1], false, &node)) return UsageError("sdo: node ids are 1 to 127");
    if (!ParseAddress(args[2], &index, &subindex))
        return UsageError("sdo: '" + args[2] + "' is not INDEX[:SUB] (index in hex, e.g. 1008:0)");
    long long size = 0, value = 0;
    if (opts.count("--size") != 0 && (verb != "write" || !ParseInt(opts["--size"], 1, 4, &size)))
        return UsageError("sdo: --size 1-4 goes with write only");
    if (verb == "write" && !ParseInt(args[3], -2147483647LL - 1, 0xFFFFFFFFLL, &value))
        return UsageError("sdo write: '" + args[3] + "' is not a 32-bit number");
    std::vector<char> download;
    if (verb == "download") {
        std::ifstream in(args[3], std::ios::binary);
        if (!in) return FailText("sdo download: cannot read " + args[3]);
        download.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (download.size() > kBlockWriteMax)
            return FailText("sdo download: " + args[3] + " holds more than " +
                            std::to_string(kBlockWriteMax) + " bytes");
    }

    Device device;
    int rc = device.Open(options);
    if (rc != 0) return Fail("open", rc);
    const int h = device.Handle();
    const int timeout = SdoTimeout(options);
    char where[48];
    std::snprintf(where, sizeof where, "node %d %04X:%d", node, index, subindex);
    unsigned char reply = 0;
    int replyValue = 0;

    if (verb == "write") {
        rc = CANopenSendSDOWrite(h, node, static_cast<int>(size), index, subindex, timeout,
                                 static_cast<int>(static_cast<uint32_t>(value)), &reply,
                                 &replyValue);
        if (rc != 0) return FailCanopen("sdo write", rc);
        if (reply == kSdoAbort) return FailAbort("sdo write", static_cast<uint32_t>(replyValue));
        if (reply != kSdoWritten)
            return FailText("sdo write: unexpected SDO reply " + std::to_string(reply));
        std::printf("%s written: 0x%X\n", where, static_cast<unsigned>(value));
        return kExitOk;
    }
    if (verb == "download") {
        rc = CANopenSendSDOWriteBlock(h, node, index, subindex, timeout,
                                      static_cast<int>(download.size()), download.data(), &reply,
                                      &replyValue);
        if (rc != 0) return FailCanopen("sdo download", rc);
        if (reply == kSdoAbort) return FailAbort("sdo download", static_cast<uint32_t>(replyValue));
        if (reply != kSdoBlockWriteDone)
            return FailText("sdo download: unexpected SDO reply " + std::to_string(reply));
        std::printf("%s: downloaded %zu bytes from %s\n", where, download.size(), args[3].c_str());
        return kExitOk;
    }

    std::vector<char> block;
    if (verb == "read") {
        rc = CANopenSendSDORead(h, node, index, subindex, timeout, &reply, &replyValue);
        if (rc != 0) return FailCanopen("sdo read", rc);
        if (reply == kSdoAbort) return FailAbort("sdo read", static_cast<uint32_t>(replyValue));
        if (reply != kSdoSegmented) {
            // Expedited: 0x4F, 0x4B, 0x47, 0x43 carry 1, 2, 3, 4 bytes.
            if ((reply & 0xF3) != 0x43)
                return FailText("sdo read: unexpected SDO reply " + std::to_string(reply));
            const int bytes = 4 - ((reply >> 2) & 3);
            const uint32_t v = static_cast<uint32_t>(replyValue) &
                               (bytes == 4 ? 0xFFFFFFFFu : (1u << (8 * bytes)) - 1);
            std::printf("%s = 0x%0*X (%u)\n", where, 2 * bytes, static_cast<unsigned>(v),
                        static_cast<unsigned>(v));
            return kExitOk;
        }
        // Longer than 4 bytes: fetched with a block read.
    }
    block.resize(kBlockBuffer);
    int length = 0;
    rc = CANopenSendSDOReadBlock(h, node, index, subindex, timeout, kBlockBuffer, &reply, &length,
                                 block.data());
    const std::string what = verb == "read" ? "sdo read" : "sdo upload";
    if (rc != 0) return FailCanopen(what, rc);
    block.resize(static_cast<size_t>(std::max(length, 0)));
    if (reply == kSdoAbort) return FailAbort(what, LittleEndian(block.data(), block.size()));
    if (reply != kSdoBlockReadDone)
        return FailText(what + ": unexpected SDO reply " + std::to_string(reply));
    if (verb == "read") {
        std::printf("%s = %s\n", where, Show(block).c_str());
        return kExitOk;
    }
    std::ofstream out(args[3], std::ios::binary | std::ios::trunc);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
    out.close();
    if (!out) return FailText("sdo upload: cannot write " + args[3]);
    std::printf("%s: uploaded %zu bytes to %s\n", where, block.size(), args[3].c_str());
    return kExitOk;
}

}  // namespace tool
