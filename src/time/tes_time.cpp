// UTC and local time values: clock, calendar arithmetic, time zone and the
// text layouts. Time values layer.
#include "time/tes_time.h"

#include <atomic>
#include <cctype>
#include <istream>
#include <ostream>
#include <sstream>

#include "transport/platform.h"

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
constexpr const char* kMonthAbbreviation[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// ---------------------------------------------------------------- layouts

enum Code : uint8_t {
    kDay = 0,
    kMonth = 1,
    kYear = 2,
    kYear2 = 3,
    kHour = 4,
    kMinute = 5,
    kSecond = 6,
    kMillisecond = 7,
    kMicrosecond = 8,
    kNanosecond = 9,
    kDot = 10,
    kSlash = 11,
    kColon = 12,
    kNonDigit = 13,
    kSpace = 14,
    kEnd = 15,
    kDash = 16,
};

constexpr int kRowLength = 17;
constexpr int kWidth[kNanosecond + 1] = {2, 2, 4, 2, 2, 2, 2, 3, 3, 3};
constexpr char kSeparator[] = {'.', '/', ':', 0, ' ', 0, '-'};  // codes 10 .. 16

constexpr Code kE = kEnd;  // short for the padding of the rows
constexpr Code kLayouts[kTimeLayoutCount][kRowLength] = {
    // 0  DD.MM.YYYY hh:mm:ss.mmm
    {kDay, kDot, kMonth, kDot, kYear, kSpace, kHour, kColon, kMinute, kColon, kSecond, kDot,
     kMillisecond, kE, kE, kE, kE},
    // 1  DD.MM.YYYY hh:mm:ss
    {kDay, kDot, kMonth, kDot, kYear, kSpace, kHour, kColon, kMinute, kColon, kSecond, kE, kE, kE,
     kE, kE, kE},
    // 2  DD.MM.YYYY
    {kDay, kDot, kMonth, kDot, kYear, kE, kE, kE, kE, kE, kE, kE, kE, kE, kE, kE, kE},
    // 3  DD.MM.YYYY hh:mm:ss.mmm.uuu
    {kDay, kDot, kMonth, kDot, kYear, kSpace, kHour, kColon, kMinute, kColon, kSecond, kDot,
     kMillisecond, kDot, kMicrosecond, kE, kE},
    // 4  DD.MM.YYYY hh:mm:ss.mmm.uuu.nnn
    {kDay, kDot, kMonth, kDot, kYear, kSpace, kHour, kColon, kMinute, kColon, kSecond, kDot,
     kMillisecond, kDot, kMicrosecond, kDot, kNanosecond},
    // 5  hh:mm:ss
    {kHour, kColon, kMinute, kColon, kSecond, kE, kE, kE, kE, kE, kE, kE, kE, kE, kE, kE, kE},
    // 6  MM/DD/YYYY hh:mm:ss
    {kMonth, kSlash, kDay, kSlash, kYear, kSpace, kHour, kColon, kMinute, kColon, kSecond, kE, kE,
     kE, kE, kE, kE},
    // 7  MM/DD/YYYY and a space
    {kMonth, kSlash, kDay, kSlash, kYear, kSpace, kE, kE, kE, kE, kE, kE, kE, kE, kE, kE, kE},
    // 8  YYYY-MM-DD and a space
    {kYear, kDash, kMonth, kDash, kDay, kSpace, kE, kE, kE, kE, kE, kE, kE, kE, kE, kE, kE},
    // 9  hh:mm:ss.mmm
    {kHour, kColon, kMinute, kColon, kSecond, kDot, kMillisecond, kE, kE, kE, kE, kE, kE, kE, kE,
     kE, kE},
    // 10 YYYY-MM-DD hh:mm:ss.mmm
    {kYear, kDash, kMonth, kDash, kDay, kSpace, kHour, kColon, kMinute, kColon, kSecond, kDot,
     kMillisecond, kE, kE, kE, kE},
    // 11 DD MM YY hh:mm:ss, any white space between the date fields; this row
    //    is only read, Write has its own form for layout 11
    {kDay, kSpace, kMonth, kSpace, kYear2, kSpace, kHour, kColon, kMinute, kColon, kSecond, kE, kE,
     kE, kE, kE, kE},
};

// The slot is allocated on the first SetTimeFormat; until then every stream
// reads as layout 0 without touching its storage.
std::atomic<int> gLayoutSlot{-1};

int LayoutSlot() {
    // A function-local static is initialised once even with concurrent callers.
    static const int slot = [] {
        const int allocated = std::ios_base::xalloc();
        gLayoutSlot.store(allocated, std::memory_order_release);
        return allocated;
    }();
    return slot;
}

long StreamLayout(std::ios_base& stream) {
    const int slot = gLayoutSlot.load(std::memory_order_acquire);
    return slot < 0 ? 0 : stream.iword(slot);
}

bool IsDigit(int c) {
    return c >= '0' && c <= '9';
}

// Writes `value` in decimal, at least `width` digits with leading zeros.
char* PutNumber(char* p, uint64_t value, int width) {
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = count; i < width; ++i) *p++ = '0';
    while (count > 0) *p++ = digits[--count];
    return p;
}

// Reads at most `width` digits; the first non-digit stays in the stream.
int32_t GetNumber(std::istream& in, int width, bool* any) {
    using Traits = std::istream::traits_type;
    int32_t value = 0;
    *any = false;
    for (int i = 0; i < width; ++i) {
        const Traits::int_type c = in.peek();
        if (Traits::eq_int_type(c, Traits::eof()) || !IsDigit(c)) break;
        in.get();
        value = value * 10 + (c - '0');
        *any = true;
    }
    return value;
}

void SkipWhiteSpace(std::istream& in) {
    using Traits = std::istream::traits_type;
    for (;;) {
        const Traits::int_type c = in.peek();
        if (Traits::eq_int_type(c, Traits::eof()) || !std::isspace(c)) return;
        in.get();
    }
}

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

// ---------------------------------------------------------------- text layouts

void CTesUTCTime::Write(std::ostream& out) const {
    const long layout = StreamLayout(out);
    if (layout < 0 || layout >= kTimeLayoutCount) return;

    int32_t year, month, day;
    DateOfDayNumber(GetValue() / kTicksPerDay, &year, &month, &day);
    char text[128];
    char* p = text;

    if (layout == 11) {
        p = PutNumber(p, static_cast<uint32_t>(day), 1);
        *p++ = ' ';
        for (const char* a = kMonthAbbreviation[month - 1]; *a != 0; ++a) *p++ = *a;
        *p++ = ' ';
        p = PutNumber(p, static_cast<uint32_t>(year) % 100, 2);
        *p++ = ' ';
        p = PutNumber(p, static_cast<uint32_t>(GetHour()), 2);
        *p++ = ':';
        p = PutNumber(p, static_cast<uint32_t>(GetMinute()), 2);
        // The zone text is fixed; it does not follow nTimeZone.
        for (const char* a = " +0100"; *a != 0; ++a) *p++ = *a;
        out.write(text, p - text);
        out.flush();
        return;
    }

    for (const Code code : kLayouts[layout]) {
        uint64_t field = 0;
        switch (code) {
            case kDay:
                field = static_cast<uint32_t>(day);
                break;
            case kMonth:
                field = static_cast<uint32_t>(month);
                break;
            case kYear:
                field = static_cast<uint32_t>(year);
                break;
            case kYear2:
                field = static_cast<uint32_t>(year) % 100;
                break;
            case kHour:
                field = static_cast<uint32_t>(GetHour());
                break;
            case kMinute:
                field = static_cast<uint32_t>(GetMinute());
                break;
            case kSecond:
                field = static_cast<uint32_t>(GetSecond());
                break;
            case kMillisecond:
                field = static_cast<uint32_t>(GetMillisecond());
                break;
            case kMicrosecond:
                field = static_cast<uint32_t>(GetMicrosecond());
                break;
            case kNanosecond:
                field = static_cast<uint32_t>(GetNanosecond());
                break;
            default: {
                const char separator = kSeparator[code - kDot];
                if (separator != 0) *p++ = separator;
                continue;
            }
        }
        p = PutNumber(p, field, kWidth[code]);
    }
    out.write(text, p - text);
}

void CTesUTCTime::Read(std::istream& in) {
    using Traits = std::istream::traits_type;
    const long layout = StreamLayout(in);
    if (layout < 0 || layout >= kTimeLayoutCount) return;

    int32_t field[kNanosecond + 1] = {};
    SkipWhiteSpace(in);
    for (const Code code : kLayouts[layout]) {
        if (code <= kNanosecond) {
            bool any = false;
            const int32_t value = GetNumber(in, kWidth[code], &any);
            if (code == kYear2) {
                // An absent two-digit year stays 0 like every other absent field.
                field[kYear] = any ? value + (value < 46 ? 2000 : 1900) : 0;
            } else {
                field[code] = value;
            }
            continue;
        }
        switch (code) {
            case kDot:
            case kSlash:
            case kColon:
            case kDash:
                if (Traits::eq_int_type(in.peek(), Traits::to_int_type(kSeparator[code - kDot])))
                    in.get();
                break;
            case kNonDigit: {
                const Traits::int_type c = in.peek();
                if (!Traits::eq_int_type(c, Traits::eof()) && !IsDigit(c)) in.get();
                break;
            }
            case kSpace:
                SkipWhiteSpace(in);
                break;
            default:
                break;
        }
    }

    SetFields(field[kDay], field[kMonth], field[kYear], field[kHour], field[kMinute],
              field[kSecond], field[kMillisecond], field[kMicrosecond], field[kNanosecond]);
    if (in.fail()) {
        // setstate adds badbit by itself when the stream has no buffer.
        in.setstate(std::ios_base::failbit);
        bValid = 0;
    }
}

// ---------------------------------------------------------------- CTesLocalTime

CTesLocalTime::CTesLocalTime(int32_t day, int32_t month, int32_t year, int32_t hour, int32_t minute,
                             int32_t second, int32_t millisecond)
    : CTesUTCTime(0) {
    SetFields(day, month, year, hour, minute, second, millisecond, 0, 0);
}

CTesLocalTime::CTesLocalTime(const std::string& text) : CTesUTCTime(0) {
    std::istringstream in(text);
    SetTimeFormat(in, 2);
    Read(in);
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
        // Composed for a trace that has no output.
        std::ostringstream trace;
        trace << "CTesLocalTime: Timezone im ungültigen Bereich: " << hours;
        (void)trace.str();
    }
    nTimeZone = hours;
}

CTesLocalTime CTesLocalTime::LocalNow() {
    // The UTC fields of the current moment, set through SetFields, give the
    // value cut to whole milliseconds, with every field in range; doing the
    // cut directly spares the calendar round trip on this hot path.
    const CTesUTCTime now;
    // The zone is stored directly rather than through SetTimeZone: a zone
    // beyond +12 (UTC+13 and +14 exist) would otherwise compose the dropped
    // diagnostic text on every frame.
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

void SetTimeFormat(std::ios_base& stream, int layout) {
    stream.iword(LayoutSlot()) = layout;
}

std::ostream& operator<<(std::ostream& out, TimeFormat format) {
    SetTimeFormat(out, format.nLayout);
    return out;
}

std::istream& operator>>(std::istream& in, TimeFormat format) {
    SetTimeFormat(in, format.nLayout);
    return in;
}

std::ostream& operator<<(std::ostream& out, const CTesUTCTime& time) {
    time.Write(out);
    return out;
}

std::istream& operator>>(std::istream& in, CTesUTCTime& time) {
    time.Read(in);
    return in;
}

}  // namespace tes
