// UTC and local time values with 10-nanosecond resolution, the proleptic
// Gregorian calendar from year 0 and the twelve text layouts. Time values layer.
#pragma once

#include <cstdint>
#include <ios>
#include <iosfwd>
#include <string>

namespace tes {

// Units of nValue: 10 ns.
constexpr uint64_t kTicksPerMicrosecond = 100;
constexpr uint64_t kTicksPerMillisecond = 100000;
constexpr uint64_t kTicksPerSecond = 100000000;
constexpr uint64_t kTicksPerHour = 360000000000;
constexpr uint64_t kTicksPerDay = 8640000000000;

// Day number of 1970-01-01 and the value of that midnight, which is what
// CTesLocalTime("01.01.1970") holds.
constexpr int64_t kDayNumber1970 = 719528;
constexpr uint64_t kValue1970 = static_cast<uint64_t>(kDayNumber1970) * kTicksPerDay;

// Number of text layouts; SetTimeFormat selects 0 .. kTimeLayoutCount - 1.
constexpr int kTimeLayoutCount = 12;

// A point in time: 10-ns units since 0000-01-01 00:00:00 UTC. The calendar is
// proleptic Gregorian with astronomical years (year 0 is a leap year).
//
// The calendar accessors are non-virtual and work on GetValue (date, micro-
// and nanoseconds) and GetTotalMilliseconds (time of day), so a derived class
// that shifts those two shows its own wall clock through all of them.
class CTesUTCTime {
public:
    uint64_t nValue = 0;
    uint8_t bValid = 0;  // 1 when the last SetFields had every field in range

    // The current moment from the system clock, bValid 0.
    CTesUTCTime();
    virtual ~CTesUTCTime() = default;
    CTesUTCTime(const CTesUTCTime&) = default;
    CTesUTCTime& operator=(const CTesUTCTime&) = default;

    // Parses one time in the stream's layout (see SetTimeFormat) and stores it
    // through SetFields. On a stream that is failed afterwards, bValid is 0 and
    // the value is what the fields read so far give. Does nothing for a layout
    // number outside 0 .. 11.
    virtual void Read(std::istream& in);
    // Writes the time in the stream's layout; nothing for a layout number
    // outside 0 .. 11.
    virtual void Write(std::ostream& out) const;
    virtual uint64_t GetTotalMilliseconds() const;
    virtual uint64_t GetValue() const;
    virtual void SetTotalMilliseconds(uint64_t milliseconds);
    virtual void SetValue(uint64_t value);

    int32_t GetYear() const;
    int32_t GetMonth() const;  // 1 .. 12
    int32_t GetDay() const;    // 1 .. 31
    int32_t GetHour() const;
    int32_t GetMinute() const;
    int32_t GetSecond() const;
    int32_t GetMillisecond() const;
    int32_t GetMicrosecond() const;  // 0 .. 999 within the millisecond
    int32_t GetNanosecond() const;   // 0 .. 990 within the microsecond, steps of 10
    // 0 = Tuesday, 1 = Wednesday, ... 5 = Sunday, 6 = Monday.
    int32_t GetWeekday() const;
    // 0 = Sunday ... 6 = Saturday.
    int32_t GetDayOfWeek() const;

    // Clamps each field into range (month 1 .. 12, day 1 .. length of that
    // month, the others to 23, 59, 59, 999, 999, 999, compared as unsigned),
    // stores the result through SetValue and returns and stores in bValid
    // whether no field needed clamping. Nanoseconds are kept in steps of 10.
    bool SetFields(int32_t day, int32_t month, int32_t year, int32_t hour, int32_t minute,
                   int32_t second, int32_t millisecond, int32_t microsecond, int32_t nanosecond);

    // Moves the time back by `seconds`. A move that does not lower the value
    // (0 seconds, or one that wraps below year 0) clears bValid.
    void SubtractSeconds(uint32_t seconds);

    // ---- calendar

    static bool IsLeapYear(int32_t year);
    // Days in `month` (1 .. 12) of `year`; 0 for a month outside 1 .. 12.
    static int32_t MonthLength(int32_t year, int32_t month);
    // Leap days in the years before `year` (year 0 is one); a negative year
    // counts as its absolute value.
    static int64_t LeapDaysBefore(int32_t year);
    // Days from 0000-01-01 to the date; month 1 .. 12, the day is not checked.
    static int64_t DayNumber(int32_t year, int32_t month, int32_t day);
    // Exact inverse of DayNumber for every day number from 0 on.
    static void DateOfDayNumber(uint64_t dayNumber, int32_t* year, int32_t* month, int32_t* day);
    // Weekday of a day number, 0 = Tuesday ... 6 = Monday (see GetWeekday).
    static int32_t WeekdayOfDayNumber(uint64_t dayNumber);
    // Converts 0 = Sunday ... 6 = Saturday to the numbering above.
    static int32_t WeekdayFromSystem(int32_t systemWeekday);

protected:
    // A time at `value` without reading the clock, bValid 0.
    explicit CTesUTCTime(uint64_t value) : nValue(value) {}
};

// A UTC time shown on a wall clock `nTimeZone` whole hours east of Greenwich.
// nValue stays in UTC; GetValue and GetTotalMilliseconds add the offset, so
// every calendar accessor, Write and Difference see local values.
class CTesLocalTime : public CTesUTCTime {
public:
    int32_t nTimeZone = 0;  // -12 .. +12 expected, anything is stored

    // The current moment (UTC) with offset 0, bValid 0.
    CTesLocalTime() = default;
    // The given wall-clock time with offset 0; bValid as SetFields gives it.
    CTesLocalTime(int32_t day, int32_t month, int32_t year, int32_t hour, int32_t minute,
                  int32_t second, int32_t millisecond);
    // The date read from `text` in layout 2 (DD.MM.YYYY), offset 0.
    explicit CTesLocalTime(const std::string& text);

    uint64_t GetTotalMilliseconds() const override;
    uint64_t GetValue() const override;
    void SetTotalMilliseconds(uint64_t milliseconds) override;

    // Stores the offset. One outside -12 .. +12 is stored all the same.
    void SetTimeZone(int32_t hours);

    // The current moment to the millisecond (microseconds dropped), bValid 1,
    // with the computer's current offset. No allocation; reads the clock and
    // the zone only.
    static CTesLocalTime LocalNow();
    // Offset of the computer's local time from UTC now, daylight saving
    // included, in whole hours truncated toward zero.
    static int32_t CurrentTimeZone();

protected:
    // A time at `value` with offset `hours`, without reading the clock, bValid 0.
    CTesLocalTime(uint64_t value, int32_t hours) : CTesUTCTime(value), nTimeZone(hours) {}
};

// later.GetValue() - earlier.GetValue() in 10-ns units (negative when `later`
// is earlier).
inline int64_t Difference(const CTesUTCTime& earlier, const CTesUTCTime& later) {
    return static_cast<int64_t>(later.GetValue() - earlier.GetValue());
}

// Time stamp of a frame made here: Difference(CTesLocalTime("01.01.1970"),
// LocalNow()) as seconds and microseconds, which counts from 1970-01-01 00:00
// on the local wall clock (UTC plus the whole-hour offset). Millisecond
// precision; no allocation.
void LocalTimestampSince1970(int32_t* seconds, int32_t* microseconds);

// Selects layout `layout` for every later Read and Write of time values on
// `stream`. A stream never given a layout uses layout 0.
void SetTimeFormat(std::ios_base& stream, int layout);

// Manipulator form: `out << SetTimeFormat(8) << t;` or `in >> SetTimeFormat(11) >> t;`.
struct TimeFormat {
    int nLayout;
};
inline TimeFormat SetTimeFormat(int layout) {
    return TimeFormat{layout};
}
std::ostream& operator<<(std::ostream& out, TimeFormat format);
std::istream& operator>>(std::istream& in, TimeFormat format);

std::ostream& operator<<(std::ostream& out, const CTesUTCTime& time);
std::istream& operator>>(std::istream& in, CTesUTCTime& time);

}  // namespace tes
