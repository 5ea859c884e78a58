// Tests of the time values: calendar, field clamping, offsets, text layouts
// and the time zone. Time values layer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>

#include "time/tes_time.h"

using tes::CTesLocalTime;
using tes::CTesUTCTime;

namespace {

// A UTC time at a given calendar moment (the default constructor reads the clock).
CTesUTCTime Utc(int d, int mo, int y, int h, int mi, int s, int ms = 0, int us = 0, int ns = 0) {
    CTesUTCTime t;
    t.SetFields(d, mo, y, h, mi, s, ms, us, ns);
    return t;
}

// Every calendar accessor in one text, built here rather than by Write.
std::string Fields(const CTesUTCTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d.%03d.%03d", t.GetYear(),
                  t.GetMonth(), t.GetDay(), t.GetHour(), t.GetMinute(), t.GetSecond(),
                  t.GetMillisecond(), t.GetMicrosecond(), t.GetNanosecond());
    return text;
}

std::string WriteIn(int layout, const CTesUTCTime& t) {
    std::ostringstream out;
    out << tes::SetTimeFormat(layout) << t;
    return out.str();
}

// Reads `text` in `layout`; *failed tells whether the stream failed.
CTesUTCTime ReadIn(int layout, const char* text, bool* failed) {
    std::istringstream in(text);
    CTesUTCTime t;
    in >> tes::SetTimeFormat(layout) >> t;
    *failed = in.fail();
    return t;
}

}  // namespace

TEST(TimeCalendar, EveryDayFrom0000To9999RoundTripsThroughItsDayNumber) {
    const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int64_t expected = 0;
    for (int y = 0; y <= 9999; ++y) {
        const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
        for (int m = 1; m <= 12; ++m) {
            const int length = m == 2 && leap ? 29 : lengths[m - 1];
            for (int d = 1; d <= length; ++d, ++expected) {
                ASSERT_EQ(CTesUTCTime::DayNumber(y, m, d), expected) << y << "-" << m << "-" << d;
                int32_t ry = -1, rm = -1, rd = -1;
                CTesUTCTime::DateOfDayNumber(static_cast<uint64_t>(expected), &ry, &rm, &rd);
                ASSERT_TRUE(ry == y && rm == m && rd == d)
                    << expected << " gave " << ry << "-" << rm << "-" << rd;
            }
        }
    }
    EXPECT_EQ(expected, 25 * 146097);  // 25 cycles of 400 years
    EXPECT_EQ(CTesUTCTime::DayNumber(1970, 1, 1), 719528);
    EXPECT_EQ(CTesUTCTime::DayNumber(2000, 1, 1), 730485);
}

TEST(TimeCalendar, WeekdaysOfKnownDates) {
    // 0000-01-01 Saturday, 1970-01-01 Thursday, 2000-01-01 Saturday, 2026-03-05 Thursday.
    EXPECT_EQ(Utc(1, 1, 0, 0, 0, 0).GetDayOfWeek(), 6);
    EXPECT_EQ(Utc(1, 1, 1970, 0, 0, 0).GetDayOfWeek(), 4);
    EXPECT_EQ(Utc(1, 1, 2000, 12, 0, 0).GetDayOfWeek(), 6);
    EXPECT_EQ(Utc(5, 3, 2026, 23, 59, 59).GetWeekday(), 2);  // 0 = Tuesday
    EXPECT_EQ(CTesUTCTime::WeekdayFromSystem(0), 5);         // Sunday
    EXPECT_EQ(CTesUTCTime::WeekdayFromSystem(2), 0);         // Tuesday
}

TEST(TimeSetFields, ClampsOutOfRangeFieldsAndReportsIt) {
    struct Case {
        int d, mo, y, h, mi, s, ms, us, ns;
        const char* expected;
        bool valid;
    };
    const Case cases[] = {
        {31, 2, 2024, 0, 0, 0, 0, 0, 0, "2024-02-29 00:00:00.000.000.000", false},
        {29, 2, 2100, 0, 0, 0, 0, 0, 0, "2100-02-28 00:00:00.000.000.000", false},
        {29, 2, 2000, 0, 0, 0, 0, 0, 0, "2000-02-29 00:00:00.000.000.000", true},
        {29, 2, 0, 0, 0, 0, 0, 0, 0, "0000-02-29 00:00:00.000.000.000", true},
        {31, 4, 2024, 0, 0, 0, 0, 0, 0, "2024-04-30 00:00:00.000.000.000", false},
        {15, 0, 2024, 0, 0, 0, 0, 0, 0, "2024-01-15 00:00:00.000.000.000", false},
        {15, 13, 2024, 0, 0, 0, 0, 0, 0, "2024-12-15 00:00:00.000.000.000", false},
        {0, 7, 2024, 0, 0, 0, 0, 0, 0, "2024-07-01 00:00:00.000.000.000", false},
        {1, 7, 2024, 24, 0, 0, 0, 0, 0, "2024-07-01 23:00:00.000.000.000", false},
        {1, 7, 2024, -1, 0, 0, 0, 0, 0, "2024-07-01 23:00:00.000.000.000", false},
        {1, 7, 2024, 0, 60, 60, 0, 0, 0, "2024-07-01 00:59:59.000.000.000", false},
        {1, 7, 2024, 0, 0, 0, 1000, 1000, 1000, "2024-07-01 00:00:00.999.999.990", false},
        {31, 12, 2024, 23, 59, 59, 999, 999, 999, "2024-12-31 23:59:59.999.999.990", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        CTesUTCTime t;
        EXPECT_EQ(t.SetFields(c.d, c.mo, c.y, c.h, c.mi, c.s, c.ms, c.us, c.ns), c.valid);
        EXPECT_EQ(t.bValid, c.valid ? 1 : 0);
        EXPECT_EQ(Fields(t), c.expected);
    }
}

TEST(TimeEpoch, TheText1970GivesTheConstantAndOneSecondIs100000000) {
    const CTesLocalTime epoch("01.01.1970");
    EXPECT_EQ(epoch.nValue, 719528ULL * 8640000000000ULL);
    EXPECT_EQ(epoch.nValue, tes::kValue1970);
    EXPECT_EQ(epoch.nTimeZone, 0);
    EXPECT_EQ(epoch.bValid, 1);

    const CTesUTCTime oneSecondLater = Utc(1, 1, 1970, 0, 0, 1);
    EXPECT_EQ(tes::Difference(epoch, oneSecondLater), 100000000);
    EXPECT_EQ(tes::Difference(oneSecondLater, epoch), -100000000);
}

TEST(TimeLocal, OffsetMovesEveryLocalViewButNotTheStoredValue) {
    const CTesLocalTime utc(1, 1, 2026, 3, 0, 0, 0);
    CTesLocalTime west = utc;
    west.SetTimeZone(-5);
    EXPECT_EQ(utc.GetTotalMilliseconds() - west.GetTotalMilliseconds(), 18000000U);
    EXPECT_EQ(west.nValue, utc.nValue);
    EXPECT_EQ(Fields(west), "2025-12-31 22:00:00.000.000.000");  // back across the year
    EXPECT_EQ(WriteIn(1, west), "31.12.2025 22:00:00");
    EXPECT_EQ(WriteIn(11, west), "31 Dec 25 22:00 +0100");  // zone text is fixed

    // A deadline set in local milliseconds lands on the same UTC instant.
    CTesLocalTime deadline = west;
    deadline.SetTotalMilliseconds(west.GetTotalMilliseconds() + 1500);
    EXPECT_EQ(deadline.nValue, utc.nValue + 1500 * 100000ULL);
    EXPECT_EQ(tes::Difference(west, deadline), 1500 * 100000);
    deadline.SetValue(42);  // stored as given, no offset
    EXPECT_EQ(deadline.nValue, 42U);

    west.SetTimeZone(14);  // out of range, kept all the same
    EXPECT_EQ(west.nTimeZone, 14);
    EXPECT_EQ(west.GetHour(), 17);
}

TEST(TimeSubtractSeconds, ClearsValidOnlyWhenTheValueDoesNotDrop) {
    CTesLocalTime t(1, 1, 0, 0, 0, 5, 0);
    ASSERT_EQ(t.bValid, 1);
    t.SubtractSeconds(5);
    EXPECT_EQ(t.nValue, 0U);
    EXPECT_EQ(t.bValid, 1);
    t.SubtractSeconds(1);  // below year 0: wraps
    EXPECT_EQ(t.nValue, 0ULL - 100000000ULL);
    EXPECT_EQ(t.bValid, 0);

    CTesLocalTime same(5, 3, 2026, 0, 0, 0, 0);
    same.SubtractSeconds(0);
    EXPECT_EQ(same.bValid, 0);

    const CTesLocalTime now = CTesLocalTime::LocalNow();
    CTesLocalTime earlier = now;
    earlier.SubtractSeconds(10);
    EXPECT_EQ(now.GetTotalMilliseconds() - earlier.GetTotalMilliseconds(), 10000U);
    EXPECT_EQ(earlier.bValid, 1);
}

TEST(TimeLayouts, EachLayoutWritesOneInstantAndReadsItBack) {
    const CTesUTCTime t = Utc(5, 3, 2026, 7, 8, 9, 10, 11, 120);
    struct Case {
        int layout;
        const char* written;
        const char* read;  // text read back in the same layout
        const char* expected;
        bool valid;  // a text without a date reads as day 0, month 0: clamped
    };
    const Case cases[] = {
        {0, "05.03.2026 07:08:09.010", nullptr, "2026-03-05 07:08:09.010.000.000", true},
        {1, "05.03.2026 07:08:09", nullptr, "2026-03-05 07:08:09.000.000.000", true},
        {2, "05.03.2026", nullptr, "2026-03-05 00:00:00.000.000.000", true},
        {3, "05.03.2026 07:08:09.010.011", nullptr, "2026-03-05 07:08:09.010.011.000", true},
        {4, "05.03.2026 07:08:09.010.011.120", nullptr, "2026-03-05 07:08:09.010.011.120", true},
        {5, "07:08:09", nullptr, "0000-01-01 07:08:09.000.000.000", false},
        {6, "03/05/2026 07:08:09", nullptr, "2026-03-05 07:08:09.000.000.000", true},
        {7, "03/05/2026 ", nullptr, "2026-03-05 00:00:00.000.000.000", true},
        {8, "2026-03-05 ", nullptr, "2026-03-05 00:00:00.000.000.000", true},
        {9, "07:08:09.010", nullptr, "0000-01-01 07:08:09.010.000.000", false},
        {10, "2026-03-05 07:08:09.010", nullptr, "2026-03-05 07:08:09.010.000.000", true},
        {11, "5 Mar 26 07:08 +0100", "05 03 26 07:08:09", "2026-03-05 07:08:09.000.000.000", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        EXPECT_EQ(WriteIn(c.layout, t), c.written);
        bool failed = true;
        const CTesUTCTime r = ReadIn(c.layout, c.read != nullptr ? c.read : c.written, &failed);
        EXPECT_FALSE(failed);
        EXPECT_EQ(r.bValid, c.valid ? 1 : 0);
        EXPECT_EQ(Fields(r), c.expected);
        if (c.read == nullptr) {
            EXPECT_EQ(WriteIn(c.layout, r), c.written);
        }
    }
}

TEST(TimeLayouts, Layout11ReadingRules) {
    struct Case {
        const char* text;
        const char* expected;
        bool ok;  // stream good and bValid 1
    };
    const Case cases[] = {
        {"5 3 26 10:11:12", "2026-03-05 10:11:12.000.000.000", true},
        {"5 3 46 10:11:12", "1946-03-05 10:11:12.000.000.000", true},
        {"5 3 45 10:11:12", "2045-03-05 10:11:12.000.000.000", true},
        {" \t5\n\n12   99 1:2:3", "1999-12-05 01:02:03.000.000.000", true},
        // The text ends before the row: the date read so far stays.
        {"5 3 26", "2026-03-05 00:00:00.000.000.000", false},
        // An absent two-digit year is 0 like every absent field, not 2000.
        {"", "0000-01-01 00:00:00.000.000.000", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        bool failed = !c.ok;
        const CTesUTCTime r = ReadIn(11, c.text, &failed);
        EXPECT_EQ(failed, !c.ok);
        EXPECT_EQ(r.bValid, c.ok ? 1 : 0);
        EXPECT_EQ(Fields(r), c.expected);
    }
}

TEST(TimeLayouts, DefaultAndUnknownLayouts) {
    const CTesUTCTime t = Utc(5, 3, 2026, 7, 8, 9, 10);
    std::ostringstream plain;
    plain << t;  // never given a layout
    EXPECT_EQ(plain.str(), "05.03.2026 07:08:09.010");
    EXPECT_EQ(WriteIn(12, t), "");
    EXPECT_EQ(WriteIn(-1, t), "");

    std::istringstream unknown("05.03.2026");
    CTesUTCTime r = t;
    unknown >> tes::SetTimeFormat(12) >> r;
    EXPECT_EQ(r.nValue, t.nValue);
    EXPECT_TRUE(unknown.good());

    std::istringstream empty("");
    r.bValid = 1;
    empty >> r;  // layout 0
    EXPECT_TRUE(empty.fail());
    EXPECT_EQ(r.bValid, 0);
    EXPECT_EQ(r.nValue, 0U);  // 0000-01-01 00:00 after clamping
}

// The zone tests set TZ, which only the POSIX clock follows; the Windows
// zone rule is checked with made-up zones in the Windows platform tests.
#if !defined(_WIN32)
namespace {

// Sets TZ for the lifetime of the object and restores the previous value.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        const char* old = std::getenv("TZ");
        bHadOld = old != nullptr;
        if (bHadOld) sOld = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (bHadOld)
            setenv("TZ", sOld.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool bHadOld = false;
    std::string sOld;
};

bool ZoneInstalled(const char* zone) {
    struct stat info {};
    return stat((std::string("/usr/share/zoneinfo/") + zone).c_str(), &info) == 0;
}

// UTC seconds of the n-th (n > 0) or last (n = 0) Sunday of a month at an hour (UTC).
time_t SundayUtc(int year, int month, int n, int hour) {
    time_t found = 0;
    int seen = 0;
    for (int day = 1; day <= 31; ++day) {
        tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        const time_t at = timegm(&t);
        if (t.tm_mon != month - 1) break;  // normalised into the next month
        if (t.tm_wday == 0) {
            found = at;
            if (++seen == n) break;
        }
    }
    return found;
}

int UtcYearNow(time_t now) {
    tm t{};
    gmtime_r(&now, &t);
    return t.tm_year + 1900;
}

}  // namespace

TEST(TimeZone, CurrentTimeZoneFollowsTheZoneAndItsDaylightSaving) {
    for (const char* zone : {"UTC", "Asia/Kolkata", "Europe/Berlin", "America/New_York"}) {
        if (!ZoneInstalled(zone)) GTEST_SKIP() << "time zone data missing: " << zone;
    }
    const time_t now = time(nullptr);
    const int year = UtcYearNow(now);
    {
        ScopedTimeZone tz("UTC");
        EXPECT_EQ(CTesLocalTime::CurrentTimeZone(), 0);
    }
    {
        ScopedTimeZone tz("Asia/Kolkata");  // +5:30 loses the half hour
        EXPECT_EQ(CTesLocalTime::CurrentTimeZone(), 5);
    }
    {
        // Summer time from the last Sunday of March to the last of October, 01:00 UTC.
        ScopedTimeZone tz("Europe/Berlin");
        const bool summer = now >= SundayUtc(year, 3, 0, 1) && now < SundayUtc(year, 10, 0, 1);
        EXPECT_EQ(CTesLocalTime::CurrentTimeZone(), summer ? 2 : 1);
    }
    {
        // From the second Sunday of March, 07:00 UTC, to the first of November, 06:00 UTC.
        ScopedTimeZone tz("America/New_York");
        const bool summer = now >= SundayUtc(year, 3, 2, 7) && now < SundayUtc(year, 11, 1, 6);
        EXPECT_EQ(CTesLocalTime::CurrentTimeZone(), summer ? -4 : -5);
    }
}

TEST(TimeLocalNow, CarriesTheZoneAndFeedsTheFrameTimestamp) {
    if (!ZoneInstalled("Asia/Kolkata")) GTEST_SKIP() << "time zone data missing";
    ScopedTimeZone tz("Asia/Kolkata");

    // The bounds come from the clock the library reads: time() follows a
    // coarse clock that may still show the last second for a few
    // milliseconds after the precise one has moved on.
    const auto realtimeSeconds = [] {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<int64_t>(ts.tv_sec);
    };
    const int64_t before = realtimeSeconds();
    const CTesLocalTime now = CTesLocalTime::LocalNow();
    int32_t seconds = 0, microseconds = -1;
    tes::LocalTimestampSince1970(&seconds, &microseconds);
    const int64_t after = realtimeSeconds();

    EXPECT_EQ(now.nTimeZone, 5);
    EXPECT_EQ(now.bValid, 1);
    EXPECT_EQ(now.nValue % 100000, 0U);  // microseconds dropped
    const int64_t utcSeconds = static_cast<int64_t>(now.nValue / 100000000) - 62167219200;
    EXPECT_TRUE(utcSeconds >= before && utcSeconds <= after);

    // Seconds on the local wall clock: UTC plus the whole-hour offset.
    EXPECT_TRUE(seconds >= before + 5 * 3600 && seconds <= after + 5 * 3600);
    EXPECT_TRUE(microseconds >= 0 && microseconds < 1000000 && microseconds % 1000 == 0);
}
#endif  // !_WIN32
