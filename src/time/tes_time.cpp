// UTC and local time values: clock, calendar arithmetic and time zone, what
// the library itself uses. The text layouts are in tes_time_text.cpp. Time
// values layer.
#include "time/tes_time.h"

#include "transport/platform.h"
#include "transport/trace.h"

namespace tes {

namespace {

constexpr uint64_t kTicksPerMinute = 6000000000;
constexpr int64_t kMillisecondsPerHour = 3600000;
constexpr int64_t kSecondsFrom0000To1970 = 62167219200;  // 719 528 days

constexpr int64_t kDaysPer400Years = 146097;
constexpr int64_t kDaysPerLeapCentury = 36525;  // the first century of a 400-year cycle
constexpr int64_t kDaysPerCentury = 36524;
constexpr int64_t kDaysPer4Years = 1461;

// February in a common year.
constexpr int32_t kMonthLength[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int32_t kDaysBeforeMonth[13] = {0,   31,  59,  90,  120, 151, 181,
                                          212, 243, 273, 304, 334, 365};

}  // namespace

// ---------------------------------------------------------------- CTesUTCTime

CTesUTCTime::CTesUTCTime() {
    int64_t seconds = 0;
    int32_t microseconds = 0;
    sys::NowUtc(&seconds, &microseconds);
    // Kept 64-bit: a 32-bit second count would run back to 1901 in 2038 and
    // turn every pending deadline into an endless wait.
    const int64_t since0000 = seconds + kSecondsFrom0000To1970;
    nValue = (static_cast<uint64_t>(since0000) * 1000000 + static_cast<uint64_t>(microseconds)) *
             kTicksPerMicrosecond;
}

uint64_t CTesUTCTime::GetTotalMilliseconds() const {
    return nValue / kTicksPerMillisecond;
}
uint64_t CTesUTCTime::GetValue() const {
    return nValue;
}
void CTesUTCTime::SetTotalMilliseconds(uint64_t milliseconds) {
    nValue = milliseconds * kTicksPerMillisecond;
}
void CTesUTCTime::SetValue(uint64_t value) {
    nValue = value;
}

int32_t CTesUTCTime::GetYear() const {
    int32_t year, month, day;
    DateOfDayNumber(GetValue() / kTicksPerDay, &year, &month, &day);
    return year;
}

int32_t CTesUTCTime::GetMonth() const {
    int32_t year, month, day;
    DateOfDayNumber(GetValue() / kTicksPerDay, &year, &month, &day);
    return month;
}

int32_t CTesUTCTime::GetDay() const {
    int32_t year, month, day;
    DateOfDayNumber(GetValue() / kTicksPerDay, &year, &month, &day);
    return day;
}

int32_t CTesUTCTime::GetHour() const {
    return static_cast<int32_t>((GetTotalMilliseconds() / 3600000) % 24);
}
int32_t CTesUTCTime::GetMinute() const {
    return static_cast<int32_t>((GetTotalMilliseconds() / 60000) % 60);
}
int32_t CTesUTCTime::GetSecond() const {
    return static_cast<int32_t>((GetTotalMilliseconds() / 1000) % 60);
}
int32_t CTesUTCTime::GetMillisecond() const {
    return static_cast<int32_t>(GetTotalMilliseconds() % 1000);
}
int32_t CTesUTCTime::GetMicrosecond() const {
    return static_cast<int32_t>((GetValue() / kTicksPerMicrosecond) % 1000);
}
int32_t CTesUTCTime::GetNanosecond() const {
    return static_cast<int32_t>((GetValue() % 100) * 10);
}

int32_t CTesUTCTime::GetWeekday() const {
    return WeekdayOfDayNumber(GetValue() / kTicksPerDay);
}
int32_t CTesUTCTime::GetDayOfWeek() const {
    return (GetWeekday() + 2) % 7;
}

bool CTesUTCTime::SetFields(int32_t day, int32_t month, int32_t year, int32_t hour, int32_t minute,
                            int32_t second, int32_t millisecond, int32_t microsecond,
                            int32_t nanosecond) {
    // Unsigned views: a negative field is out of range like a large one.
    const uint32_t uDay = static_cast<uint32_t>(day);
    const uint32_t uMonth = static_cast<uint32_t>(month);
    const uint32_t uHour = static_cast<uint32_t>(hour);
    const uint32_t uMinute = static_cast<uint32_t>(minute);
    const uint32_t uSecond = static_cast<uint32_t>(second);
    const uint32_t uMillisecond = static_cast<uint32_t>(millisecond);
    const uint32_t uMicrosecond = static_cast<uint32_t>(microsecond);
    const uint32_t uNanosecond = static_cast<uint32_t>(nanosecond);

    const uint32_t m = uMonth == 0 ? 1 : (uMonth > 12 ? 12 : uMonth);
    const uint32_t length = static_cast<uint32_t>(MonthLength(year, static_cast<int32_t>(m)));
    const uint32_t d = uDay == 0 ? 1 : (uDay > length ? length : uDay);
    const uint32_t h = uHour > 23 ? 23 : uHour;
    const uint32_t mi = uMinute > 59 ? 59 : uMinute;
    const uint32_t s = uSecond > 59 ? 59 : uSecond;
    const uint32_t ms = uMillisecond > 999 ? 999 : uMillisecond;
    const uint32_t us = uMicrosecond > 999 ? 999 : uMicrosecond;
    const uint32_t ns = uNanosecond > 999 ? 999 : uNanosecond;

    const int64_t dayNumber = DayNumber(year, static_cast<int32_t>(m), static_cast<int32_t>(d));
    SetValue(static_cast<uint64_t>(dayNumber) * kTicksPerDay + h * kTicksPerHour +
             mi * kTicksPerMinute + s * kTicksPerSecond + ms * kTicksPerMillisecond +
             us * kTicksPerMicrosecond + ns / 10);

    const bool valid = uMonth >= 1 && uMonth <= 12 && uDay >= 1 && uDay <= length && uHour < 24 &&
                       uMinute < 60 && uSecond < 60 && uMillisecond < 1000 && uMicrosecond < 1000 &&
                       uNanosecond < 1000;
    bValid = valid ? 1 : 0;
    return valid;
}

void CTesUTCTime::SubtractSeconds(uint32_t seconds) {
    const uint64_t before = nValue;
    nValue -= static_cast<uint64_t>(seconds) * kTicksPerSecond;
    if (nValue >= before) bValid = 0;
}

// ---------------------------------------------------------------- calendar

bool CTesUTCTime::IsLeapYear(int32_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int32_t CTesUTCTime::MonthLength(int32_t year, int32_t month) {
    if (month < 1 || month > 12) return 0;
    return month == 2 && IsLeapYear(year) ? 29 : kMonthLength[month - 1];
}

int64_t CTesUTCTime::LeapDaysBefore(int32_t year) {
    // The absolute value of the smallest int32 does not exist; it counts as 0.
    const int64_t y = year == INT32_MIN ? 0 : (year < 0 ? -static_cast<int64_t>(year) : year);
    // (y - 1) truncates toward zero, so year 0 gets (-1)/400 = 0 and (-1)/100 = 0.
    return (y - 1) / 400 - (y - 1) / 100 + static_cast<int64_t>((static_cast<uint64_t>(y) + 3) / 4);
}

int64_t CTesUTCTime::DayNumber(int32_t year, int32_t month, int32_t day) {
    const int32_t m = month < 1 ? 1 : (month > 12 ? 12 : month);
    int64_t days =
        static_cast<int64_t>(year) * 365 + LeapDaysBefore(year) + kDaysBeforeMonth[m - 1];
    if (m > 2 && IsLeapYear(year)) ++days;
    return days + day - 1;
}

void CTesUTCTime::DateOfDayNumber(uint64_t dayNumber, int32_t* year, int32_t* month, int32_t* day) {
    const uint64_t cycles = dayNumber / kDaysPer400Years;
    int64_t rest = static_cast<int64_t>(dayNumber % kDaysPer400Years);

    // A cycle's first century starts with a leap year (0, 400, ...) and has
    // 36 525 days; the other three start with a common year. Counting those
    // from one day earlier lets all of them be cut into 1461-day groups that
    // each start with a leap year, the first group being one day short.
    int64_t century = 0;
    bool shortFirstGroup = false;
    if (rest >= kDaysPerLeapCentury) {
        rest -= kDaysPerLeapCentury;
        century = 1 + rest / kDaysPerCentury;
        rest = rest % kDaysPerCentury + 1;
        shortFirstGroup = true;
    }
    const int64_t group = rest / kDaysPer4Years;
    int64_t dayOfGroup = rest % kDaysPer4Years;
    int64_t yearOfGroup = 0;
    if (shortFirstGroup && group == 0) {
        // Four common years (100 .. 103, 200 .. 203, 300 .. 303).
        dayOfGroup -= 1;
        yearOfGroup = dayOfGroup / 365;
        dayOfGroup %= 365;
    } else if (dayOfGroup >= 366) {
        dayOfGroup -= 366;
        yearOfGroup = 1 + dayOfGroup / 365;
        dayOfGroup %= 365;
    }

    const int32_t y = static_cast<int32_t>(
        cycles * 400 + static_cast<uint64_t>(century * 100 + group * 4 + yearOfGroup));
    int32_t m = 1;
    int32_t remaining = static_cast<int32_t>(dayOfGroup);
    while (remaining >= MonthLength(y, m)) {
        remaining -= MonthLength(y, m);
        ++m;
    }
    *year = y;
    *month = m;
    *day = remaining + 1;
}

int32_t CTesUTCTime::WeekdayOfDayNumber(uint64_t dayNumber) {
    return static_cast<int32_t>((dayNumber + 4) % 7);
}

int32_t CTesUTCTime::WeekdayFromSystem(int32_t systemWeekday) {
    return (systemWeekday + 5) % 7;
}

// ---------------------------------------------------------------- CTesLocalTime

CTesLocalTime::CTesLocalTime(int32_t day, int32_t month, int32_t year, int32_t hour, int32_t minute,
                             int32_t second, int32_t millisecond)
    : CTesUTCTime(0) {
    SetFields(day, month, year, hour, minute, second, millisecond, 0, 0);
}

uint64_t CTesLocalTime::GetTotalMilliseconds() const {
    // Unsigned wrap-around adds a negative offset exactly.
    return nValue / kTicksPerMillisecond +
           static_cast<uint64_t>(static_cast<int64_t>(nTimeZone)) * kMillisecondsPerHour;
}

uint64_t CTesLocalTime::GetValue() const {
    return nValue + static_cast<uint64_t>(static_cast<int64_t>(nTimeZone)) * kTicksPerHour;
}

void CTesLocalTime::SetTotalMilliseconds(uint64_t milliseconds) {
    nValue = (milliseconds -
              static_cast<uint64_t>(static_cast<int64_t>(nTimeZone)) * kMillisecondsPerHour) *
             kTicksPerMillisecond;
}

void CTesLocalTime::SetTimeZone(int32_t hours) {
    if (hours < -12 || hours > 12) {
        TES_TRACE("CTesLocalTime: Timezone im ungültigen Bereich: " << hours);
    }
    nTimeZone = hours;
}

CTesLocalTime CTesLocalTime::LocalNow() {
    // The UTC fields of the current moment, set through SetFields, give the
    // value cut to whole milliseconds, with every field in range; doing the
    // cut directly spares the calendar round trip on this hot path.
    const CTesUTCTime now;
    // The zone is stored directly rather than through SetTimeZone: a zone
    // beyond +12 (UTC+13 and +14 exist) would otherwise compose SetTimeZone's
    // trace text on every frame in a build with traces.
    CTesLocalTime local(now.nValue / kTicksPerMillisecond * kTicksPerMillisecond,
                        CurrentTimeZone());
    local.bValid = 1;
    return local;
}

int32_t CTesLocalTime::CurrentTimeZone() {
    return sys::CurrentTimeZoneHours();
}

// ---------------------------------------------------------------- free functions

void LocalTimestampSince1970(int32_t* seconds, int32_t* microseconds) {
    const int64_t d = static_cast<int64_t>(CTesLocalTime::LocalNow().GetValue() - kValue1970);
    *seconds = static_cast<int32_t>(d / static_cast<int64_t>(kTicksPerSecond));
    *microseconds = static_cast<int32_t>((d / 100) % 1000000);
}

}  // namespace tes
