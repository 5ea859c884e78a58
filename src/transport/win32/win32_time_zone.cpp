// Local time zone rule of the Win32 platform layer (see win32_time_zone.h).
#include "transport/win32/win32_time_zone.h"

#include <cstdint>

namespace tes::sys::win32 {

namespace {

constexpr int64_t kMsPerDay = 86400000;

bool IsLeapYear(int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int MonthLength(int64_t year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 0000-01-01 (proleptic Gregorian calendar, year 0 a leap year).
int64_t DayNumber(int64_t year, int month, int day) {
    int64_t days = year * 365;
    if (year > 0) days += (year - 1) / 4 - (year - 1) / 100 + (year - 1) / 400 + 1;
    for (int m = 1; m < month; ++m) days += MonthLength(year, m);
    return days + day - 1;
}

// 0 = Sunday .. 6 = Saturday, as in SYSTEMTIME. 0000-01-01 was a Saturday.
int Weekday(int64_t dayNumber) { return static_cast<int>((dayNumber + 6) % 7); }

int ClampMonth(int month) { return month < 1 ? 1 : (month > 12 ? 12 : month); }

// Day of the month of the `occurrence`-th `weekday` (a number past the last
// occurrence means the last one).
int NthWeekday(int64_t year, int month, int weekday, int occurrence) {
    const int length = MonthLength(year, month);
    int day = 1;
    while (day <= length && Weekday(DayNumber(year, month, day)) != weekday) ++day;
    if (day > length) return 1;  // no such weekday: the rule is malformed
    for (int passed = 1; passed < occurrence && day + 7 <= length; ++passed) day += 7;
    return day;
}

unsigned Limit(unsigned value, unsigned max) { return value > max ? max : value; }

// A moment placed in year 0, so that only month, day and time of day count.
int64_t InYearZero(int month, int day, unsigned hour, unsigned minute, unsigned second,
                   unsigned millisecond) {
    month = ClampMonth(month);
    const int length = MonthLength(0, month);
    day = day < 1 ? 1 : (day > length ? length : day);
    return DayNumber(0, month, day) * kMsPerDay + Limit(hour, 23) * 3600000LL +
           Limit(minute, 59) * 60000LL + Limit(second, 59) * 1000LL + Limit(millisecond, 999);
}

int64_t Transition(const SYSTEMTIME& rule, int64_t year) {
    const int month = ClampMonth(rule.wMonth);
    const int day = NthWeekday(year, month, rule.wDayOfWeek, rule.wDay);
    return InYearZero(month, day, rule.wHour, rule.wMinute, rule.wSecond, rule.wMilliseconds);
}

}  // namespace

int TimeZoneHours(const TIME_ZONE_INFORMATION& zone, const SYSTEMTIME& localNow) {
    long minutes = -zone.Bias;
    if (zone.DaylightDate.wMonth != 0) {
        const int64_t year = localNow.wYear;
        const int64_t daylightStart = Transition(zone.DaylightDate, year);
        const int64_t standardStart = Transition(zone.StandardDate, year);
        const int64_t now = InYearZero(localNow.wMonth, localNow.wDay, localNow.wHour,
                                       localNow.wMinute, localNow.wSecond, localNow.wMilliseconds);
        if (daylightStart <= now && now <= standardStart) minutes -= zone.DaylightBias;
    }
    return static_cast<int>(minutes / 60);  // C++ division truncates toward zero
}

}  // namespace tes::sys::win32
