// tessara-can: `sniff`, a live table of the bus with one row per identifier:
// count, mean period and its jitter, rate, last data with the bytes that
// changed, time since last seen. Drawn with curses on a terminal; one plain
// table otherwise (after --once SECONDS, or when stopped).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>

#include "busload.h"
#include "console.h"
#include "receiver.h"
#include "reconnect.h"

#if TESSARA_HAVE_CURSES
#include <curses.h>
#endif

namespace tool {

namespace {

using Clock = console::Clock;

constexpr auto kRefresh = std::chrono::milliseconds(200);
constexpr auto kRateWindow = std::chrono::seconds(1);

struct Row {
    long long nCount = 0;
    Clock::time_point oFirst, oLast;
    // Periods between frames: their sum and sum of squares, in seconds.
    double dSum = 0, dSumSquares = 0;
    int nFlags = 0;
    int nLength = 0;
    uint8_t aData[64] = {};
    uint64_t nChanged = 0;       // bit i: byte i differs from the frame before (first 64)
    long long nWindowCount = 0;  // frames in the current rate window
    double dRate = 0;            // frames per second over the last window

    double MeanPeriod() const { return nCount > 1 ? dSum / static_cast<double>(nCount - 1) : 0; }
    double Jitter() const {
        if (nCount < 3) return 0;
        const double n = static_cast<double>(nCount - 1);
        const double mean = dSum / n;
        return std::sqrt(std::max(0.0, dSumSquares / n - mean * mean));
    }
};

using Key = uint64_t;  // extended flag above the identifier: standard ones sort first
Key KeyOf(uint32_t id, int flags) {
    return static_cast<Key>((flags & kFlagExtended) != 0) << 32 | id;
}

struct Table {
    std::map<Key, Row> oRows;
    LoadMeter oMeter;  // the current window
    double dLoadWorst = 0, dLoadTypical = 0, dFramesPerSecond = 0;
    Clock::time_point oWindowStart = Clock::now();
    int nBitRate = 0;
    long long nDropped = 0;

    void Add(const RxFrame& f) {
        Row& r = oRows[KeyOf(f.nId, f.nFlags)];
        if (r.nCount == 0) {
            r.oFirst = f.oAt;
        } else {
            const double period = std::chrono::duration<double>(f.oAt - r.oLast).count();
            r.dSum += period;
            r.dSumSquares += period * period;
        }
        r.nChanged = 0;
        if (r.nCount != 0) {
            for (int i = 0; i < f.nLength; ++i) {
                if (i >= r.nLength || r.aData[i] != f.aData[i]) r.nChanged |= 1ull << i;
            }
        }
        ++r.nCount;
        ++r.nWindowCount;
        r.oLast = f.oAt;
        r.nFlags = f.nFlags;
        r.nLength = f.nLength;
        std::copy(f.aData, f.aData + f.nLength, r.aData);
        oMeter.Add((f.nFlags & kFlagExtended) != 0, (f.nFlags & kFlagRemote) != 0, f.nLength);
    }

    // Closes a rate window once a second; drops rows silent for `forget`.
    void Tick(Clock::time_point now, Clock::duration forget) {
        if (now - oWindowStart >= kRateWindow) {
            const double seconds = std::chrono::duration<double>(now - oWindowStart).count();
            dFramesPerSecond = static_cast<double>(oMeter.Frames()) / seconds;
            dLoadWorst = oMeter.WorstCasePercent(nBitRate, seconds);
            dLoadTypical = oMeter.TypicalPercent(nBitRate, seconds);
            for (auto& [key, r] : oRows) {
                r.dRate = static_cast<double>(r.nWindowCount) / seconds;
                r.nWindowCount = 0;
            }
            oMeter.Reset();
            oWindowStart = now;
        }
        for (auto it = oRows.begin(); it != oRows.end();) {
            it = now - it->second.oLast > forget ? oRows.erase(it) : std::next(it);
        }
    }
};

std::string Header(const Table& t) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%zu identifiers  %.0f frames/s  load %.1f %% (worst-case stuffing; typical "
                  "%.1f %%) of %d bit/s",
                  t.oRows.size(), t.dFramesPerSecond, t.dLoadWorst, t.dLoadTypical, t.nBitRate);
    return text;
}

const char kColumns[] = "ID        COUNT  PERIOD ms  JITTER ms   RATE/s   AGE ms  DATA";

std::string RowHead(Key key, const Row& r, Clock::time_point now) {
    char text[128];
    const bool extended = (key >> 32) != 0;
    std::snprintf(text, sizeof text, "%-8s %6lld %10.2f %10.2f %8.1f %8.0f  ",
                  FormatCanId(static_cast<uint32_t>(key), extended).c_str(), r.nCount,
                  r.MeanPeriod() * 1000, r.Jitter() * 1000, r.dRate,
                  std::chrono::duration<double, std::milli>(now - r.oLast).count());
    return text;
}

std::string DataText(const Row& r) {
    if ((r.nFlags & kFlagRemote) != 0) return "remote " + std::to_string(r.nLength);
    std::string text;
    char byte[4];
    for (int i = 0; i < r.nLength; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", r.aData[i]);
        text += byte;
    }
    return text;
}

void PrintPlain(const Table& t) {
    const Clock::time_point now = Clock::now();
    std::printf("%s\n%s\n", Header(t).c_str(), kColumns);
    for (const auto& [key, r] : t.oRows)
        std::printf("%s%s\n", RowHead(key, r, now).c_str(), DataText(r).c_str());
    std::fflush(stdout);
}

#if TESSARA_HAVE_CURSES
constexpr bool kCanDraw = true;

// A row is silent when nothing came for three of its periods (at least 1 s).
bool Silent(const Row& r, Clock::time_point now) {
    const double age = std::chrono::duration<double>(now - r.oLast).count();
    return age > std::max(1.0, 3 * r.MeanPeriod());
}

void BeginScreen() {
    initscr();
    cbreak();
    noecho();
    nodelay(stdscr, TRUE);
    keypad(stdscr, TRUE);
    curs_set(0);
}
void EndScreen() {
    endwin();
}
void ResumeScreen() {
    refresh();
}
// The next key pressed, or -1. A KEY_RESIZE has told curses the new size,
// and the next draw fits it.
int NextKey() {
    const int key = getch();
    return key == ERR ? -1 : key;
}

void Draw(const Table& t, bool paused) {
    const Clock::time_point now = Clock::now();
    // Drawn whole into curses' screen image; refresh() sends the terminal
    // only the cells that differ from what it shows.
    erase();
    mvaddnstr(0, 0, Header(t).c_str(), COLS);
    mvaddnstr(1, 0, paused ? "paused: p resumes, c clears, q quits" : "q quits, p pauses, c clears",
              COLS);
    attron(A_UNDERLINE);
    mvaddnstr(2, 0, kColumns, COLS);
    attroff(A_UNDERLINE);
    int y = 3;
    for (const auto& [key, r] : t.oRows) {
        if (y >= LINES) break;
        const attr_t dim = Silent(r, now) ? A_DIM : A_NORMAL;
        attrset(dim);
        const std::string head = RowHead(key, r, now);
        mvaddnstr(y, 0, head.c_str(), COLS);
        if ((r.nFlags & kFlagRemote) != 0) {
            addnstr(DataText(r).c_str(), std::max(0, COLS - static_cast<int>(head.size())));
        } else {
            for (int i = 0; i < r.nLength; ++i) {
                if (getcurx(stdscr) + 3 > COLS) break;
                char byte[4];
                std::snprintf(byte, sizeof byte, "%02X ", r.aData[i]);
                const bool changed = i < 64 && (r.nChanged >> i & 1) != 0;
                attrset(dim | (changed ? A_REVERSE | A_BOLD : A_NORMAL));
                addstr(byte);
            }
        }
        attrset(A_NORMAL);
        ++y;
    }
    refresh();
}

#else
// Built without curses: sniff prints plain tables only.
constexpr bool kCanDraw = false;
void BeginScreen() {}
void EndScreen() {}
void ResumeScreen() {}
int NextKey() {
    return -1;
}
void Draw(const Table&, bool) {}
#endif

}  // namespace

int RunSniff(const Options& options) {
    std::vector<std::string> args = options.oArgs;
    std::vector<IdFilter> filters;
    LinkOptions link;
    std::map<std::string, std::string> opts;
    std::string error;
    if (!TakeFilters(&args, &filters, &error) || !TakeLinkOptions(&args, &link, &error) ||
        !TakeOptions(&args, {}, {"--once", "--forget"}, &opts, &error))
        return UsageError("sniff: " + error);
    if (!args.empty()) return UsageError("sniff takes no arguments but options");
    double once = 0, forget = 10;
    for (auto [name, value] :
         {std::pair<const char*, double*>{"--once", &once}, {"--forget", &forget}}) {
        if (opts.count(name) == 0) continue;
        char* end = nullptr;
        *value = std::strtod(opts[name].c_str(), &end);
        if (opts[name].empty() || *end != '\0' || !(*value > 0) || *value > 1e6)
            return UsageError(std::string("sniff: ") + name + " needs seconds above 0");
    }

    inbox::SetFilters(filters);
    Table table;
    Link port(
        options,
        [&](int handle) {
            int rc = ApplyBitRate(handle, link.nBitRate);
            if (rc == 0) rc = inbox::Attach(handle);
            int termination = 0, highSpeed = 0, timestamps = 0;
            unsigned char mode = 0;
            if (rc == 0)
                CANGetGlobals(handle, &table.nBitRate, &mode, &termination, &highSpeed,
                              &timestamps);
            return rc;
        },
        link.bReconnect);
    int rc = port.Open();
    if (rc != 0) return Fail("open", rc);
    CatchStopSignals();

    const bool live = kCanDraw && once == 0 && console::IsTerminal(stdout);
    const auto forgetAfter =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(forget));
    const Clock::time_point start = Clock::now();
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(once));
    if (live) BeginScreen();
    bool paused = false;
    int exitCode = kExitOk;
    Clock::time_point nextDraw = start;
    while (!StopRequested()) {
        Clock::time_point now = Clock::now();
        if (once > 0 && now >= end) break;
        Clock::time_point until = now + kRefresh;
        if (once > 0) until = std::min(until, end);
        for (const RxFrame& f : inbox::Take(until, &table.nDropped)) {
            if (!paused) table.Add(f);
        }
        if (!port.Alive()) {
            // The reconnect lines go to the terminal between the screens.
            if (live) EndScreen();
            const bool back = port.Recover();
            if (live) ResumeScreen();
            if (!back) {
                if (!StopRequested()) exitCode = Fail("sniff: the link is lost", 0x30000);
                break;
            }
        }
        if (!paused) table.Tick(Clock::now(), forgetAfter);
        if (!live) continue;
        bool quit = false;
        for (int key; (key = NextKey()) != -1;) {
            if (key == 'q' || key == 'Q') quit = true;
            if (key == 'p' || key == 'P' || key == ' ') paused = !paused;
            if (key == 'c' || key == 'C') table.oRows.clear();
        }
        if (quit) break;
        now = Clock::now();
        if (now >= nextDraw) {
            Draw(table, paused);
            nextDraw = now + kRefresh;
        }
    }
    if (live) {
        EndScreen();
    } else {
        // Rates over the whole run when it was shorter than a rate window.
        const Clock::time_point now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - table.oWindowStart).count();
        if (table.dFramesPerSecond == 0 && seconds > 0) {
            for (auto& [key, r] : table.oRows)
                r.dRate = static_cast<double>(r.nWindowCount) / seconds;
            table.dFramesPerSecond = static_cast<double>(table.oMeter.Frames()) / seconds;
            table.dLoadWorst = table.oMeter.WorstCasePercent(table.nBitRate, seconds);
            table.dLoadTypical = table.oMeter.TypicalPercent(table.nBitRate, seconds);
        }
        PrintPlain(table);
    }
    if (table.nDropped != 0)
        std::fprintf(stderr, "tessara-can: sniff: %lld frames not counted (too many waiting)\n",
                     table.nDropped);
    return exitCode;
}

}  // namespace tool
