// UTC and local time values on text streams: the twelve layouts, reading and
// writing them, and the per-stream layout selection. Time values layer; the
// library's own paths never read or write time texts.
#include <atomic>
#include <cctype>
#include <istream>
#include <ostream>
#include <sstream>

#include "time/tes_time.h"

namespace tes {

namespace {

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

CTesLocalTime::CTesLocalTime(const std::string& text) : CTesUTCTime(0) {
    std::istringstream in(text);
    SetTimeFormat(in, 2);
    Read(in);
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
