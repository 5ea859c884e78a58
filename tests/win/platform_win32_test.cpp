// Win32 side of the platform contract: the time zone rule with made-up
// zones, the zone wine reports for TZ, the waker, refused connects, sends
// that have to wait, and the waits of the unload modes.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "test_timeout.h"
#include "transport/platform.h"
#include "transport/win32/win32_time_zone.h"
#include "transport/win32/win32_unload.h"

namespace {

using namespace tes::sys;

int64_t Scaled(int64_t ms) {
    return tes::test::ScaledMs(ms);
}

SYSTEMTIME Rule(WORD month, WORD occurrence, WORD weekday, WORD hour, WORD minute = 0) {
    SYSTEMTIME t{};
    t.wMonth = month;
    t.wDay = occurrence;
    t.wDayOfWeek = weekday;
    t.wHour = hour;
    t.wMinute = minute;
    return t;
}

SYSTEMTIME Local(WORD year, WORD month, WORD day, WORD hour, WORD minute = 0, WORD second = 0,
                 WORD ms = 0) {
    SYSTEMTIME t{};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    t.wMilliseconds = ms;
    return t;
}

TIME_ZONE_INFORMATION Zone(LONG bias, LONG daylightBias, SYSTEMTIME daylight, SYSTEMTIME standard) {
    TIME_ZONE_INFORMATION z{};
    z.Bias = bias;
    z.DaylightBias = daylightBias;
    z.DaylightDate = daylight;
    z.StandardDate = standard;
    return z;
}

// Central Europe: UTC+1, summer time from the last Sunday of March 02:00 to
// the last Sunday of October 03:00 (local wall clock).
const TIME_ZONE_INFORMATION kCentralEurope = Zone(-60, -60, Rule(3, 5, 0, 2), Rule(10, 5, 0, 3));

TEST(TimeZoneRule, CentralEuropeIsOneInWinterAndTwoInSummer) {
    EXPECT_EQ(1, win32::TimeZoneHours(kCentralEurope, Local(2024, 1, 15, 12)));
    EXPECT_EQ(2, win32::TimeZoneHours(kCentralEurope, Local(2024, 7, 1, 12)));
    EXPECT_EQ(1, win32::TimeZoneHours(kCentralEurope, Local(2024, 12, 31, 23, 59)));
}

TEST(TimeZoneRule, TransitionsAreTheNthWeekdayAndInclusive) {
    // 2024: the last Sundays are 31 March and 27 October.
    EXPECT_EQ(1, win32::TimeZoneHours(kCentralEurope, Local(2024, 3, 31, 1, 59, 59, 999)));
    EXPECT_EQ(2, win32::TimeZoneHours(kCentralEurope, Local(2024, 3, 31, 2, 0)));
    EXPECT_EQ(1, win32::TimeZoneHours(kCentralEurope, Local(2024, 3, 24, 12)));  // a week early
    EXPECT_EQ(2, win32::TimeZoneHours(kCentralEurope, Local(2024, 10, 27, 3, 0, 0, 0)));
    EXPECT_EQ(1, win32::TimeZoneHours(kCentralEurope, Local(2024, 10, 27, 3, 0, 0, 1)));
    // 2026: 29 March and 25 October.
    EXPECT_EQ(1, win32::TimeZoneHours(kCentralEurope, Local(2026, 3, 28, 12)));
    EXPECT_EQ(2, win32::TimeZoneHours(kCentralEurope, Local(2026, 3, 29, 12)));
    EXPECT_EQ(2, win32::TimeZoneHours(kCentralEurope, Local(2026, 10, 25, 2, 59)));
    EXPECT_EQ(1, win32::TimeZoneHours(kCentralEurope, Local(2026, 10, 26, 0, 0)));
}

TEST(TimeZoneRule, OccurrenceBeyondTheMonthMeansTheLast) {
    // February 2026 has four Sundays: 1, 8, 15, 22. Daylight from the n-th
    // Sunday of February to 1 December.
    const SYSTEMTIME end = Rule(12, 1, 1, 0);  // first Monday of December 2026: the 7th
    for (WORD n : {4, 5}) {
        const TIME_ZONE_INFORMATION z = Zone(0, -60, Rule(2, n, 0, 0), end);
        EXPECT_EQ(0, win32::TimeZoneHours(z, Local(2026, 2, 21, 23, 59))) << n;
        EXPECT_EQ(1, win32::TimeZoneHours(z, Local(2026, 2, 22, 0, 0))) << n;
    }
    const TIME_ZONE_INFORMATION first = Zone(0, -60, Rule(2, 1, 0, 0), end);
    EXPECT_EQ(0, win32::TimeZoneHours(first, Local(2026, 1, 31, 12)));
    EXPECT_EQ(1, win32::TimeZoneHours(first, Local(2026, 2, 1, 0)));
    EXPECT_EQ(1, win32::TimeZoneHours(first, Local(2026, 12, 7, 0)));
    EXPECT_EQ(0, win32::TimeZoneHours(first, Local(2026, 12, 7, 0, 0, 0, 1)));
}

TEST(TimeZoneRule, HalfHourZonesTruncateTowardZero) {
    const TIME_ZONE_INFORMATION india = Zone(-330, 0, SYSTEMTIME{}, SYSTEMTIME{});
    EXPECT_EQ(5, win32::TimeZoneHours(india, Local(2024, 6, 1, 12)));
    // Newfoundland: UTC-3:30, daylight -2:30 from the second Sunday of March
    // to the first Sunday of November.
    const TIME_ZONE_INFORMATION newfoundland = Zone(210, -60, Rule(3, 2, 0, 2), Rule(11, 1, 0, 2));
    EXPECT_EQ(-3, win32::TimeZoneHours(newfoundland, Local(2024, 1, 10, 12)));
    EXPECT_EQ(-2, win32::TimeZoneHours(newfoundland, Local(2024, 7, 10, 12)));
}

TEST(TimeZoneRule, SouthernHemisphereRuleNeverApplies) {
    // Sydney: UTC+10, daylight from the first Sunday of October to the first
    // Sunday of April; the start lies after the end within the year.
    const TIME_ZONE_INFORMATION sydney = Zone(-600, -60, Rule(10, 1, 0, 2), Rule(4, 1, 0, 3));
    EXPECT_EQ(10, win32::TimeZoneHours(sydney, Local(2024, 1, 15, 12)));
    EXPECT_EQ(10, win32::TimeZoneHours(sydney, Local(2024, 7, 15, 12)));
}

TEST(TimeZoneRule, NoDaylightRuleIgnoresTheDaylightBias) {
    const TIME_ZONE_INFORMATION z = Zone(300, -60, SYSTEMTIME{}, SYSTEMTIME{});
    EXPECT_EQ(-5, win32::TimeZoneHours(z, Local(2024, 1, 1, 0)));
    EXPECT_EQ(-5, win32::TimeZoneHours(z, Local(2024, 2, 29, 12)));
}

// Run by CTest with TZ set for wine and the expected offset beside it.
TEST(SystemTimeZone, MatchesTheZoneOfTheEnvironment) {
    const char* expected = std::getenv("TESSARA_EXPECT_ZONE_HOURS");
    if (expected == nullptr) GTEST_SKIP() << "TESSARA_EXPECT_ZONE_HOURS not set";
    EXPECT_EQ(std::atoi(expected), CurrentTimeZoneHours());
}

TEST(Clock, WallClockAndMonotonicClockAgreeWithTheSystem) {
    int64_t seconds = 0;
    int32_t micros = -1;
    NowUtc(&seconds, &micros);
    EXPECT_LE(std::llabs(seconds - static_cast<int64_t>(std::time(nullptr))), 2);
    EXPECT_GE(micros, 0);
    EXPECT_LT(micros, 1000000);
    const int64_t before = MonotonicMs();
    SleepMs(50);
    const int64_t elapsed = MonotonicMs() - before;
    EXPECT_GE(elapsed, 45);
    EXPECT_LT(elapsed, Scaled(2000));
}

// ---------------------------------------------------------------- threads

struct Gate {
    Event oGo;
    std::atomic<int> nRuns{0};
    std::atomic<DWORD> nThreadId{0};
};

void WaitForGo(void* arg) {
    auto* gate = static_cast<Gate*>(arg);
    gate->nThreadId.store(GetCurrentThreadId());
    gate->oGo.Wait(-1);
    gate->nRuns.fetch_add(1);
}

TEST(Threads, JoinWaitsForTheEndAndDetachWorksInEitherOrder) {
    Gate gate;
    ThreadHandle t = StartThread(&WaitForGo, &gate);
    ASSERT_NE(nullptr, t);
    EXPECT_FALSE(IsCurrentThread(t));
    gate.oGo.Signal();
    JoinThread(t);
    EXPECT_EQ(1, gate.nRuns.load());

    // Detached before the thread ends, and after.
    Gate early;
    ThreadHandle a = StartThread(&WaitForGo, &early);
    ASSERT_NE(nullptr, a);
    DetachThread(a);
    early.oGo.Signal();
    Gate late;
    late.oGo.Signal();
    ThreadHandle b = StartThread(&WaitForGo, &late);
    ASSERT_NE(nullptr, b);
    const int64_t deadline = MonotonicMs() + Scaled(5000);
    while ((early.nRuns.load() == 0 || late.nRuns.load() == 0) && MonotonicMs() < deadline) SleepMs(5);
    DetachThread(b);
    EXPECT_EQ(1, early.nRuns.load());
    EXPECT_EQ(1, late.nRuns.load());
}

TEST(UnloadModes, AtProcessExitEventWaitsDoNotBlock) {
    Event never;
    win32::SetUnloadMode(win32::UnloadMode::kProcessExit);
    const int64_t before = MonotonicMs();
    const bool signalled = never.Wait(-1);
    win32::SetUnloadMode(win32::UnloadMode::kNone);
    EXPECT_FALSE(signalled);
    EXPECT_LT(MonotonicMs() - before, 1000);
}

TEST(UnloadModes, AtFreeLibraryJoinReturnsOnceTheThreadLeftTheLibrary) {
    Gate gate;
    gate.oGo.Signal();
    ThreadHandle t = StartThread(&WaitForGo, &gate);
    ASSERT_NE(nullptr, t);
    win32::SetUnloadMode(win32::UnloadMode::kFreeLibrary);
    JoinThread(t);
    win32::SetUnloadMode(win32::UnloadMode::kNone);
    EXPECT_EQ(1, gate.nRuns.load());
}

// ---------------------------------------------------------------- sockets

class Sockets : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(StartSocketLibrary()); }
    void TearDown() override { StopSocketLibrary(); }
};

TEST_F(Sockets, WakerWakesAWaitAtOnceAndClearEndsIt) {
    std::string error;
    const Socket listener = Listen("127.0.0.1", 0, kTransportTcp, &error);
    ASSERT_NE(kNoSocket, listener) << error;
    Waker waker;
    EXPECT_EQ(WaitResult::kTimeout, WaitReadable(listener, waker, 20));
    waker.Signal();
    EXPECT_EQ(WaitResult::kWoken, WaitReadable(listener, waker, 5000));
    EXPECT_EQ(WaitResult::kWoken, WaitReadable(listener, waker, 5000));  // until cleared
    waker.Clear();
    EXPECT_EQ(WaitResult::kTimeout, WaitReadable(listener, waker, 20));

    std::atomic<int64_t> signalledAt{0};
    struct Args {
        Waker* pWaker;
        std::atomic<int64_t>* pAt;
    } args{&waker, &signalledAt};
    ThreadHandle t = StartThread(
        [](void* p) {
            auto* a = static_cast<Args*>(p);
            SleepMs(100);
            a->pAt->store(MonotonicMs());
            a->pWaker->Signal();
        },
        &args);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(WaitResult::kWoken, WaitReadable(listener, waker, static_cast<int>(Scaled(10000))));
    EXPECT_LT(MonotonicMs() - signalledAt.load(), Scaled(500));
    JoinThread(t);
    CloseSocket(listener);
}

TEST_F(Sockets, RefusedConnectEndsBeforeTheTimeOut) {
    std::string error;
    const Socket probe = Listen("127.0.0.1", 0, kTransportTcp, &error);
    ASSERT_NE(kNoSocket, probe) << error;
    const uint16_t port = LocalPort(probe);
    CloseSocket(probe);  // nobody listens there now
    Socket s = kNoSocket;
    PeerAddress peer;
    const int64_t before = MonotonicMs();
    EXPECT_EQ(kTrNotConnected, ConnectAny("127.0.0.1", port, kTransportTcp, 20000, &s, &peer));
    EXPECT_LT(MonotonicMs() - before, 10000);
    EXPECT_EQ(kNoSocket, s);
    EXPECT_EQ(kTrNotConnected,
              ConnectAny("name.that.does.not.resolve.invalid", port, kTransportTcp, 1000, &s, &peer));
}

TEST_F(Sockets, ConnectedSocketIsNonBlockingAndNamesItsPeer) {
    std::string error;
    const Socket listener = Listen("127.0.0.1", 0, kTransportTcp, &error);
    ASSERT_NE(kNoSocket, listener) << error;
    Socket client = kNoSocket;
    PeerAddress peer;
    ASSERT_EQ(kTrOk, ConnectAny("127.0.0.1", LocalPort(listener), kTransportTcp, 5000, &client, &peer));
    EXPECT_EQ("127.0.0.1", PeerAddressText(peer));
    uint8_t byte = 0;
    EXPECT_EQ(-2, Receive(client, &byte, 1));  // nothing there: does not block

    Socket server = kNoSocket;
    const int64_t deadline = MonotonicMs() + Scaled(5000);
    while ((server = Accept(listener, nullptr)) == kNoSocket && MonotonicMs() < deadline) SleepMs(5);
    ASSERT_NE(kNoSocket, server);
    const uint8_t hello[3] = {1, 2, 3};
    EXPECT_EQ(IoResult::kDone, SendStream(server, hello, sizeof hello, MonotonicMs() + 1000));
    Waker waker;
    EXPECT_EQ(WaitResult::kReadable, WaitReadable(client, waker, 5000));
    uint8_t got[8] = {};
    EXPECT_EQ(3, Receive(client, got, sizeof got));
    ShutdownSocket(server);
    EXPECT_EQ(WaitResult::kReadable, WaitReadable(client, waker, 5000));
    EXPECT_EQ(0, Receive(client, got, sizeof got));  // orderly close
    CloseSocket(server);
    CloseSocket(client);
    CloseSocket(listener);
}

TEST_F(Sockets, SendWaitsForAReaderAndTimesOutWithoutOne) {
    std::string error;
    const Socket listener = Listen("127.0.0.1", 0, kTransportTcp, &error);
    ASSERT_NE(kNoSocket, listener) << error;
    Socket client = kNoSocket;
    PeerAddress peer;
    ASSERT_EQ(kTrOk, ConnectAny("127.0.0.1", LocalPort(listener), kTransportTcp, 5000, &client, &peer));
    Socket server = kNoSocket;
    const int64_t acceptBy = MonotonicMs() + Scaled(5000);
    while ((server = Accept(listener, nullptr)) == kNoSocket && MonotonicMs() < acceptBy) SleepMs(5);
    ASSERT_NE(kNoSocket, server);

    // Far more than the socket buffers hold: nobody reads, so it times out.
    std::vector<uint8_t> block(64 * 1024 * 1024, 0x5A);
    const int64_t before = MonotonicMs();
    EXPECT_EQ(IoResult::kTimeout, SendStream(client, block.data(), block.size(), before + 300));
    EXPECT_GE(MonotonicMs() - before, 290);
    // The relative limit counts from the first block; a negative one never waits.
    const int64_t blocked = MonotonicMs();
    EXPECT_EQ(IoResult::kTimeout, SendStreamWithin(client, block.data(), block.size(), 300));
    EXPECT_GE(MonotonicMs() - blocked, 290);
    const int64_t unwaited = MonotonicMs();
    EXPECT_EQ(IoResult::kTimeout, SendStreamWithin(client, block.data(), block.size(), -1));
    EXPECT_LT(MonotonicMs() - unwaited, 250);
    EXPECT_EQ(IoResult::kDone, SendStreamWithin(client, block.data(), 0, -1));

    // With a reader the whole of a smaller block goes out.
    struct Reader {
        Socket s;
        std::atomic<size_t> nBytes{0};
        std::atomic<bool> bStop{false};
    } reader{server};
    ThreadHandle t = StartThread(
        [](void* p) {
            auto* r = static_cast<Reader*>(p);
            Waker w;
            std::vector<uint8_t> buffer(65536);
            while (!r->bStop.load()) {
                if (WaitReadable(r->s, w, 50) != WaitResult::kReadable) continue;
                const long n = Receive(r->s, buffer.data(), buffer.size());
                if (n <= 0 && n != -2) break;
                if (n > 0) r->nBytes.fetch_add(static_cast<size_t>(n));
            }
        },
        &reader);
    ASSERT_NE(nullptr, t);
    std::vector<uint8_t> second(8 * 1024 * 1024, 0xA5);
    EXPECT_EQ(IoResult::kDone,
              SendStream(client, second.data(), second.size(), MonotonicMs() + Scaled(20000)));
    const int64_t readBy = MonotonicMs() + Scaled(20000);
    while (reader.nBytes.load() < second.size() && MonotonicMs() < readBy) SleepMs(5);
    reader.bStop.store(true);
    JoinThread(t);
    EXPECT_GE(reader.nBytes.load(), second.size());
    CloseSocket(server);
    CloseSocket(client);
    CloseSocket(listener);
}

}  // namespace
