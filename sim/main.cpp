// tessara-sim: runs the gateway simulator beside applications until SIGINT or
// SIGTERM (Ctrl-C on Windows too), with optional cyclic traffic, CANopen
// nodes, bridged ports and fault switches, printing one line per connection,
// per refused request and per received telegram. Simulator program.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "gateway.h"
#include "model.h"
#include "pcap_writer.h"
#include "transport/platform.h"
#include "wire/telegram.h"

namespace {

// The man page tessara-sim(1) is made from this text by help2man.
const char kUsage[] =
    "Usage: tessara-sim [options]\n"
    "Simulates a Tessara CAN gateway for development and tests: CAN port n listens\n"
    "on TCP and UDP port 5001 + 100 * n, speaks link control and answers every\n"
    "command from a model of the device (ports, clock, I/O, power supplies, a\n"
    "virtual bus per port, a CANopen manager with simulated nodes). It runs until\n"
    "SIGINT or SIGTERM and prints a line per connection, per refused request and,\n"
    "without --quiet, per telegram.\n"
    "\n"
    "Endpoints:\n"
    "  --bind ADDR              numeric IPv4 or IPv6 address to listen on (127.0.0.1)\n"
    "  --ports LIST             CAN ports 0-99, e.g. 0-3,5 (0)\n"
    "  --base-port N            port of CAN port 0 (5001); 0 lets the system choose\n"
    "  --no-tcp, --no-udp       leave out one transport\n"
    "\n"
    "The bus:\n"
    "  --bridge A:B             wire CAN ports A and B to one bus (repeatable)\n"
    "  --node ID[@PORT]         host a CANopen node 1-127 (repeatable; port 0)\n"
    "  --generate ID:RATE[:DATA][@PORT]\n"
    "                           put frame ID#DATA on the bus RATE times a second\n"
    "                           (repeatable); ID 3 hex digits standard, 8 extended;\n"
    "                           DATA hex bytes, without it a 4-byte counter\n"
    "\n"
    "Links and faults:\n"
    "  --max-connections N      accepted links per CAN port; the next CONNECT is\n"
    "                           refused with result 1 (0: no limit)\n"
    "  --silent                 do not answer CONNECT (the client's open times out)\n"
    "  --connect-answer V       accept, full, silent or a result byte 0-255 (accept)\n"
    "  --drop-after N           close a connection when its N-th telegram arrives,\n"
    "                           leaving that one unanswered\n"
    "  --freeze-after N         freeze a connection when its N-th telegram arrives:\n"
    "                           the socket stays open, nothing more is read,\n"
    "                           answered or sent on it\n"
    "  --delay-ms N             wait N ms before every confirmation\n"
    "  --alive-ms N             send ALIVE requests with period N to every client\n"
    "\n"
    "Output:\n"
    "  --quiet                  print connections and refusals only, not telegrams\n"
    "  --pcap FILE              write every connection's traffic to FILE as a pcap\n"
    "                           capture (Ethernet, IP, TCP or UDP)\n"
    "  -h, --help               this text\n"
    "\n"
    "Exit status:\n"
    "  0  stopped by SIGINT or SIGTERM\n"
    "  1  could not listen (address or port in use)\n"
    "  2  the command line is wrong\n"
    "\n"
    "Examples:\n"
    "  tessara-sim --bind ::1 --ports 0-3\n"
    "                           four CAN ports on the IPv6 loopback address\n"
    "  tessara-sim --ports 0-1 --bridge 0:1 --node 5 --node 6@1\n"
    "                           two ports on one bus, a CANopen node on each\n"
    "  tessara-sim --generate 123:10:DEADBEEF --generate 18FEF100:1\n"
    "                           cyclic frames: 10 a second and one a second\n"
    "  tessara-sim --max-connections 1 --delay-ms 500\n"
    "                           one link per port, every confirmation 0.5 s late\n"
    "\n"
    "See also: tessara-can(1).\n";

// Name of a command code; for shared codes the request's.
const char* CommandName(uint8_t code) {
    return tes::wire::NameOf(code);
}

// What a non-zero result byte of the simulated device means.
const char* ResultMeaning(uint16_t word, uint8_t result) {
    if (tes::wire::CodeOf(word) == tes::wire::CodeOf(tes::wire::kCmdConnect))
        return result == 1 ? "maximum number of connections reached" : "connection refused";
    switch (result) {
        case tes::sim::kResultTransmitError:
            return "transmit error: the port is listen-only or off";
        case tes::sim::kResultBadBitRate:
            return "bit rate not supported";
        case tes::sim::kResultNodeSilent:
            return "CANopen node does not answer";
        case tes::sim::kResultNotCanopen:
            return "CANopen mode not switched on";
        case tes::sim::kResultFailed:
            return "unknown command, wrong length or value out of range";
        default:
            return "refused";
    }
}

bool ParseNumber(const char* text, unsigned long max, unsigned long* out) {
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (*end != '\0' || v > max) return false;
    *out = v;
    return true;
}

bool IsHex(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
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

// Splits "text@PORT" into text and CAN port (0 without '@').
bool SplitPort(const std::string& text, std::string* head, uint8_t* port) {
    const size_t at = text.find('@');
    unsigned long n = 0;
    if (at != std::string::npos && !ParseNumber(text.substr(at + 1).c_str(), 99, &n)) return false;
    *head = text.substr(0, at);
    *port = static_cast<uint8_t>(n);
    return true;
}

// Cyclic traffic put on a bus through Gateway::InjectFrame.
struct Generator {
    uint8_t nCanPort = 0;
    uint32_t nId = 0;
    uint8_t nFlags = 0;
    bool bCounter = false;  // no DATA: a 4-byte little-endian counter
    std::vector<uint8_t> oData;
    double nRate = 0;
    std::string sText;  // as given, for the start-up line
    uint32_t nSent = 0;
    std::chrono::steady_clock::time_point oNext;
};

// ID:RATE[:DATA][@PORT]; ID as for cansend: 3 hex digits standard, 8 extended.
bool ParseGenerator(const std::string& text, Generator* out) {
    std::string entry;
    if (!SplitPort(text, &entry, &out->nCanPort)) return false;
    const size_t c1 = entry.find(':');
    if (c1 == std::string::npos) return false;
    const size_t c2 = entry.find(':', c1 + 1);
    const std::string id = entry.substr(0, c1);
    const std::string rate =
        entry.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
    const std::string data = c2 == std::string::npos ? "" : entry.substr(c2 + 1);
    if (!IsHex(id) || (id.size() != 3 && id.size() != 8)) return false;
    out->nId = static_cast<uint32_t>(std::strtoul(id.c_str(), nullptr, 16));
    out->nFlags = id.size() == 8 ? tes::sim::kFlagExtended : 0;
    if (out->nId > (id.size() == 8 ? tes::sim::kMaxExtendedId : tes::sim::kMaxStandardId))
        return false;
    char* end = nullptr;
    out->nRate = std::strtod(rate.c_str(), &end);
    if (rate.empty() || *end != '\0' || !(out->nRate > 0) || out->nRate > 100000) return false;
    out->bCounter = c2 == std::string::npos;
    if (!out->bCounter) {
        if ((!data.empty() && !IsHex(data)) || data.size() % 2 != 0 ||
            data.size() / 2 > tes::sim::kMaxFrameData)
            return false;
        for (size_t i = 0; i < data.size(); i += 2)
            out->oData.push_back(
                static_cast<uint8_t>(std::strtoul(data.substr(i, 2).c_str(), nullptr, 16)));
    }
    out->sText = entry;
    return true;
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

struct Printer {
    bool bQuiet = false;
    std::optional<uint8_t> oConnectAnswer;
    uint32_t nDropAfter = 0;
    uint32_t nFreezeAfter = 0;
    std::mutex oMutex;
    std::map<size_t, uint64_t> oReceived;  // telegrams per connection

    void Print(const tes::sim::GatewayEvent& e) {
        using Kind = tes::sim::GatewayEvent::Kind;
        const tes::sim::ConnectionInfo& c = e.oConnection;
        const std::vector<uint8_t>& t = e.oBytes;
        const bool whole = t.size() >= tes::wire::kOverhead;
        const uint16_t word = whole ? tes::wire::GetU16(&t[2]) : 0;
        const char* name = CommandName(static_cast<uint8_t>(word));
        std::lock_guard<std::mutex> lock(oMutex);
        if (e.eKind == Kind::kOpened) {
            std::printf("[%zu] opened: %s, CAN port %u, client %s\n", c.nIndex,
                        c.nTransport == tes::sys::kTransportUdp ? "udp" : "tcp", c.nCanPort,
                        c.sPeer.c_str());
        } else if (e.eKind == Kind::kClosed) {
            std::printf("[%zu] closed\n", c.nIndex);
        } else if (e.eKind == Kind::kAnswered) {
            // A confirmation carries the result byte first; 0 is "executed".
            if (whole && t.size() > tes::wire::kOverhead && t[6] != 0) {
                std::printf("[%zu] refused %s (id %u): result 0x%02X, %s\n", c.nIndex, name,
                            tes::wire::GetU16(&t[4]), t[6], ResultMeaning(word, t[6]));
            }
        } else {
            const uint64_t n = ++oReceived[c.nIndex];
            if (!bQuiet) PrintTelegram(c.nIndex, t);
            if (nDropAfter != 0 && n == nDropAfter) {
                std::printf("[%zu] dropping the link at its telegram %llu (--drop-after)\n",
                            c.nIndex, static_cast<unsigned long long>(n));
            } else if (nFreezeAfter != 0 && n == nFreezeAfter) {
                std::printf("[%zu] freezing the link at its telegram %llu (--freeze-after)\n",
                            c.nIndex, static_cast<unsigned long long>(n));
            } else if (whole && word == tes::wire::kCmdConnect && !oConnectAnswer) {
                std::printf("[%zu] CONNECT left unanswered (--silent)\n", c.nIndex);
            }
        }
        if (e.eKind == Kind::kClosed) oReceived.erase(c.nIndex);
        std::fflush(stdout);
    }

    static void PrintTelegram(size_t index, const std::vector<uint8_t>& t) {
        if (t.size() < tes::wire::kOverhead) {
            std::printf("[%zu] fragment of %zu bytes: %s\n", index, t.size(),
                        Hex(t, 0, t.size()).c_str());
            return;
        }
        const uint16_t word = tes::wire::GetU16(&t[2]);
        const bool confirmation = (word & tes::wire::kConfirmation) != 0;
        std::printf("[%zu] %04X %s%s id %u, %zu data bytes%s%s\n", index, word,
                    CommandName(static_cast<uint8_t>(word)), confirmation ? " confirmation" : "",
                    tes::wire::GetU16(&t[4]), t.size() - 7, t.size() > 7 ? ": " : "",
                    Hex(t, 6, std::min<size_t>(t.size() - 1, 6 + 32)).c_str());
    }
};

// Puts every frame that is due on its bus; returns when the next one is due.
std::chrono::steady_clock::time_point RunGenerators(tes::sim::Gateway& gateway,
                                                    std::vector<Generator>& generators) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    Clock::time_point next = now + std::chrono::milliseconds(100);
    for (Generator& g : generators) {
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / g.nRate));
        while (g.oNext <= now) {
            std::vector<uint8_t> data = g.oData;
            if (g.bCounter) {
                data.clear();
                tes::sim::AppendU32(&data, g.nSent);
            }
            gateway.InjectFrame(g.nCanPort, g.nId, g.nFlags, data);
            ++g.nSent;
            g.oNext += period;
            // Far behind (a client that stalled the sends): no long burst to catch up.
            if (g.oNext + std::chrono::milliseconds(100) < now) g.oNext = now + period;
        }
        next = std::min(next, g.oNext);
    }
    return next;
}

}  // namespace

int main(int argc, char** argv) {
    tes::sim::GatewayOptions options;
    options.nMaxLogEntries = 1000;                   // a long run must not keep everything
    std::vector<std::pair<uint8_t, uint8_t>> nodes;  // (node, CAN port)
    std::vector<Generator> generators;
    bool quiet = false;
    std::string pcapPath;  // --pcap

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        const std::string text = value != nullptr ? value : "";
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
        } else if (arg == "--bridge") {
            const size_t colon = text.find(':');
            unsigned long a = 0, b = 0;
            if (colon == std::string::npos || !ParseNumber(text.substr(0, colon).c_str(), 99, &a) ||
                !ParseNumber(text.substr(colon + 1).c_str(), 99, &b) || a == b)
                return bad("needs two different CAN ports A:B");
            options.oBridges.emplace_back(static_cast<uint8_t>(a), static_cast<uint8_t>(b));
            ++i;
        } else if (arg == "--node") {
            std::string id;
            uint8_t port = 0;
            if (!SplitPort(text, &id, &port) || !ParseNumber(id.c_str(), 127, &n) || n == 0)
                return bad("needs a node id 1-127, optionally @CAN port");
            nodes.emplace_back(static_cast<uint8_t>(n), port);
            ++i;
        } else if (arg == "--generate") {
            Generator g;
            if (!ParseGenerator(text, &g))
                return bad("needs ID:RATE[:DATA][@PORT], e.g. 123:10:DEADBEEF or 12345678:0.5");
            generators.push_back(g);
            ++i;
        } else if (arg == "--connect-answer") {
            if (text == "accept") {
                options.oConnectAnswer = 0;
            } else if (text == "full") {
                options.oConnectAnswer = 1;
            } else if (text == "silent") {
                options.oConnectAnswer = std::nullopt;
            } else if (ParseNumber(value, 255, &n)) {
                options.oConnectAnswer = static_cast<uint8_t>(n);
            } else {
                return bad("needs accept, full, silent or 0-255");
            }
            ++i;
        } else if (arg == "--silent") {
            options.oConnectAnswer = std::nullopt;
        } else if (arg == "--max-connections" || arg == "--max-links") {
            if (!ParseNumber(value, 0xFFFFFFFFul, &n)) return bad("needs a number");
            options.nMaxLinksPerPort = static_cast<uint32_t>(n);
            ++i;
        } else if (arg == "--drop-after") {
            if (!ParseNumber(value, 0xFFFFFFFFul, &n) || n == 0) return bad("needs a number > 0");
            options.nDropAfterTelegrams = static_cast<uint32_t>(n);
            ++i;
        } else if (arg == "--freeze-after") {
            if (!ParseNumber(value, 0xFFFFFFFFul, &n) || n == 0) return bad("needs a number > 0");
            options.nFreezeAfterTelegrams = static_cast<uint32_t>(n);
            ++i;
        } else if (arg == "--delay-ms" || arg == "--reply-delay") {
            if (!ParseNumber(value, 0xFFFFFFFFul, &n)) return bad("needs milliseconds");
            options.nReplyDelayMs = static_cast<uint32_t>(n);
            ++i;
        } else if (arg == "--alive-ms") {
            if (!ParseNumber(value, 0xFFFFFFFFul, &n)) return bad("needs milliseconds");
            options.nAliveMs = static_cast<uint32_t>(n);
            ++i;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--pcap") {
            if (value == nullptr || text.empty()) return bad("needs a file name");
            pcapPath = text;
            ++i;
        } else {
            return bad("unknown option");
        }
    }

    auto served = [&](uint8_t port) {
        return std::find(options.oCanPorts.begin(), options.oCanPorts.end(), port) !=
               options.oCanPorts.end();
    };
    tes::sim::Gateway gateway;
    for (const auto& node : nodes) {
        if (!served(node.second)) {
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
    for (const Generator& g : generators) {
        if (!served(g.nCanPort)) {
            std::fprintf(stderr, "tessara-sim: --generate %s: CAN port %u is not served\n",
                         g.sText.c_str(), g.nCanPort);
            return 2;
        }
    }

    Printer printer;
    printer.bQuiet = quiet;
    printer.oConnectAnswer = options.oConnectAnswer;
    printer.nDropAfter = options.nDropAfterTelegrams;
    printer.nFreezeAfter = options.nFreezeAfterTelegrams;
    gateway.SetEventHook([&printer](const tes::sim::GatewayEvent& e) { printer.Print(e); });
    std::string error;
    // ---- --pcap: the capture writer taps the gateway's connections
    auto capture = std::make_shared<tes::sim::PcapWriter>();
    if (!pcapPath.empty()) {
        if (!capture->Open(pcapPath, options.sBindAddress, &error)) {
            std::fprintf(stderr, "tessara-sim: %s\n", error.c_str());
            return 1;
        }
        gateway.SetWireTap(capture);
    }
    // ----
    if (!gateway.Start(options, &error)) {
        std::fprintf(stderr, "tessara-sim: %s\n", error.c_str());
        return 1;
    }
    // ---- stop requests: the programs' console layer (tools/console.h)
    console::CatchStopRequests();
    {
        std::lock_guard<std::mutex> lock(printer.oMutex);
        std::printf("tessara-sim: listening on %s:", options.sBindAddress.c_str());
        for (uint8_t p : options.oCanPorts) {
            std::printf(" CAN %u (tcp %u, udp %u)", p, gateway.TcpPort(p), gateway.UdpPort(p));
        }
        std::printf("\n");
        for (const auto& b : options.oBridges)
            std::printf("tessara-sim: CAN ports %u and %u share one bus\n", b.first, b.second);
        for (const auto& node : nodes)
            std::printf("tessara-sim: CANopen node %u on CAN port %u\n", node.first, node.second);
        for (const Generator& g : generators)
            std::printf("tessara-sim: generating %s at %g frames/s on CAN port %u\n",
                        g.sText.c_str(), g.nRate, g.nCanPort);
        std::fflush(stdout);
    }

    const auto start = std::chrono::steady_clock::now();
    for (Generator& g : generators) g.oNext = start;
    while (!console::StopRequested()) {
        const auto next = RunGenerators(gateway, generators);
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            next - std::chrono::steady_clock::now());
        // At least 1 ms (frames due sooner go out together), and signals are
        // looked at at least every 100 ms.
        tes::sys::SleepMs(static_cast<uint32_t>(std::clamp<int64_t>(wait.count(), 1, 100)));
    }
    gateway.Stop();
    capture->Finish();  // --pcap
    if (capture->Failed())
        std::fprintf(stderr, "tessara-sim: writing %s failed\n", pcapPath.c_str());
    std::lock_guard<std::mutex> lock(printer.oMutex);
    std::printf("tessara-sim: stopped\n");
    std::fflush(stdout);
    return 0;
}
