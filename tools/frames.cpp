// tessara-can: frames on the bus. `send` writes frames given in cansend's
// syntax; `dump` prints received frames in candump's log format, which
// can-utils and python-can read back:
//   (1700000000.123456) tessara0 123#11223344
//   (1700000000.123470) tessara0 1ABCDEF0#R
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "candump_log.h"
#include "console.h"
#include "receiver.h"
#include "reconnect.h"
#include "tool.h"

namespace tool {

namespace {

using Clock = console::Clock;

// CANWrite takes the data length in one byte; a classic bus carries 8, CAN
// FD 64, and what a gateway does with more is its own affair.
constexpr size_t kMaxData = kMaxLogData;

struct Frame {
    uint32_t nId = 0;
    int nFlags = 0;
    std::vector<char> oData;
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// ID#DATA as cansend reads it: ID 3 hex digits (standard) or 8 (extended);
// DATA hex byte pairs, optionally separated by dots; ID#R a remote frame.
bool ParseFrame(const std::string& text, Frame* out, std::string* error) {
    const size_t hash = text.find('#');
    CanId id;
    if (hash == std::string::npos || !ParseCanId(text.substr(0, hash), &id)) {
        *error = "'" + text + "' is not ID#DATA (ID 3 hex digits standard, 8 extended)";
        return false;
    }
    out->nId = id.nId;
    out->nFlags = id.bExtended ? kFlagExtended : 0;
    const std::string data = text.substr(hash + 1);
    if (!data.empty() && data[0] == '#') {
        *error = "'" + text + "': CAN FD frames (ID##...) are not supported";
        return false;
    }
    if (data == "R" || data == "r") {
        out->nFlags |= kFlagRemote;
        return true;
    }
    for (size_t i = 0; i < data.size();) {
        if (data[i] == '.') {
            ++i;
            continue;
        }
        const int hi = HexDigit(data[i]);
        const int lo = i + 1 < data.size() ? HexDigit(data[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
            *error = "'" + text + "': the data must be pairs of hex digits";
            return false;
        }
        out->oData.push_back(static_cast<char>(hi << 4 | lo));
        i += 2;
    }
    if (out->oData.size() > kMaxData) {
        *error = "'" + text + "': more than 255 data bytes";
        return false;
    }
    return true;
}

// One candump log line, newline included.
std::string DumpLine(long long seconds, long micros, int canPort, int id, int flags,
                     const char* data, int length) {
    LogFrame f;
    f.nTimeUs = seconds * 1000000 + micros;
    f.sInterface = "tessara" + std::to_string(canPort);
    f.bExtended = (flags & kFlagExtended) != 0;
    f.nId = static_cast<uint32_t>(id) & (f.bExtended ? 0x1FFFFFFFu : 0xFFFFFFFFu);
    f.bRemote = (flags & kFlagRemote) != 0;
    if (f.bRemote) {
        f.nRemoteLength = length <= 8 ? length : 0;
    } else {
        f.oData.assign(data, data + length);
    }
    return FormatCandumpLine(f) + '\n';
}

// ---- dump

// Shared with the callback, which runs on the library's receive thread. It
// lives for the whole process, since a late callback may still look at it.
struct DumpState {
    std::mutex oMutex;
    std::condition_variable oCond;
    int nCanPort = 0;
    std::vector<IdFilter> oFilters;
    long long nLimit = 0;  // 0: no limit
    long long nPrinted = 0;
    Clock::time_point oLastFrame;
};
DumpState gDump;

void TESSARA_CALLBACK OnDumpFrame(int id, const char* data, int length, int flags, int, int seconds,
                                  int micros) {
    long long s = static_cast<uint32_t>(seconds);
    long us = micros;
    if ((flags & kFlagTimestamp) == 0) {
        // No gateway time stamp: the time of reception here.
        const long long now = std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
        s = now / 1000000;
        us = static_cast<long>(now % 1000000);
    }
    const bool extended = (flags & kFlagExtended) != 0;
    std::lock_guard<std::mutex> lock(gDump.oMutex);
    if (!PassesFilters(gDump.oFilters, static_cast<uint32_t>(id), extended)) return;
    if (gDump.nLimit != 0 && gDump.nPrinted >= gDump.nLimit) return;
    const std::string line = DumpLine(s, us, gDump.nCanPort, id, flags, data, length);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    ++gDump.nPrinted;
    gDump.oLastFrame = Clock::now();
    gDump.oCond.notify_all();
}

}  // namespace

int RunSend(const Options& options) {
    std::vector<std::string> args = options.oArgs;
    std::map<std::string, std::string> opts;
    std::string error;
    LinkOptions linkOptions;
    if (!TakeLinkOptions(&args, &linkOptions, &error) ||
        !TakeOptions(&args, {"--confirm"}, {"--count", "--rate"}, &opts, &error))
        return UsageError("send: " + error);
    if (args.empty()) return UsageError("send needs at least one frame ID#DATA");
    std::vector<Frame> frames(args.size());
    for (size_t i = 0; i < args.size(); ++i) {
        if (!ParseFrame(args[i], &frames[i], &error)) return UsageError("send: " + error);
    }
    long long count = 1;
    if (opts.count("--count") != 0 && !ParseInt(opts["--count"], 0, 1LL << 40, &count))
        return UsageError("send: --count needs a number (0: until stopped)");
    double rate = 0;
    if (opts.count("--rate") != 0) {
        char* end = nullptr;
        rate = std::strtod(opts["--rate"].c_str(), &end);
        if (opts["--rate"].empty() || *end != '\0' || !(rate > 0) || rate > 1e7)
            return UsageError("send: --rate needs frames per second above 0");
    }

    Link link(
        options, [&](int handle) { return ApplyBitRate(handle, linkOptions.nBitRate); },
        linkOptions.bReconnect, opts.count("--confirm") != 0);
    int rc = link.Open();
    if (rc != 0) return Fail("open", rc);
    CatchStopSignals();
    const bool live = console::IsTerminal(stderr);
    const Clock::time_point start = Clock::now();
    Clock::time_point shown = start;
    Clock::time_point first = start, last = start;
    long long sent = 0, shownCount = 0;
    rc = 0;
    for (long long round = 0; rc == 0 && (count == 0 || round < count) && !StopRequested();
         ++round) {
        for (const Frame& f : frames) {
            if (rate > 0) {
                std::this_thread::sleep_until(
                    start + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(static_cast<double>(sent) / rate)));
            }
            rc = CANWrite(link.Handle(), static_cast<int>(f.nId), f.oData.data(),
                          static_cast<int>(f.oData.size()), f.nFlags);
            // After a reconnect the frame that found the link gone goes again.
            if (rc != 0 && link.IsLoss(rc) && link.Recover())
                rc = CANWrite(link.Handle(), static_cast<int>(f.nId), f.oData.data(),
                              static_cast<int>(f.oData.size()), f.nFlags);
            if (rc != 0) break;
            ++sent;
            const Clock::time_point now = Clock::now();
            if (sent == 1) first = now;
            last = now;
            if (live && now - shown >= std::chrono::milliseconds(250)) {
                const double window = std::chrono::duration<double>(now - shown).count();
                std::fprintf(stderr, "\r%lld frames sent, %.0f frames/s   ", sent,
                             static_cast<double>(sent - shownCount) / window);
                std::fflush(stderr);
                shown = now;
                shownCount = sent;
            }
            if (StopRequested()) break;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (live && shown != start) std::fprintf(stderr, "\r%60s\r", "");
    std::printf("sent %lld frame%s in %.3f s", sent, sent == 1 ? "" : "s", elapsed);
    // The rate over the intervals between the first and the last frame.
    const double span = std::chrono::duration<double>(last - first).count();
    if (span > 0 && sent > 1) std::printf(" (%.0f frames/s)", static_cast<double>(sent - 1) / span);
    std::printf("\n");
    std::fflush(stdout);
    if (rc != 0)
        return Fail(
            "send " + args[static_cast<size_t>(sent % static_cast<long long>(frames.size()))], rc);
    return kExitOk;
}

int RunDump(const Options& options) {
    std::vector<std::string> args = options.oArgs;
    std::map<std::string, std::string> opts;
    std::string error;
    std::vector<IdFilter> parsed;
    LinkOptions linkOptions;
    if (!TakeFilters(&args, &parsed, &error) || !TakeLinkOptions(&args, &linkOptions, &error) ||
        !TakeOptions(&args, {}, {"--count"}, &opts, &error))
        return UsageError("dump: " + error);
    if (!args.empty()) return UsageError("dump takes no arguments but options");
    long long count = 0;
    if (opts.count("--count") != 0 && !ParseInt(opts["--count"], 1, 1LL << 40, &count))
        return UsageError("dump: --count needs a number above 0");

    {
        std::lock_guard<std::mutex> lock(gDump.oMutex);
        gDump.nCanPort = options.nPort;
        gDump.oFilters = parsed;
        gDump.nLimit = count;
        gDump.nPrinted = 0;
        gDump.oLastFrame = Clock::now();
    }
    Link link(
        options,
        [&](int handle) {
            const int rc = ApplyBitRate(handle, linkOptions.nBitRate);
            return rc != 0 ? rc : CANSetCallbackEx(handle, OnDumpFrame);
        },
        linkOptions.bReconnect);
    const int rc = link.Open();
    if (rc != 0) return Fail("open", rc);
    CatchStopSignals();
    std::fprintf(stderr, "tessara-can: dumping CAN port %d of %s (Ctrl-C ends)\n", options.nPort,
                 options.sHost.c_str());
    std::fflush(stderr);

    const auto idle = std::chrono::milliseconds(options.nTimeoutMs);
    int exitCode = kExitOk;
    int reconnections = 0;
    std::unique_lock<std::mutex> lock(gDump.oMutex);
    for (;;) {
        if (count != 0 && gDump.nPrinted >= count) break;
        if (StopRequested()) break;
        const Clock::time_point now = Clock::now();
        if (options.bTimeoutGiven && now - gDump.oLastFrame >= idle) {
            if (count != 0) {
                exitCode = FailText("dump: time-out after " + std::to_string(gDump.nPrinted) +
                                    " of " + std::to_string(count) + " frames");
            }
            break;
        }
        lock.unlock();
        // The output stays the same across a reconnect: only the handle changes.
        const bool alive = link.Alive() || link.Recover();
        lock.lock();
        if (!alive) {
            // Ctrl-C in a gap ends the dump as it would have without one.
            if (!StopRequested()) exitCode = Fail("dump: the link is lost", 0x30000);
            break;
        }
        // The gap is not idle time of the bus.
        if (link.Reconnections() != reconnections) {
            reconnections = link.Reconnections();
            gDump.oLastFrame = Clock::now();
        }
        // Signals and the link are looked at every 100 ms.
        auto wait = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(100));
        if (options.bTimeoutGiven) wait = std::min(wait, gDump.oLastFrame + idle - now);
        gDump.oCond.wait_for(lock, wait);
    }
    lock.unlock();
    CANSetCallbackEx(link.Handle(), nullptr);
    return exitCode;
}

}  // namespace tool
