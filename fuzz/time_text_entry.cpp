// Fuzz entry for reading time values from text in each of the twelve layouts
// (and numbers outside them), as UTC and as local time, then writing them
// back. Fuzz harness.
//
// Input: two header bytes, then the text.
//   0  layout: (byte mod 14) - 1, so -1 and 12 are tried as well
//   1  time zone offset of the local value, as a signed byte
#include <sstream>
#include <string>

#include "fuzz_entries.h"
#include "time/tes_time.h"

namespace tes::fuzz {

namespace {

constexpr size_t kHeader = 2;

// A value that Write put into text in this layout reads back to the same
// text: every field the layout reads it also writes. Layout 11 is written in a form
// of its own and is not read back.
bool RoundTrips(int layout) {
    return layout >= 0 && layout <= 10;
}

}  // namespace

void TimeTextInput(const uint8_t* data, size_t size) {
    if (size < kHeader) return;
    const int layout = data[0] % 14 - 1;
    const int8_t zone = static_cast<int8_t>(data[1]);
    const std::string text(reinterpret_cast<const char*>(data + kHeader), size - kHeader);

    // Two values from one stream: the second starts where the first stopped.
    std::istringstream in(text);
    in >> SetTimeFormat(layout);
    CTesLocalTime first("01.01.1970");
    CTesUTCTime second;
    const uint64_t before = second.nValue;
    in >> first >> second;
    if (layout < 0 || layout >= kTimeLayoutCount) {
        Check(first.nValue == CTesLocalTime("01.01.1970").nValue && second.nValue == before,
              "a layout outside 0..11 reads nothing");
    }
    if (in.fail()) Check(second.bValid == 0, "a failed read leaves the value invalid");

    first.SetTimeZone(zone);
    std::ostringstream out;
    out << SetTimeFormat(layout) << first << ' ' << second;
    if (layout < 0 || layout >= kTimeLayoutCount) {
        Check(out.str() == " ", "a layout outside 0..11 writes nothing");
        return;
    }
    Check(first.GetMonth() >= 1 && first.GetMonth() <= 12 && first.GetDay() >= 1 &&
              first.GetDay() <= CTesUTCTime::MonthLength(first.GetYear(), first.GetMonth()),
          "every value shows a calendar date");

    if (!RoundTrips(layout)) return;
    std::ostringstream written;
    written << SetTimeFormat(layout) << second;
    std::istringstream again(written.str());
    CTesUTCTime reread;
    again >> SetTimeFormat(layout) >> reread;
    Check(!again.fail(), "a written value reads without failure");
    std::ostringstream rewritten;
    rewritten << SetTimeFormat(layout) << reread;
    Check(rewritten.str() == written.str(), "a written value reads back to the same text");
    // Layout 4 shows every digit down to 10 ns. (A year read beyond what 64
    // bits hold, about 5845, wraps to a value finer than the shorter layouts
    // show, so only their text is compared.)
    if (layout == 4) Check(reread.nValue == second.nValue, "a written value reads back to itself");
}

}  // namespace tes::fuzz
