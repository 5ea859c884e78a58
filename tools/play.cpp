// tessara-can: `play`, the frames of a candump log sent at their original
// timing (or scaled, or as fast as the link takes them) to one or several
// CAN ports of the gateway.
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "candump_log.h"
#include "console.h"
#include "reconnect.h"

namespace tool {

namespace {

using Clock = console::Clock;

// A frame that goes out later than this behind its time counts as late.
constexpr auto kLate = std::chrono::milliseconds(10);

struct PlayFrame {
    int64_t nTimeUs = 0;
    size_t nPort = 0;  // index into the links
    uint32_t nId = 0;
    int nFlags = 0;
    std::vector<char> oData;
};

}  // namespace

int RunPlay(const Options& options) {
    std::vector<std::string> args = options.oArgs;
    LinkOptions linkOptions;
    std::string error;
    std::map<std::string, int> map;  // interface -> CAN port
    for (size_t i = 0; i < args.size();) {
        if (args[i] != "--map") {
            ++i;
            continue;
        }
        const std::string m = i + 1 < args.size() ? args[i + 1] : "";
        const size_t eq = m.find('=');
        long long port = 0;
        if (eq == std::string::npos || eq == 0 || !ParseInt(m.substr(eq + 1), 0, 99, &port))
            return UsageError("play: --map needs NAME=PORT (PORT 0-99)");
        map[m.substr(0, eq)] = static_cast<int>(port);
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    }
    std::map<std::string, std::string> opts;
    if (!TakeLinkOptions(&args, &linkOptions, &error) ||
        !TakeOptions(&args, {"--no-timing"}, {"--speed", "--loop"}, &opts, &error))
        return UsageError("play: " + error);
    if (args.size() != 1) return UsageError("play needs one candump log FILE");
    double speed = 1;
    if (opts.count("--speed") != 0) {
        char* end = nullptr;
        speed = std::strtod(opts["--speed"].c_str(), &end);
        if (opts["--speed"].empty() || *end != '\0' || !(speed > 0) || speed > 1e6)
            return UsageError("play: --speed needs a factor above 0");
    }
    long long loops = 1;
    if (opts.count("--loop") != 0 && !ParseInt(opts["--loop"], 0, 1LL << 40, &loops))
        return UsageError("play: --loop needs a number (0: for ever)");
    const bool timing = opts.count("--no-timing") == 0;

    std::ifstream in(args[0], std::ios::binary);
    if (!in) return FailText("play: cannot read " + args[0]);
    // The whole log is read first: its broken lines are reported before
    // anything is sent, and loops replay it from memory.
    std::vector<PlayFrame> frames;
    std::vector<int> ports;  // CAN port of each link
    std::map<std::string, size_t> portOf;
    long long skipped = 0, unmapped = 0;
    std::string line;
    LogFrame f;
    for (long long number = 1; std::getline(in, line); ++number) {
        std::string reason;
        const LogLine kind = ParseCandumpLine(line, &f, &reason);
        if (kind == LogLine::kIgnored) continue;
        if (kind == LogLine::kBroken) {
            std::fprintf(stderr, "tessara-can: play: %s:%lld: %s; skipped\n", args[0].c_str(),
                         number, reason.c_str());
            ++skipped;
            continue;
        }
        auto known = portOf.find(f.sInterface);
        if (known == portOf.end()) {
            int port = options.nPort;
            if (!map.empty()) {
                const auto m = map.find(f.sInterface);
                if (m == map.end()) {
                    ++unmapped;
                    continue;
                }
                port = m->second;
            }
            const auto same = std::find(ports.begin(), ports.end(), port);
            const size_t index = static_cast<size_t>(same - ports.begin());
            if (same == ports.end()) ports.push_back(port);
            known = portOf.emplace(f.sInterface, index).first;
        }
        PlayFrame p;
        p.nTimeUs = f.nTimeUs;
        p.nPort = known->second;
        p.nId = f.nId;
        p.nFlags = (f.bExtended ? kFlagExtended : 0) | (f.bRemote ? kFlagRemote : 0);
        // The gateway has no DLC of its own: a remote frame travels with its
        // length in bytes, as `dump` shows it.
        p.oData.assign(f.bRemote ? static_cast<size_t>(f.nRemoteLength) : f.oData.size(), 0);
        if (!f.bRemote) std::copy(f.oData.begin(), f.oData.end(), p.oData.begin());
        frames.push_back(std::move(p));
    }
    if (map.empty() && portOf.size() > 1) {
        std::string names;
        for (const auto& [name, index] : portOf) names += " " + name;
        return UsageError("play: the log names several interfaces (" + names.substr(1) +
                          "): say where each goes with --map NAME=PORT");
    }
    if (unmapped != 0)
        std::fprintf(stderr,
                     "tessara-can: play: %lld frames of interfaces without --map left out\n",
                     unmapped);

    std::vector<std::unique_ptr<Link>> links;
    for (int port : ports) {
        Options o = options;
        o.nPort = port;
        links.push_back(std::make_unique<Link>(
            o, [&](int handle) { return ApplyBitRate(handle, linkOptions.nBitRate); },
            linkOptions.bReconnect));
        const int rc = links.back()->Open();
        if (rc != 0) return Fail("open CAN port " + std::to_string(port), rc);
    }
    CatchStopSignals();

    long long sent = 0, late = 0;
    int rc = 0;
    const int64_t first = frames.empty() ? 0 : frames.front().nTimeUs;
    const int64_t span = frames.empty() ? 0 : frames.back().nTimeUs - first;
    // Every deadline is counted from one start on the monotonic clock, so
    // time spent sending does not add up over a long log.
    const Clock::time_point start = Clock::now();
    for (long long loop = 0;
         rc == 0 && !frames.empty() && (loops == 0 || loop < loops) && !StopRequested(); ++loop) {
        for (size_t i = 0; i < frames.size() && !StopRequested(); ++i) {
            const PlayFrame& p = frames[i];
            Clock::time_point deadline = start;
            if (timing) {
                const double at =
                    static_cast<double>(p.nTimeUs - first + loop * span) / 1e6 / speed;
                deadline = start + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(at));
                std::this_thread::sleep_until(deadline);
            }
            Link& link = *links[p.nPort];
            rc = CANWrite(link.Handle(), static_cast<int>(p.nId), p.oData.data(),
                          static_cast<int>(p.oData.size()), p.nFlags);
            if (rc != 0 && link.IsLoss(rc) && link.Recover()) {
                rc = CANWrite(link.Handle(), static_cast<int>(p.nId), p.oData.data(),
                              static_cast<int>(p.oData.size()), p.nFlags);
            }
            if (rc != 0) {
                Fail("play: CAN port " + std::to_string(ports[p.nPort]), rc);
                break;
            }
            ++sent;
            if (timing && Clock::now() - deadline > kLate) ++late;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("played %lld frame%s in %.3f s, %lld line%s skipped", sent, sent == 1 ? "" : "s",
                elapsed, skipped, skipped == 1 ? "" : "s");
    if (timing) std::printf(", %lld late (more than 10 ms behind)", late);
    std::printf("\n");
    std::fflush(stdout);
    return rc != 0 ? kExitFailed : kExitOk;
}

}  // namespace tool
