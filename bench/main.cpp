// tessara-bench: the library against the raw-socket limit on this machine.
// Every scenario runs once through the library and once through a raw-socket
// client doing the same work with the same bytes against the same peer, the
// two alternating, for several rounds; the figures are medians of the rounds.
// Benchmark.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host.h"
#include "peer.h"
#include "scenarios.h"
#include "stats.h"

using namespace bench;

namespace {

struct Options {
    bool bQuick = false;
    int nRounds = 5;
    std::string sMarkdown;
    std::string sOnly;                    // comma-separated scenario names; empty: all
    std::string sSkip;                    // comma-separated scenario names left out
    std::string sLabel = "this machine";  // names the conditions of the run in its table
    std::string sSide = "both";
    bool bVerbose = false;
    bool bBusy = false;     // the run has competitors: the loaded targets apply
    int nIdleSeconds = -1;  // -1: the default of the counts chosen
};

void Usage() {
    std::fprintf(stderr,
                 "usage: tessara-bench [--quick] [--rounds N] [--markdown FILE] [--only a,b]\n"
                 "                     [--skip a,b] [--side lib|raw|both] [--idle-seconds N]\n"
                 "                     [--label TEXT] [--busy] [--verbose]\n"
                 "  --quick     1/50 of the counts (CI); figures are then only a smoke test\n"
                 "  --only      scenarios: stream-write request-latency write-confirmed\n"
                 "              receive-callback receive-queue open-close many-handles\n"
                 "              idle idle-keepalive (--skip: all but these)\n"
                 "  --markdown  writes the table as a section of a markdown file, headed\n"
                 "              by --label (the conditions of the run, e.g. \"busy\")\n"
                 "  --busy      the machine is loaded on purpose: stream-write's target\n"
                 "              is then 0.85 of raw instead of 0.90, and the round-trip\n"
                 "              scenarios take a new link for each chunk (stream-write\n"
                 "              always does)\n"
                 "  --idle-seconds  how long the idle scenarios keep their links open\n"
                 "              (default 10, with --quick 1)\n");
}

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--quick") {
            o->bQuick = true;
        } else if (a == "--rounds" && value(&v)) {
            o->nRounds = std::atoi(v.c_str());
            if (o->nRounds < 1) return false;
        } else if (a == "--markdown" && value(&v)) {
            o->sMarkdown = v;
        } else if (a == "--only" && value(&v)) {
            o->sOnly = "," + v + ",";
        } else if (a == "--skip" && value(&v)) {
            o->sSkip = "," + v + ",";
        } else if (a == "--label" && value(&v)) {
            o->sLabel = v;
        } else if (a == "--side" && value(&v) && (v == "lib" || v == "raw" || v == "both")) {
            o->sSide = v;
        } else if (a == "--idle-seconds" && value(&v)) {
            o->nIdleSeconds = std::atoi(v.c_str());
            if (o->nIdleSeconds < 1) return false;
        } else if (a == "--verbose") {
            o->bVerbose = true;
        } else if (a == "--busy") {
            o->bBusy = true;
        } else {
            return false;
        }
    }
    return true;
}

// One scenario's samples per round, library and raw.
struct Pair {
    const char* pName;
    Kind eKind;
    std::vector<Sample> oLib;
    std::vector<Sample> oRaw;
    std::vector<Sample> oFloor;  // raw with a reader thread (round-trip kinds)
};

// One line of the result table, derived from a pair.
struct Row {
    std::string sScenario;
    std::string sUnit;
    std::vector<double> oLib;
    std::vector<double> oRaw;
    bool bHigherIsBetter = true;
    double dTarget = 0;    // ratio target, 0: none
    double dAbsolute = 0;  // absolute upper bound on the library figure, 0: none
    uint64_t nLostLib = 0;
    uint64_t nLostRaw = 0;
    bool bRatio = true;  // false where the raw figure is near zero (idle)
};

std::string Figure(double v) {
    char text[32];
    if (v >= 100000) {
        std::snprintf(text, sizeof text, "%.0f", v);
    } else if (v >= 100) {
        std::snprintf(text, sizeof text, "%.1f", v);
    } else {
        std::snprintf(text, sizeof text, "%.2f", v);
    }
    return text;
}

std::string Spread(const std::vector<double>& v) {
    if (v.size() < 2) return "";
    return Figure(Min(v)) + "–" + Figure(Max(v));
}

double Ratio(const Row& r) {
    const double raw = Median(r.oRaw);
    return raw > 0 ? Median(r.oLib) / raw : 0;
}

std::string RatioText(const Row& r) {
    char ratio[16] = "";
    if (r.bRatio && !r.oRaw.empty() && !r.oLib.empty())
        std::snprintf(ratio, sizeof ratio, "%.2f", Ratio(r));
    return ratio;
}

std::string TargetText(const Row& r) {
    char text[48] = "";
    if (r.dTarget > 0) {
        std::snprintf(text, sizeof text, "%s %.2f of raw", r.bHigherIsBetter ? "≥" : "≤",
                      r.dTarget);
    } else if (r.dAbsolute > 0) {
        std::snprintf(text, sizeof text, "≤ %s %s", Figure(r.dAbsolute).c_str(), r.sUnit.c_str());
    }
    return text;
}

// "met", "missed" or "" (no target).
std::string Verdict(const Row& r) {
    if (r.oLib.empty()) return "";
    if (r.dTarget > 0) {
        if (r.oRaw.empty()) return "";
        const double ratio = Ratio(r);
        const bool met = r.bHigherIsBetter ? ratio >= r.dTarget : ratio <= r.dTarget;
        return met ? "met" : "missed";
    }
    if (r.dAbsolute > 0) return Median(r.oLib) <= r.dAbsolute ? "met" : "missed";
    return "";
}

std::string ReadFirstMatch(const char* path, const char* key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, std::strlen(key), key) == 0) {
            const size_t colon = line.find(':');
            if (colon == std::string::npos) return "";
            size_t start = line.find_first_not_of(" \t", colon + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "";
}

std::string MachineText() {
    std::ostringstream out;
    const std::string cpu = ReadFirstMatch("/proc/cpuinfo", "model name");
    out << (cpu.empty() ? "unknown CPU" : cpu) << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " cores";
    const std::string mem = ReadFirstMatch("/proc/meminfo", "MemTotal");
    if (!mem.empty()) out << ", " << (std::atol(mem.c_str()) / 1024 / 1024) << " GiB";
    utsname u{};
    if (uname(&u) == 0) out << ", " << u.sysname << " " << u.release;
    out << ", "
        <<
#if defined(__clang__)
        "clang "
#elif defined(__GNUC__)
        "gcc "
#endif
        << __VERSION__;
    return out.str();
}

// The 1-minute load average: on a shared or virtual machine the figures,
// round trips above all, depend on what else runs.
double LoadAverage() {
    std::ifstream in("/proc/loadavg");
    double first = -1;
    in >> first;
    return first;
}

// Load averages sampled at the start, after every round and at the end, and
// the share of the machine's CPU time its host took over the run.
struct LoadRecord {
    std::vector<double> oSamples;
    CpuTimes oStart, oEnd;
    void Take() {
        const double v = LoadAverage();
        if (v >= 0) oSamples.push_back(v);
        (oStart.bKnown ? oEnd : oStart) = ReadCpuTimes();
    }
    std::string Text() const {
        if (oSamples.empty()) return "unknown";
        char text[192];
        int n = std::snprintf(text, sizeof text,
                              "%.2f at the start, %.2f at the end, %.2f–%.2f over the run",
                              oSamples.front(), oSamples.back(), Min(oSamples), Max(oSamples));
        const double steal = StealShare(oStart, oEnd);
        if (steal >= 0 && n > 0 && static_cast<size_t>(n) < sizeof text) {
            std::snprintf(text + n, sizeof text - static_cast<size_t>(n),
                          "; CPU time taken by the host (steal): %.1f%%", steal * 100);
        }
        return text;
    }
};

std::string Today() {
    char text[32];
    const time_t now = time(nullptr);
    tm t{};
    gmtime_r(&now, &t);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &t);
    return text;
}

std::vector<Row> BuildRows(const std::vector<Pair>& pairs, bool busy) {
    std::vector<Row> rows;
    auto pair = [&](const char* name) -> const Pair* {
        for (const Pair& p : pairs)
            if (std::strcmp(p.pName, name) == 0 && (!p.oLib.empty() || !p.oRaw.empty())) return &p;
        return nullptr;
    };
    auto add = [&](const Pair* p, const char* scenario, const char* unit, bool higher,
                   double target, double absolute, const std::function<double(const Sample&)>& pick,
                   bool countLost) {
        if (p == nullptr) return;
        Row r;
        r.sScenario = scenario;
        r.sUnit = unit;
        r.bHigherIsBetter = higher;
        r.dTarget = target;
        r.dAbsolute = absolute;
        for (const Sample& s : p->oLib) {
            if (s.sError.empty()) r.oLib.push_back(pick(s));
            if (countLost) r.nLostLib += s.nLost;
        }
        for (const Sample& s : p->oRaw) {
            if (s.sError.empty()) r.oRaw.push_back(pick(s));
            if (countLost) r.nLostRaw += s.nLost;
        }
        rows.push_back(r);
    };
    // The design floor in the library column, against the same raw figures.
    auto addFloor = [&](const Pair* p, const char* scenario, const char* unit, bool higher,
                        const std::function<double(const Sample&)>& pick) {
        if (p == nullptr || p->oFloor.empty()) return;
        Row r;
        r.sScenario = scenario;
        r.sUnit = unit;
        r.bHigherIsBetter = higher;
        for (const Sample& s : p->oFloor) {
            if (s.sError.empty()) r.oLib.push_back(pick(s));
            r.nLostLib += s.nLost;
        }
        for (const Sample& s : p->oRaw) {
            if (s.sError.empty()) r.oRaw.push_back(pick(s));
        }
        rows.push_back(r);
    };
    const auto value = [](const Sample& s) { return s.dValue; };
    const auto extra = [](const Sample& s) { return s.dExtra; };
    const auto cpu = [](const Sample& s) { return s.dCpuNsPerFrame; };
    add(pair("stream-write"), "stream-write", "frames/s", true, busy ? 0.85 : 0.9, 0, value, true);
    add(pair("request-latency"), "request-latency, median", "µs", false, 1.3, 0, value, true);
    addFloor(pair("request-latency"), "request-latency, median: raw + reader thread", "µs", false,
             value);
    add(pair("request-latency"), "request-latency, p99", "µs", false, 2.0, 0, extra, false);
    add(pair("write-confirmed"), "write-confirmed", "round trips/s", true, 0.75, 0, value, true);
    addFloor(pair("write-confirmed"), "write-confirmed: raw + reader thread", "round trips/s", true,
             value);
    add(pair("receive-callback"), "receive-callback", "frames/s", true, 0.4, 0, value, true);
    add(pair("receive-queue"), "receive-queue", "frames/s", true, 0.15, 0, value, true);
    add(pair("open-close"), "open-close", "ms/cycle", false, 4.0, 0, value, true);
    add(pair("many-handles"), "many-handles, total", "ms", false, 0, 0, value, true);
    add(pair("many-handles"), "many-handles, resident per idle handle", "KiB", false, 0, 150, extra,
        false);
    add(pair("stream-write"), "CPU per frame, stream-write", "ns", false, 1.1, 0, cpu, false);
    add(pair("receive-callback"), "CPU per frame, receive-callback", "ns", false, 0, 0, cpu, false);
    add(pair("receive-queue"), "CPU per frame, receive-queue", "ns", false, 0, 40, cpu, false);
    // Context switches of all the process's threads while the links idle: a
    // link without keep-alive should cause none.
    add(pair("idle"), "idle, wake-ups", "per link per s", false, 0, 0.01, value, true);
    add(pair("idle"), "idle, CPU", "% of a core", false, 0, 0, extra, false);
    add(pair("idle-keepalive"), "idle with keep-alive, wake-ups", "per link per s", false, 0, 0,
        value, true);
    add(pair("idle-keepalive"), "idle with keep-alive, CPU", "% of a core", false, 0, 0, extra,
        false);
    for (Row& r : rows) {
        if (r.sScenario.compare(0, 4, "idle") == 0) r.bRatio = false;
    }
    return rows;
}

std::string MedianText(const std::vector<double>& v) {
    return v.empty() ? "-" : Figure(Median(v));
}

void PrintTable(const std::vector<Row>& rows, const Options& o, const LoadRecord& load, FILE* out) {
    std::fprintf(out,
                 "\n== %s: %d rounds%s\nMachine: %s\nCPUs online: %ld\nLoad average (1 min): %s\n",
                 o.sLabel.c_str(), o.nRounds, o.bQuick ? ", quick counts" : "",
                 MachineText().c_str(), sysconf(_SC_NPROCESSORS_ONLN), load.Text().c_str());
    std::fprintf(out, "%-44s %-14s %12s %-23s %12s %-23s %7s  %-22s %-6s %s\n", "scenario", "unit",
                 "library", "(min–max)", "raw", "(min–max)", "ratio", "target", "", "lost lib/raw");
    for (const Row& r : rows) {
        std::fprintf(out, "%-44s %-14s %12s %-23s %12s %-23s %7s  %-22s %-6s %llu/%llu\n",
                     r.sScenario.c_str(), r.sUnit.c_str(), MedianText(r.oLib).c_str(),
                     Spread(r.oLib).c_str(), MedianText(r.oRaw).c_str(), Spread(r.oRaw).c_str(),
                     RatioText(r).c_str(), TargetText(r).c_str(), Verdict(r).c_str(),
                     static_cast<unsigned long long>(r.nLostLib),
                     static_cast<unsigned long long>(r.nLostRaw));
    }
}

// One section of bench/RESULTS.md (scripts/bench.sh writes the rest).
void WriteMarkdown(const std::vector<Row>& rows, const Options& o, const std::string& path,
                   const LoadRecord& load) {
    std::ofstream out(path);
    out << "## " << o.sLabel << "\n\n"
        << o.nRounds << " rounds" << (o.bQuick ? " (quick counts)" : "") << ", " << Today()
        << ". Machine: " << MachineText() << ", " << sysconf(_SC_NPROCESSORS_ONLN)
        << " CPUs online; Release build. Load average (1 min): " << load.Text() << ".\n\n"
        << "| scenario | unit | library | spread | raw socket | spread | ratio | target | | frames "
           "lost (library/raw) |\n"
        << "|---|---|---:|---|---:|---|---:|---|---|---|\n";
    for (const Row& r : rows) {
        out << "| " << r.sScenario << " | " << r.sUnit << " | " << MedianText(r.oLib) << " | "
            << Spread(r.oLib) << " | " << MedianText(r.oRaw) << " | " << Spread(r.oRaw) << " | "
            << RatioText(r) << " | " << TargetText(r) << " | " << Verdict(r) << " | " << r.nLostLib
            << "/" << r.nLostRaw << " |\n";
    }
    out << "\n";
}

// One round of a scenario: every side open, chunks alternating (the side
// that goes first rotates too), every side closed.
void RunRound(Pair& p, const Settings& s, const Options& o, int round, bool* failed) {
    const bool many =
        p.eKind == Kind::kManyHandles || p.eKind == Kind::kIdle || p.eKind == Kind::kIdleAlive;
    const bool receive = p.eKind == Kind::kReceiveCallback || p.eKind == Kind::kReceiveQueue;
    const uint32_t total = RoundCount(p.eKind, s);
    // Receiving is fast: every chunk is a whole push of the full count, so a
    // round measures long enough to stand out of the noise.
    const uint32_t chunks = many ? 1 : receive ? s.nReceivePushes : s.nChunks;
    const uint32_t perChunk = many || receive ? total : (total / chunks > 0 ? total / chunks : 1);
    static const char* const kSideNames[3] = {"library", "raw", "raw+reader"};
    std::vector<Sample>* const results[3] = {&p.oLib, &p.oRaw, &p.oFloor};
    std::unique_ptr<Scenario> sides[3];
    for (int side = 0; side < 3; ++side) {
        if ((side == 0 && o.sSide == "raw") || (side != 0 && o.sSide == "lib")) continue;
        sides[side] = side == 0   ? MakeLibrary(p.eKind, s)
                      : side == 1 ? MakeRaw(p.eKind, s)
                                  : MakeRawWithReader(p.eKind, s);
        if (!sides[side]) continue;
        const std::string error = sides[side]->Open();
        if (!error.empty()) {
            std::fprintf(stderr, "  %s (%s): %s\n", p.pName, kSideNames[side], error.c_str());
            *failed = true;
            sides[side].reset();
        }
    }
    // A link's rate is set by where its threads land for as long as it
    // lives: stream-write takes a new link per chunk, and so do the round
    // trips on a loaded machine (Scenario::Reopen).
    const bool newLinks =
        p.eKind == Kind::kStreamWrite ||
        (o.bBusy && (p.eKind == Kind::kRequestLatency || p.eKind == Kind::kWriteConfirmed));
    for (uint32_t c = 0; c < chunks; ++c) {
        for (int k = 0; k < 3; ++k) {
            const int side =
                static_cast<int>((c + static_cast<uint32_t>(round) + static_cast<uint32_t>(k)) % 3);
            if (!sides[side]) continue;
            if (newLinks && c > 0) {
                const std::string error = sides[side]->Reopen();
                if (!error.empty()) {
                    std::fprintf(stderr, "  %s (%s): %s\n", p.pName, kSideNames[side],
                                 error.c_str());
                    *failed = true;
                    sides[side].reset();
                    continue;
                }
            }
            sides[side]->Run(perChunk);
        }
    }
    for (int side = 0; side < 3; ++side) {
        if (!sides[side]) continue;
        const Sample sample = sides[side]->Finish();
        sides[side].reset();
        if (!sample.sError.empty()) {
            std::fprintf(stderr, "  %s (%s): %s\n", p.pName, kSideNames[side],
                         sample.sError.c_str());
            *failed = true;
        }
        if (sample.nLost != 0) *failed = true;
        if (o.bVerbose) {
            std::fprintf(stderr, "  round %d %-16s %-10s %14.2f %10.2f cpu %8.1f ns lost %llu\n",
                         round + 1, p.pName, kSideNames[side], sample.dValue, sample.dExtra,
                         sample.dCpuNsPerFrame, static_cast<unsigned long long>(sample.nLost));
        }
        results[side]->push_back(sample);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        Usage();
        return 2;
    }
    Settings s;
    if (o.bQuick) {
        s.nStreamFrames /= 50;
        s.nLatencyCalls /= 50;
        s.nConfirmedWrites /= 50;
        s.nReceiveFrames /= 50;
        s.nOpenCloseCycles /= 50;
        s.nFramesPerHandle /= 50;
        s.nIdleSeconds = 1;
    }
    if (o.nIdleSeconds > 0) s.nIdleSeconds = static_cast<uint32_t>(o.nIdleSeconds);

    // The peer is forked before any thread of this process exists.
    PeerProcess peer;
    std::string error;
    if (!peer.Start(s.nPort, &error)) {
        std::fprintf(stderr, "tessara-bench: cannot start the peer: %s\n", error.c_str());
        return 2;
    }
    s.sAddress = peer.Address();

    std::vector<Pair> pairs = {
        {"stream-write", Kind::kStreamWrite, {}, {}, {}},
        {"request-latency", Kind::kRequestLatency, {}, {}, {}},
        {"write-confirmed", Kind::kWriteConfirmed, {}, {}, {}},
        {"receive-callback", Kind::kReceiveCallback, {}, {}, {}},
        {"receive-queue", Kind::kReceiveQueue, {}, {}, {}},
        {"open-close", Kind::kOpenClose, {}, {}, {}},
        {"many-handles", Kind::kManyHandles, {}, {}, {}},
        {"idle", Kind::kIdle, {}, {}, {}},
        {"idle-keepalive", Kind::kIdleAlive, {}, {}, {}},
    };
    std::fprintf(stderr, "tessara-bench: peer at %s:%u, %d rounds%s\n", s.sAddress.c_str(), s.nPort,
                 o.nRounds, o.bQuick ? ", quick counts" : "");

    LoadRecord load;
    load.Take();
    bool failed = false;
    auto chosen = [&](const char* name) {
        const std::string key = "," + std::string(name) + ",";
        if (!o.sOnly.empty() && o.sOnly.find(key) == std::string::npos) return false;
        return o.sSkip.find(key) == std::string::npos;
    };
    for (int round = 0; round < o.nRounds; ++round) {
        for (Pair& p : pairs) {
            if (chosen(p.pName)) RunRound(p, s, o, round, &failed);
        }
        load.Take();
        std::fprintf(stderr, "  round %d of %d done\n", round + 1, o.nRounds);
    }
    peer.Stop();

    const std::vector<Row> rows = BuildRows(pairs, o.bBusy);
    PrintTable(rows, o, load, stdout);
    if (!o.sMarkdown.empty()) WriteMarkdown(rows, o, o.sMarkdown, load);
    if (failed) std::fprintf(stderr, "tessara-bench: frames were lost or a scenario failed\n");
    return failed ? 1 : 0;
}
