// tessara-sim: runs the gateway simulator until SIGINT or SIGTERM, printing
// one line per connection and per received telegram. Simulator program.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "gateway.h"
#include "protocol/commands.h"
#include "protocol/telegram.h"
#include "transport/platform.h"

namespace {

volatile std::sig_atomic_t gStopRequested = 0;

extern "C" void OnSignal(int) {
    gStopRequested = 1;
}

const char kUsage[] =
    "usage: tessara-sim [options]\n"
    "  --bind ADDR            numeric IPv4 or IPv6 address to listen on (127.0.0.1)\n"
    "  --ports LIST           CAN ports, e.g. 0-3,5 (0); CAN port n listens on\n"
    "                         base + 100 * n over TCP and UDP\n"
    "  --base-port N          port of CAN port 0 (5001); 0 lets the system choose\n"
    "  --no-tcp, --no-udp     leave out one transport\n"
    "  --connect-answer V     accept, full, silent or a result byte 0-255 (accept)\n"
    "  --max-links N          accepted CONNECTs per CAN port, 0 for no limit (0)\n"
    "  --alive-ms N           send ALIVE requests with period N to every client\n"
    "  --reply-delay MS       wait before every answer (0)\n"
    "  --node ID[@PORT]       host a CANopen node 1-127 on a CAN port (repeatable)\n"
    "  --quiet                print connections only, not telegrams\n"
    "  --help                 this text\n";

// Name of a command code: the first row of the table with that code, which
// for shared codes is the request's.
const char* CommandName(uint8_t code) {
#define TES_SIM_NAME(name, value, text) \
    if (code == (value)) return #name;
    TES_COMMAND_TABLE(TES_SIM_NAME)
#undef TES_SIM_NAME
    return "UNKNOWN";
}

bool ParseNumber(const char* text, unsigned long max, unsigned long* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (*end != '\0' || v > max) return false;
    *out = v;
    return true;
}

// "0-3,5" -> {0, 1, 2, 3, 5}
bool ParsePorts(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        const size_t dash = item.find('-');
        unsigned long first = 0, last = 0;
        if (dash == std::string::npos) {
            if (!ParseNumber(item.c_str(), 99, &first)) return false;
            last = first;
        } else if (!ParseNumber(item.substr(0, dash).c_str(), 99, &first) ||
                   !ParseNumber(item.substr(dash + 1).c_str(), 99, &last) || last < first) {
            return false;
        }
        for (unsigned long p = first; p <= last; ++p) out->push_back(static_cast<uint8_t>(p));
        at = comma + 1;
    }
    return !out->empty();
}

std::string Hex(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
    std::string out;
    char b[4];
    for (size_t i = from; i < to && i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", bytes[i]);
        out += b;
    }
    return out;
}

std::mutex gPrintMutex;

void Print(const tes::sim::GatewayEvent& e, bool quiet) {
    using Kind = tes::sim::GatewayEvent::Kind;
    const tes::sim::ConnectionInfo& c = e.oConnection;
    const char* transport = c.nTransport == tes::sys::kTransportUdp ? "udp" : "tcp";
    std::lock_guard<std::mutex> lock(gPrintMutex);
    if (e.eKind == Kind::kOpened) {
        std::printf("[%zu] opened: %s, CAN port %u, client %s\n", c.nIndex, transport, c.nCanPort,
                    c.sPeer.c_str());
    } else if (e.eKind == Kind::kClosed) {
        std::printf("[%zu] closed\n", c.nIndex);
    } else if (!quiet) {
        const std::vector<uint8_t>& t = e.oBytes;
        if (t.size() < tes::kTelegramOverhead) {
            std::printf("[%zu] fragment of %zu bytes: %s\n", c.nIndex, t.size(),
                        Hex(t, 0, t.size()).c_str());
        } else {
            const uint16_t word = tes::GetU16(&t[2]);
            const bool confirmation = (word & tes::kConfirmationFlag) != 0;
            std::printf("[%zu] %04X %s%s id %u, %zu data bytes%s%s\n", c.nIndex, word,
                        CommandName(static_cast<uint8_t>(word)),
                        confirmation ? " confirmation" : "", tes::GetU16(&t[4]), t.size() - 7,
                        t.size() > 7 ? ": " : "",
                        Hex(t, 6, std::min<size_t>(t.size() - 1, 6 + 32)).c_str());
        }
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    tes::sim::GatewayOptions options;
    options.nMaxLogEntries = 1000;                   // a long run must not keep everything
    std::vector<std::pair<uint8_t, uint8_t>> nodes;  // (node, CAN port)
    bool quiet = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long n = 0;
        auto bad = [&](const char* what) {
            std::fprintf(stderr, "tessara-sim: %s: %s\n%s", arg.c_str(), what, kUsage);
            return 2;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--bind") {
            if (value == nullptr) return bad("needs an address");
            options.sBindAddress = value;
            ++i;
        } else if (arg == "--ports") {
            if (value == nullptr || !ParsePorts(value, &options.oCanPorts))
                return bad("needs a list like 0-3,5 of ports 0 to 99");
            ++i;
        } else if (arg == "--base-port") {
            if (!ParseNumber(value, 65535, &n)) return bad("needs a port number");
            options.nBasePort = static_cast<uint16_t>(n);
            ++i;
        } else if (arg == "--no-tcp") {
            options.bTcp = false;
        } else if (arg == "--no-udp") {
            options.bUdp = false;
        } else if (arg == "--connect-answer") {
            const std::string v = value != nullptr ? value : "";
            if (v == "accept") {
                options.oConnectAnswer = 0;
            } else if (v == "full") {
                options.oConnectAnswer = 1;
            } else if (v == "silent") {
                options.oConnectAnswer = std::nullopt;
            } else if (ParseNumber(value, 255, &n)) {
                options.oConnectAnswer = static_cast<uint8_t>(n);
            } else {
                return bad("needs accept, full, silent or 0-255");
            }
            ++i;
        } else if (arg == "--max-links") {
            if (!ParseNumber(value, 0xFFFFFFFFul, &n)) return bad("needs a number");
            options.nMaxLinksPerPort = static_cast<uint32_t>(n);
            ++i;
        } else if (arg == "--alive-ms") {
            if (!ParseNumber(value, 0xFFFFFFFFul, &n)) return bad("needs milliseconds");
            options.nAliveMs = static_cast<uint32_t>(n);
            ++i;
        } else if (arg == "--reply-delay") {
            if (!ParseNumber(value, 0xFFFFFFFFul, &n)) return bad("needs milliseconds");
            options.nReplyDelayMs = static_cast<uint32_t>(n);
            ++i;
        } else if (arg == "--node") {
            const std::string v = value != nullptr ? value : "";
            const size_t at = v.find('@');
            unsigned long port = 0;
            if (!ParseNumber(v.substr(0, at).c_str(), 127, &n) || n == 0 ||
                (at != std::string::npos && !ParseNumber(v.substr(at + 1).c_str(), 99, &port)))
                return bad("needs a node id 1-127, optionally @CAN port");
            nodes.emplace_back(static_cast<uint8_t>(n), static_cast<uint8_t>(port));
            ++i;
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            return bad("unknown option");
        }
    }

    tes::sim::Gateway gateway;
    for (const auto& node : nodes) {
        if (std::find(options.oCanPorts.begin(), options.oCanPorts.end(), node.second) ==
            options.oCanPorts.end()) {
            std::fprintf(stderr, "tessara-sim: node %u is on CAN port %u, which is not served\n",
                         node.first, node.second);
            return 2;
        }
        if (!gateway.AddNode(node.first, node.second)) {
            std::fprintf(stderr, "tessara-sim: node %u on CAN port %u is given twice\n", node.first,
                         node.second);
            return 2;
        }
    }
    gateway.SetEventHook([quiet](const tes::sim::GatewayEvent& e) { Print(e, quiet); });
    std::string error;
    if (!gateway.Start(options, &error)) {
        std::fprintf(stderr, "tessara-sim: %s\n", error.c_str());
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    {
        std::lock_guard<std::mutex> lock(gPrintMutex);
        std::printf("tessara-sim: listening on %s:", options.sBindAddress.c_str());
        for (uint8_t p : options.oCanPorts) {
            std::printf(" CAN %u (tcp %u, udp %u)", p, gateway.TcpPort(p), gateway.UdpPort(p));
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    while (gStopRequested == 0) tes::sys::SleepMs(100);
    gateway.Stop();
    std::printf("tessara-sim: stopped\n");
    return 0;
}
