// The benchmark's scenarios, each in two versions that put the same bytes on
// the same peer: one through the library's C interface, one through the
// raw-socket client. Benchmark.
//
// A round of a scenario opens both versions, then runs them in alternating
// chunks (so that both see the same background load on a shared machine),
// then closes both and reports one sample each.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bench {

struct Settings {
    std::string sAddress;
    unsigned nPort = 5001;  // CAN port 0
    int nTimeoutMs = 5000;
    uint32_t nChunks = 20;  // per round and scenario
    uint32_t nStreamFrames = 1000000;
    uint32_t nLatencyCalls = 20000;
    uint32_t nConfirmedWrites = 20000;
    uint32_t nReceiveFrames = 1000000;  // per push
    uint32_t nReceivePushes = 5;        // per round and side
    uint32_t nOpenCloseCycles = 200;
    uint32_t nHandles = 256;
    uint32_t nFramesPerHandle = 1000;
    uint32_t nIdleSeconds = 10;      // how long the idle handles stay open
    uint32_t nIdleAliveSeconds = 2;  // keep-alive period of the idle-keepalive kind
};

// One round's measurement. What dValue and dExtra hold depends on the scenario.
struct Sample {
    double dValue = 0;
    double dExtra = 0;
    double dCpuNsPerFrame = 0;
    uint64_t nLost = 0;
    std::string sError;  // set when the round could not be completed
};

class Scenario {
public:
    virtual ~Scenario() = default;
    // Empty, or why it could not start.
    virtual std::string Open() = 0;
    // One chunk of work: `count` frames, calls or cycles.
    virtual void Run(uint32_t count) = 0;
    // Closes and reports the chunks run since Open.
    virtual Sample Finish() = 0;
    // stream-write and the round-trip scenarios: a new link for the next
    // chunk, the tallies kept. Where the scheduler puts a link's threads
    // (the peer's serving thread, the library's receive thread) sets the
    // link's rate for as long as it lives: the round trips' by a factor of
    // up to four on a loaded machine, stream-write's CPU per frame by a
    // third on a quiet one. A new link per chunk gives both sides the same
    // odds.
    virtual std::string Reopen() { return ""; }
};

enum class Kind {
    kStreamWrite,      // frames/s; CPU per frame
    kRequestLatency,   // median µs per round trip; dExtra the 99th percentile
    kWriteConfirmed,   // confirmed writes per second
    kReceiveCallback,  // frames/s reaching the callback; CPU per frame
    kReceiveQueue,     // frames/s taken from the queue
    kOpenClose,        // ms per cycle
    kManyHandles,  // total ms (open all, write on each, check, close all); dExtra KiB per idle link
    kIdle,         // nHandles links open and idle: context switches per link per second;
                   // dExtra CPU time in % of one core
    kIdleAlive,    // the same with keep-alive on every link (library only)
};

std::unique_ptr<Scenario> MakeLibrary(Kind kind, const Settings& s);
std::unique_ptr<Scenario> MakeRaw(Kind kind, const Settings& s);
// For the round-trip kinds only (else null): the raw client with the
// library's thread structure, a reader thread that receives every reply and
// hands it to the waiting requester through an event. Its figure is the floor
// of that design on this machine.
std::unique_ptr<Scenario> MakeRawWithReader(Kind kind, const Settings& s);
// Work per round for the kind (frames, calls, cycles).
uint32_t RoundCount(Kind kind, const Settings& s);

// Resident set of this process in bytes (/proc/self/statm).
uint64_t ResidentBytes();

}  // namespace bench
