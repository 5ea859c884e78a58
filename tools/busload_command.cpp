// tessara-can: `busload`, one line per interval with the frame rate and the
// load in percent of the port's bit rate (wire lengths in busload.h).
#include <chrono>
#include <ctime>

#include "busload.h"
#include "console.h"
#include "receiver.h"
#include "reconnect.h"

namespace tool {

namespace {

using Clock = console::Clock;

// The port's bit rate as the gateway reports it; 0 when it cannot be read.
int ReadBitRate(int handle) {
    int bitRate = 0, termination = 0, highSpeed = 0, timestamps = 0;
    unsigned char mode = 0;
    if (CANGetGlobals(handle, &bitRate, &mode, &termination, &highSpeed, &timestamps) != 0)
        return 0;
    return bitRate;
}

std::string WallClockText() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    // Only the main thread asks for the local time.
    const std::tm tm = *std::localtime(&t);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return text;
}

}  // namespace

int RunBusload(const Options& options) {
    std::vector<std::string> args = options.oArgs;
    std::vector<IdFilter> filters;
    LinkOptions link;
    std::map<std::string, std::string> opts;
    std::string error;
    if (!TakeFilters(&args, &filters, &error) || !TakeLinkOptions(&args, &link, &error) ||
        !TakeOptions(&args, {}, {"--interval", "--count"}, &opts, &error))
        return UsageError("busload: " + error);
    if (!args.empty()) return UsageError("busload takes no arguments but options");
    long long intervalMs = 1000, count = 0;
    if (opts.count("--interval") != 0 && !ParseInt(opts["--interval"], 10, 3600000, &intervalMs))
        return UsageError("busload: --interval needs milliseconds, 10 or more");
    if (opts.count("--count") != 0 && !ParseInt(opts["--count"], 1, 1LL << 40, &count))
        return UsageError("busload: --count needs a number of lines above 0");

    inbox::SetFilters(filters);
    int bitRate = 0;
    Link port(
        options,
        [&](int handle) {
            int rc = ApplyBitRate(handle, link.nBitRate);
            if (rc == 0) rc = inbox::Attach(handle);
            bitRate = ReadBitRate(handle);
            return rc;
        },
        link.bReconnect);
    const int rc = port.Open();
    if (rc != 0) return Fail("open", rc);
    CatchStopSignals();
    std::fprintf(stderr,
                 "tessara-can: bus load of CAN port %d of %s at %d bit/s; load with worst-case "
                 "stuffing, typical in brackets (Ctrl-C ends)\n",
                 options.nPort, options.sHost.c_str(), bitRate);
    std::fflush(stderr);

    const auto interval = std::chrono::milliseconds(intervalMs);
    Clock::time_point start = Clock::now();
    Clock::time_point next = start + interval;
    LoadMeter meter;
    long long lines = 0, dropped = 0;
    while (!StopRequested() && (count == 0 || lines < count)) {
        for (const RxFrame& f :
             inbox::Take(std::min(next, Clock::now() + std::chrono::milliseconds(100)), &dropped)) {
            meter.Add((f.nFlags & kFlagExtended) != 0, (f.nFlags & kFlagRemote) != 0, f.nLength);
        }
        if (!port.Alive()) {
            if (port.Recover()) {
                // The gap is no bus time: the next interval starts now.
                meter.Reset();
                start = Clock::now();
                next = start + interval;
                continue;
            }
            if (StopRequested()) break;
            return Fail("busload: the link is lost", 0x30000);
        }
        const Clock::time_point now = Clock::now();
        if (now < next) continue;
        const double seconds = std::chrono::duration<double>(now - start).count();
        std::printf(
            "%s  %8.1f frames/s  load %5.1f %% (%.1f %%)%s\n", WallClockText().c_str(),
            static_cast<double>(meter.Frames()) / seconds, meter.WorstCasePercent(bitRate, seconds),
            meter.TypicalPercent(bitRate, seconds), bitRate == 0 ? "  bit rate unknown" : "");
        std::fflush(stdout);
        ++lines;
        meter.Reset();
        start = now;
        // Deadlines stay on the grid of the first, so the lines do not drift.
        while (next <= now) next += interval;
    }
    if (dropped != 0)
        std::fprintf(stderr, "tessara-can: busload: %lld frames not counted (too many waiting)\n",
                     dropped);
    return kExitOk;
}

}  // namespace tool
