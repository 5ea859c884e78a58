// The scenarios: library side through TessaraCan.h, raw side through RawLink.
#include "scenarios.h"

#include <linux/futex.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "TessaraCan.h"
#include "raw_client.h"
#include "stats.h"
#include "wire.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// User plus system CPU time of the whole process (all its threads), in ns.
double CpuNs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e9 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e3;
}

std::string WithCode(const std::string& what, int code) {
    char text[24];
    std::snprintf(text, sizeof text, " (0x%x)", static_cast<unsigned>(code));
    return what + text;
}

// Time, CPU time, work and losses summed over the chunks of a round.
struct Tally {
    double dSeconds = 0;
    double dCpuNs = 0;
    uint64_t nDone = 0;
    uint64_t nLost = 0;
    std::string sError;

    Clock::time_point oStart;
    double dCpuStart = 0;
    void Begin(bool cpu = false) {
        if (cpu) dCpuStart = CpuNs();
        oStart = Clock::now();
    }
    void End(uint64_t done, bool cpu = false) {
        dSeconds += Seconds(oStart, Clock::now());
        if (cpu) dCpuNs += CpuNs() - dCpuStart;
        nDone += done;
    }
    Sample Rate(bool cpu) const {
        Sample r;
        r.dValue = dSeconds > 0 ? static_cast<double>(nDone) / dSeconds : 0;
        if (cpu && nDone > 0) r.dCpuNsPerFrame = dCpuNs / static_cast<double>(nDone);
        r.nLost = nLost;
        r.sError = sError;
        return r;
    }
};

// ---------------------------------------------------------------- library helpers

int LibOpen(const Settings& s, bool confirmData, int* handle) {
    return CANOpenDevice(handle, confirmData ? 1 : 0, 0, 0, s.sAddress.c_str(), s.nTimeoutMs);
}

// The peer's count of good frames on this handle (its GET_GLOBALS answer).
bool LibGoodFrames(int handle, uint32_t* good) {
    int baud = 0, termination = 0, highSpeed = 0, timestamp = 0;
    unsigned char mode = 0;
    if (CANGetGlobals(handle, &baud, &mode, &termination, &highSpeed, &timestamp) != 0)
        return false;
    *good = static_cast<uint32_t>(baud);
    return true;
}

bool LibWriteFrame(int handle, uint32_t seq) {
    uint8_t payload[kFramePayload];
    PutFramePayload(payload, seq);
    return CANWrite(handle, static_cast<int>(seq), reinterpret_cast<const char*>(payload + 5), 8,
                    0) == 0;
}

// SET_GLOBALS with the frame count as its baud rate starts the peer's push.
int LibStartPush(int handle, uint32_t frames) {
    return CANSetGlobals(handle, static_cast<int>(frames), 1, 0, 0, 0);
}

bool RawWriteFrame(RawLink& link, uint32_t seq) {
    uint8_t payload[kFramePayload];
    uint8_t telegram[kFrameTelegram];
    PutFramePayload(payload, seq);
    PutTelegram(telegram, kCmdWrite, link.TakeId(), payload, sizeof payload);
    return link.SendAll(telegram, sizeof telegram);
}

// A library scenario on one handle opened for the round.
class LibHandleScenario : public Scenario {
public:
    LibHandleScenario(const Settings& s, bool confirmData)
        : oSettings(s), bConfirmData(confirmData) {}
    ~LibHandleScenario() override {
        if (nHandle > 0) CANCloseDevice(nHandle);
    }
    std::string Open() override {
        const int rc = LibOpen(oSettings, bConfirmData, &nHandle);
        if (rc != 0) {
            nHandle = -1;
            return WithCode("CANOpenDevice", rc);
        }
        return "";
    }

protected:
    void Close() {
        if (nHandle > 0) CANCloseDevice(nHandle);
        nHandle = -1;
    }
    const Settings& oSettings;
    const bool bConfirmData;
    int nHandle = -1;
    Tally oTally;
};

// A raw scenario on one link opened for the round.
class RawLinkScenario : public Scenario {
public:
    RawLinkScenario(const Settings& s, bool confirmData)
        : oSettings(s), bConfirmData(confirmData) {}
    std::string Open() override {
        return oLink.Open(oSettings.sAddress, oSettings.nPort, bConfirmData) ? ""
                                                                             : "raw open failed";
    }

protected:
    const Settings& oSettings;
    const bool bConfirmData;
    RawLink oLink;
    Tally oTally;
};

// ---------------------------------------------------------------- stream-write
// Frames written without confirmation, up to a GET_GLOBALS barrier per chunk
// that proves the peer has them all.

class LibStreamWrite : public LibHandleScenario {
public:
    explicit LibStreamWrite(const Settings& s) : LibHandleScenario(s, false) {}
    void Run(uint32_t count) override {
        oTally.Begin(true);
        for (uint32_t i = 0; i < count; ++i) LibWriteFrame(nHandle, nSeq++);
        if (!LibGoodFrames(nHandle, &nGood)) oTally.sError = "CANGetGlobals after a chunk";
        oTally.End(count, true);
    }
    Sample Finish() override {
        oTally.nLost += nSeq - nGood;
        Close();
        return oTally.Rate(true);
    }
    std::string Reopen() override {
        oTally.nLost += nSeq - nGood;
        Close();
        nSeq = nGood = 0;
        return Open();
    }

private:
    uint32_t nSeq = 0;
    uint32_t nGood = 0;
};

class RawStreamWrite : public RawLinkScenario {
public:
    explicit RawStreamWrite(const Settings& s) : RawLinkScenario(s, false) {}
    void Run(uint32_t count) override {
        oTally.Begin(true);
        for (uint32_t i = 0; i < count; ++i) RawWriteFrame(oLink, nSeq++);
        if (!oLink.GoodFrames(&nGood)) oTally.sError = "raw GET_GLOBALS after a chunk";
        oTally.End(count, true);
    }
    Sample Finish() override {
        oTally.nLost += nSeq - nGood;
        oLink.Close();
        return oTally.Rate(true);
    }
    std::string Reopen() override {
        oTally.nLost += nSeq - nGood;
        oLink.Close();
        nSeq = nGood = 0;
        return Open();
    }

private:
    uint32_t nSeq = 0;
    uint32_t nGood = 0;
};

// ---------------------------------------------------------------- request-latency

constexpr uint32_t kWarmUpCalls = 200;

Sample LatencySample(const std::vector<double>& micros, uint64_t failed) {
    Sample r;
    r.dValue = Median(micros);
    r.dExtra = Percentile(micros, 99);
    r.nLost = failed;
    return r;
}

class LibRequestLatency : public LibHandleScenario {
public:
    explicit LibRequestLatency(const Settings& s) : LibHandleScenario(s, false) {}
    std::string Open() override {
        std::string error = LibHandleScenario::Open();
        uint32_t good = 0;
        for (uint32_t i = 0; error.empty() && i < kWarmUpCalls; ++i) LibGoodFrames(nHandle, &good);
        return error;
    }
    void Run(uint32_t count) override {
        uint32_t good = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const auto t0 = Clock::now();
            const bool ok = LibGoodFrames(nHandle, &good);
            oMicros.push_back(Seconds(t0, Clock::now()) * 1e6);
            if (!ok) ++nFailed;
        }
    }
    Sample Finish() override {
        Close();
        return LatencySample(oMicros, nFailed);
    }
    std::string Reopen() override {
        Close();
        return Open();
    }

private:
    std::vector<double> oMicros;
    uint64_t nFailed = 0;
};

class RawRequestLatency : public RawLinkScenario {
public:
    explicit RawRequestLatency(const Settings& s) : RawLinkScenario(s, false) {}
    std::string Open() override {
        std::string error = RawLinkScenario::Open();
        uint32_t good = 0;
        for (uint32_t i = 0; error.empty() && i < kWarmUpCalls; ++i) oLink.GoodFrames(&good);
        return error;
    }
    void Run(uint32_t count) override {
        uint32_t good = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const auto t0 = Clock::now();
            const bool ok = oLink.GoodFrames(&good);
            oMicros.push_back(Seconds(t0, Clock::now()) * 1e6);
            if (!ok) ++nFailed;
        }
    }
    Sample Finish() override {
        oLink.Close();
        return LatencySample(oMicros, nFailed);
    }
    std::string Reopen() override {
        oLink.Close();
        return Open();
    }

private:
    std::vector<double> oMicros;
    uint64_t nFailed = 0;
};

// ---------------------------------------------------------------- write-confirmed

class LibWriteConfirmed : public LibHandleScenario {
public:
    explicit LibWriteConfirmed(const Settings& s) : LibHandleScenario(s, true) {}
    void Run(uint32_t count) override {
        oTally.Begin();
        for (uint32_t i = 0; i < count; ++i) {
            if (!LibWriteFrame(nHandle, nSeq++)) ++nFailed;
        }
        oTally.End(count);
    }
    Sample Finish() override {
        CountLink();
        Close();
        return oTally.Rate(false);
    }
    std::string Reopen() override {
        CountLink();
        Close();
        nSeq = 0;
        return Open();
    }

private:
    // What the peer did not get on this link counts as lost.
    void CountLink() {
        uint32_t good = 0;
        if (!LibGoodFrames(nHandle, &good)) oTally.sError = "CANGetGlobals after the writes";
        oTally.nLost += (nSeq - good) + nFailed;
        nFailed = 0;
    }

    uint32_t nSeq = 0;
    uint64_t nFailed = 0;
};

class RawWriteConfirmed : public RawLinkScenario {
public:
    explicit RawWriteConfirmed(const Settings& s) : RawLinkScenario(s, true) {}
    void Run(uint32_t count) override {
        uint8_t payload[kFramePayload];
        View c;
        oTally.Begin();
        for (uint32_t i = 0; i < count; ++i) {
            PutFramePayload(payload, nSeq++);
            if (!oLink.Request(kCmdWrite, payload, sizeof payload, &c) ||
                c.nDataLength != kWriteConfirmationData || c.pData[0] != 0) {
                ++nFailed;
            }
        }
        oTally.End(count);
    }
    Sample Finish() override {
        CountLink();
        oLink.Close();
        return oTally.Rate(false);
    }
    std::string Reopen() override {
        CountLink();
        oLink.Close();
        nSeq = 0;
        return Open();
    }

private:
    void CountLink() {
        uint32_t good = 0;
        if (!oLink.GoodFrames(&good)) oTally.sError = "raw GET_GLOBALS after the writes";
        oTally.nLost += (nSeq - good) + nFailed;
        nFailed = 0;
    }

    uint32_t nSeq = 0;
    uint64_t nFailed = 0;
};

// ---------------------------------------------------------------- receive
// Each chunk asks the peer for `count` frames (numbered from 0) and ends when
// the last one has reached the application.

// The callback has no context argument, so its state is process-wide; one
// receiving scenario runs at a time.
struct CallbackState {
    std::atomic<uint32_t> nNext{0};
    std::atomic<uint32_t> nGood{0};
    std::atomic<uint32_t> nTarget{0};
    std::mutex oMutex;
    std::condition_variable oDone;
    bool bDone = false;
};
CallbackState gCallback;

void TESSARA_CALLBACK OnFrame(int identifier, const char* data, int length, int flags, int handle) {
    (void)handle;
    const uint32_t seq = gCallback.nNext.load(std::memory_order_relaxed);
    if (IsFrame(static_cast<uint32_t>(identifier), reinterpret_cast<const uint8_t*>(data),
                static_cast<size_t>(length), flags, seq)) {
        gCallback.nGood.fetch_add(1, std::memory_order_relaxed);
    }
    gCallback.nNext.store(seq + 1, std::memory_order_release);
    if (seq + 1 == gCallback.nTarget.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lock(gCallback.oMutex);
        gCallback.bDone = true;
        gCallback.oDone.notify_one();
    }
}

constexpr auto kNoProgressLimit = std::chrono::seconds(10);

class LibReceiveCallback : public LibHandleScenario {
public:
    explicit LibReceiveCallback(const Settings& s) : LibHandleScenario(s, false) {}
    std::string Open() override {
        std::string error = LibHandleScenario::Open();
        if (error.empty()) CANSetCallback(nHandle, &OnFrame);
        return error;
    }
    void Run(uint32_t count) override {
        gCallback.nNext.store(0);
        gCallback.nGood.store(0);
        gCallback.nTarget.store(count);
        gCallback.bDone = false;
        oTally.Begin(true);
        if (const int rc = LibStartPush(nHandle, count)) {
            oTally.sError = WithCode("CANSetGlobals (push)", rc);
            oTally.nLost += count;
            return;
        }
        {
            std::unique_lock<std::mutex> lock(gCallback.oMutex);
            uint32_t last = 0;
            auto lastChange = Clock::now();
            while (!gCallback.bDone) {
                gCallback.oDone.wait_for(lock, std::chrono::milliseconds(100));
                const uint32_t now = gCallback.nNext.load();
                if (now != last) {
                    last = now;
                    lastChange = Clock::now();
                } else if (Clock::now() - lastChange > kNoProgressLimit) {
                    break;
                }
            }
        }
        oTally.End(count, true);
        oTally.nLost += count - gCallback.nGood.load();
    }
    Sample Finish() override {
        Close();
        return oTally.Rate(true);
    }
};

class LibReceiveQueue : public LibHandleScenario {
public:
    explicit LibReceiveQueue(const Settings& s) : LibHandleScenario(s, false) {}
    std::string Open() override {
        std::string error = LibHandleScenario::Open();
        // Room for a whole chunk: nothing may be discarded.
        if (error.empty())
            CANSetMaxSizePerQueue(nHandle, static_cast<int>(oSettings.nReceiveFrames + 1024));
        return error;
    }
    void Run(uint32_t count) override {
        oTally.Begin(true);
        if (const int rc = LibStartPush(nHandle, count)) {
            oTally.sError = WithCode("CANSetGlobals (push)", rc);
            oTally.nLost += count;
            return;
        }
        uint32_t seq = 0, good = 0;
        // The clock is read only while the queue is empty, so that taking a
        // frame costs what the library makes it cost.
        uint32_t seqAtLastCheck = 0;
        auto lastProgress = Clock::now();
        while (seq < count) {
            int available = -1, identifier = 0, flags = 0, seconds = 0, micros = 0;
            unsigned char length = 0;
            char data[64];
            CANGetMessage(nHandle, &available, &identifier, data, &length, &flags, &seconds,
                          &micros);
            if (available < 0) {
                // As a polling application does: a short sleep while the queue is empty.
                const auto now = Clock::now();
                if (seq != seqAtLastCheck) {
                    seqAtLastCheck = seq;
                    lastProgress = now;
                } else if (now - lastProgress > kNoProgressLimit) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                continue;
            }
            if (IsFrame(static_cast<uint32_t>(identifier), reinterpret_cast<const uint8_t*>(data),
                        length, flags, seq)) {
                ++good;
            }
            ++seq;
        }
        oTally.End(count, true);
        oTally.nLost += count - good;
    }
    Sample Finish() override {
        Close();
        return oTally.Rate(true);
    }
};

class RawReceive : public RawLinkScenario {
public:
    explicit RawReceive(const Settings& s) : RawLinkScenario(s, false) {}
    void Run(uint32_t count) override {
        uint8_t request[8] = {1, 0, 0, 0, 0, 0, 0, 0};
        PutU32(request + 1, count);
        View v;
        uint32_t seq = 0, good = 0;
        oTally.Begin(true);
        if (oLink.Request(kCmdSetGlobals, request, sizeof request, &v)) {
            while (seq < count && oLink.Read(&v)) {
                if (v.nCommand != kCmdWrite || v.nDataLength < 5) continue;
                if (IsFrame(GetU32(v.pData), v.pData + 5, v.nDataLength - 5, v.pData[4], seq))
                    ++good;
                ++seq;
            }
        } else {
            oTally.sError = "raw SET_GLOBALS (push)";
        }
        oTally.End(count, true);
        oTally.nLost += count - good;
    }
    Sample Finish() override {
        oLink.Close();
        return oTally.Rate(true);
    }
};

// ---------------------------------------------------------------- open-close

class LibOpenClose : public Scenario {
public:
    explicit LibOpenClose(const Settings& s) : oSettings(s) {}
    std::string Open() override { return ""; }
    void Run(uint32_t count) override {
        oTally.Begin();
        for (uint32_t i = 0; i < count; ++i) {
            int h = -1;
            if (LibOpen(oSettings, false, &h) != 0) {
                ++oTally.nLost;
                continue;
            }
            if (CANCloseDevice(h) != 0) ++oTally.nLost;
        }
        oTally.End(count);
    }
    Sample Finish() override {
        Sample r;
        r.dValue = oTally.nDone > 0 ? oTally.dSeconds * 1e3 / static_cast<double>(oTally.nDone) : 0;
        r.nLost = oTally.nLost;
        return r;
    }

private:
    const Settings& oSettings;
    Tally oTally;
};

class RawOpenClose : public Scenario {
public:
    explicit RawOpenClose(const Settings& s) : oSettings(s) {}
    std::string Open() override { return ""; }
    void Run(uint32_t count) override {
        oTally.Begin();
        for (uint32_t i = 0; i < count; ++i) {
            RawLink link;
            if (!link.Open(oSettings.sAddress, oSettings.nPort, false) || !link.Close())
                ++oTally.nLost;
        }
        oTally.End(count);
    }
    Sample Finish() override {
        Sample r;
        r.dValue = oTally.nDone > 0 ? oTally.dSeconds * 1e3 / static_cast<double>(oTally.nDone) : 0;
        r.nLost = oTally.nLost;
        return r;
    }

private:
    const Settings& oSettings;
    Tally oTally;
};

// ---------------------------------------------------------------- many-handles
// One chunk: `count` links opened at once, frames written on each in turn,
// each checked, all closed.

class LibManyHandles : public Scenario {
public:
    explicit LibManyHandles(const Settings& s) : oSettings(s) {}
    std::string Open() override { return ""; }
    void Run(uint32_t count) override {
        std::vector<int> handles;
        handles.reserve(count);
        const uint64_t rss0 = ResidentBytes();
        const auto t0 = Clock::now();
        for (uint32_t i = 0; i < count; ++i) {
            int h = -1;
            if (const int rc = LibOpen(oSettings, false, &h)) {
                oResult.sError = WithCode("CANOpenDevice of handle " + std::to_string(i + 1), rc);
                break;
            }
            handles.push_back(h);
        }
        const uint64_t rss1 = ResidentBytes();
        for (uint32_t seq = 0; seq < oSettings.nFramesPerHandle; ++seq) {
            for (int h : handles) LibWriteFrame(h, seq);
        }
        for (int h : handles) {
            uint32_t good = 0;
            oResult.nLost += LibGoodFrames(h, &good) ? oSettings.nFramesPerHandle - good
                                                     : oSettings.nFramesPerHandle;
        }
        for (int h : handles) CANCloseDevice(h);
        oResult.dValue = Seconds(t0, Clock::now()) * 1e3;
        if (rss1 > rss0 && !handles.empty()) {
            oResult.dExtra =
                static_cast<double>(rss1 - rss0) / 1024.0 / static_cast<double>(handles.size());
        }
    }
    Sample Finish() override { return oResult; }

private:
    const Settings& oSettings;
    Sample oResult;
};

// Opens `count` raw links, or those before the first that fails to open,
// which `error` then names.
std::vector<std::unique_ptr<RawLink>> OpenRawLinks(const Settings& s, uint32_t count,
                                                   std::string* error) {
    std::vector<std::unique_ptr<RawLink>> links;
    links.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        auto link = std::make_unique<RawLink>();
        if (!link->Open(s.sAddress, s.nPort, false)) {
            *error = "raw open of link " + std::to_string(i + 1);
            break;
        }
        links.push_back(std::move(link));
    }
    return links;
}

class RawManyHandles : public Scenario {
public:
    explicit RawManyHandles(const Settings& s) : oSettings(s) {}
    std::string Open() override { return ""; }
    void Run(uint32_t count) override {
        const uint64_t rss0 = ResidentBytes();
        const auto t0 = Clock::now();
        const std::vector<std::unique_ptr<RawLink>> links =
            OpenRawLinks(oSettings, count, &oResult.sError);
        const uint64_t rss1 = ResidentBytes();
        for (uint32_t seq = 0; seq < oSettings.nFramesPerHandle; ++seq) {
            for (auto& link : links) RawWriteFrame(*link, seq);
        }
        for (auto& link : links) {
            uint32_t good = 0;
            oResult.nLost += link->GoodFrames(&good) ? oSettings.nFramesPerHandle - good
                                                     : oSettings.nFramesPerHandle;
        }
        for (auto& link : links) link->Close();
        oResult.dValue = Seconds(t0, Clock::now()) * 1e3;
        if (rss1 > rss0 && !links.empty()) {
            oResult.dExtra =
                static_cast<double>(rss1 - rss0) / 1024.0 / static_cast<double>(links.size());
        }
    }
    Sample Finish() override { return oResult; }

private:
    const Settings& oSettings;
    Sample oResult;
};

// ---------------------------------------------------------------- idle
// One chunk: `count` links opened, left alone for the idle time while the
// process's CPU time and context switches (all its threads) are counted, then
// checked to be still up and closed. The peer runs in its own process, so
// what it does is not counted.

struct Usage {
    double dCpuNs = 0;
    double dSwitches = 0;
    static Usage Now() {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        Usage r;
        r.dCpuNs = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e9 +
                   static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e3;
        r.dSwitches = static_cast<double>(u.ru_nvcsw + u.ru_nivcsw);
        return r;
    }
};

// Measures the idle time after the links have settled; fills dValue and dExtra.
void MeasureIdle(const Settings& s, size_t links, Sample* out) {
    // Opening leaves handshakes and first ALIVE exchanges in flight.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Usage u0 = Usage::Now();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(s.nIdleSeconds));
    const double seconds = Seconds(t0, Clock::now());
    const Usage u1 = Usage::Now();
    if (links == 0 || seconds <= 0) return;
    out->dValue = (u1.dSwitches - u0.dSwitches) / static_cast<double>(links) / seconds;
    out->dExtra = (u1.dCpuNs - u0.dCpuNs) / (seconds * 1e9) * 100.0;
}

class LibIdle : public Scenario {
public:
    LibIdle(const Settings& s, bool keepAlive) : oSettings(s), bKeepAlive(keepAlive) {}
    std::string Open() override { return ""; }
    void Run(uint32_t count) override {
        std::vector<int> handles;
        handles.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            int h = -1;
            if (const int rc = LibOpen(oSettings, false, &h)) {
                oResult.sError = WithCode("CANOpenDevice of handle " + std::to_string(i + 1), rc);
                break;
            }
            handles.push_back(h);
            if (bKeepAlive) CANStartAlive(h, static_cast<int>(oSettings.nIdleAliveSeconds));
        }
        MeasureIdle(oSettings, handles.size(), &oResult);
        // A link the keep-alive gave up on, or that broke, is lost.
        for (int h : handles) {
            if (CANDeviceConnectState(h) != 3) ++oResult.nLost;
        }
        for (int h : handles) CANCloseDevice(h);
    }
    Sample Finish() override { return oResult; }

private:
    const Settings& oSettings;
    const bool bKeepAlive;
    Sample oResult;
};

class RawIdle : public Scenario {
public:
    explicit RawIdle(const Settings& s) : oSettings(s) {}
    std::string Open() override { return ""; }
    void Run(uint32_t count) override {
        const std::vector<std::unique_ptr<RawLink>> links =
            OpenRawLinks(oSettings, count, &oResult.sError);
        MeasureIdle(oSettings, links.size(), &oResult);
        for (auto& link : links) {
            if (!link->Close()) ++oResult.nLost;
        }
    }
    Sample Finish() override { return oResult; }

private:
    const Settings& oSettings;
    Sample oResult;
};

// ---------------------------------------------------------------- design floor
// Requests on a raw link whose replies a reader thread receives and hands
// over, one futex wake per reply, as the library's receive thread does.

class FutexEvent {
public:
    void Signal() {
        if (nWord.exchange(1, std::memory_order_release) == 0) {
            syscall(SYS_futex, reinterpret_cast<uint32_t*>(&nWord), FUTEX_WAKE_PRIVATE, 1, nullptr,
                    nullptr, 0);
        }
    }
    void Wait() {
        while (nWord.exchange(0, std::memory_order_acquire) == 0) {
            syscall(SYS_futex, reinterpret_cast<uint32_t*>(&nWord), FUTEX_WAIT_PRIVATE, 0, nullptr,
                    nullptr, 0);
        }
    }

private:
    std::atomic<uint32_t> nWord{0};
};

class RawWithReader : public RawLinkScenario {
public:
    RawWithReader(const Settings& s, Kind kind)
        : RawLinkScenario(s, kind == Kind::kWriteConfirmed), eKind(kind) {}
    ~RawWithReader() override { StopReader(); }
    std::string Open() override {
        std::string error = RawLinkScenario::Open();
        if (!error.empty()) return error;
        oReader = std::thread([this] {
            View v;
            while (oLink.Read(&v)) {
                if ((v.nCommand & kConfirmation) == 0) continue;
                nReplyId.store(v.nId, std::memory_order_relaxed);
                nReplyResult.store(v.nDataLength > 0 ? v.pData[0] : 0xFF,
                                   std::memory_order_relaxed);
                oReply.Signal();
            }
            bReaderDone.store(true);
            oReply.Signal();
        });
        for (uint32_t i = 0; i < kWarmUpCalls; ++i) RoundTrip(nullptr);
        return "";
    }
    void Run(uint32_t count) override {
        if (eKind == Kind::kRequestLatency) {
            for (uint32_t i = 0; i < count; ++i) {
                const auto t0 = Clock::now();
                if (!RoundTrip(nullptr)) ++nFailed;
                oMicros.push_back(Seconds(t0, Clock::now()) * 1e6);
            }
            return;
        }
        oTally.Begin();
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t payload[kFramePayload];
            PutFramePayload(payload, nSeq++);
            if (!RoundTrip(payload)) ++nFailed;
        }
        oTally.End(count);
    }
    Sample Finish() override {
        StopReader();
        if (eKind == Kind::kRequestLatency) return LatencySample(oMicros, nFailed);
        oTally.nLost = nFailed;
        return oTally.Rate(false);
    }
    std::string Reopen() override {
        StopReader();
        bReaderDone.store(false);
        return Open();
    }

private:
    // GET_GLOBALS (no payload) or a confirmed WRITE of `payload`.
    bool RoundTrip(const uint8_t* payload) {
        uint8_t bytes[kFrameTelegram];
        const uint16_t id = oLink.TakeId();
        const size_t size = payload == nullptr
                                ? PutTelegram(bytes, kCmdGetGlobals, id, nullptr, 0)
                                : PutTelegram(bytes, kCmdWrite, id, payload, kFramePayload);
        if (!oLink.SendAll(bytes, size)) return false;
        for (;;) {
            oReply.Wait();
            if (bReaderDone.load()) return false;
            if (nReplyId.load(std::memory_order_relaxed) == id) {
                return nReplyResult.load(std::memory_order_relaxed) == 0;
            }
        }
    }
    void StopReader() {
        if (!oReader.joinable()) return;
        shutdown(oLink.Fd(), SHUT_RDWR);
        oReader.join();
        oLink.Abandon();
    }

    const Kind eKind;
    std::thread oReader;
    FutexEvent oReply;
    std::atomic<uint16_t> nReplyId{0};
    std::atomic<uint8_t> nReplyResult{0};
    std::atomic<bool> bReaderDone{false};
    std::vector<double> oMicros;
    uint64_t nFailed = 0;
    uint32_t nSeq = 0;
};

}  // namespace

std::unique_ptr<Scenario> MakeRawWithReader(Kind kind, const Settings& s) {
    if (kind != Kind::kRequestLatency && kind != Kind::kWriteConfirmed) return nullptr;
    return std::make_unique<RawWithReader>(s, kind);
}

uint64_t ResidentBytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long size = 0, resident = 0;
    const int n = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    return n == 2 ? static_cast<uint64_t>(resident) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE))
                  : 0;
}

uint32_t RoundCount(Kind kind, const Settings& s) {
    switch (kind) {
        case Kind::kStreamWrite:
            return s.nStreamFrames;
        case Kind::kRequestLatency:
            return s.nLatencyCalls;
        case Kind::kWriteConfirmed:
            return s.nConfirmedWrites;
        case Kind::kReceiveCallback:
        case Kind::kReceiveQueue:
            return s.nReceiveFrames;
        case Kind::kOpenClose:
            return s.nOpenCloseCycles;
        case Kind::kManyHandles:
        case Kind::kIdle:
        case Kind::kIdleAlive:
            return s.nHandles;
    }
    return 0;
}

std::unique_ptr<Scenario> MakeLibrary(Kind kind, const Settings& s) {
    switch (kind) {
        case Kind::kStreamWrite:
            return std::make_unique<LibStreamWrite>(s);
        case Kind::kRequestLatency:
            return std::make_unique<LibRequestLatency>(s);
        case Kind::kWriteConfirmed:
            return std::make_unique<LibWriteConfirmed>(s);
        case Kind::kReceiveCallback:
            return std::make_unique<LibReceiveCallback>(s);
        case Kind::kReceiveQueue:
            return std::make_unique<LibReceiveQueue>(s);
        case Kind::kOpenClose:
            return std::make_unique<LibOpenClose>(s);
        case Kind::kManyHandles:
            return std::make_unique<LibManyHandles>(s);
        case Kind::kIdle:
            return std::make_unique<LibIdle>(s, false);
        case Kind::kIdleAlive:
            return std::make_unique<LibIdle>(s, true);
    }
    return nullptr;
}

std::unique_ptr<Scenario> MakeRaw(Kind kind, const Settings& s) {
    switch (kind) {
        case Kind::kStreamWrite:
            return std::make_unique<RawStreamWrite>(s);
        case Kind::kRequestLatency:
            return std::make_unique<RawRequestLatency>(s);
        case Kind::kWriteConfirmed:
            return std::make_unique<RawWriteConfirmed>(s);
        case Kind::kReceiveCallback:
        case Kind::kReceiveQueue:
            return std::make_unique<RawReceive>(s);
        case Kind::kOpenClose:
            return std::make_unique<RawOpenClose>(s);
        case Kind::kManyHandles:
            return std::make_unique<RawManyHandles>(s);
        case Kind::kIdle:
            return std::make_unique<RawIdle>(s);
        case Kind::kIdleAlive:
            return nullptr;  // a raw client has no keep-alive of its own
    }
    return nullptr;
}

}  // namespace bench
