// tessara-can: reading and writing lines of the candump log format, the one
// `dump` writes and can-utils and python-can read and write:
//   (1700000000.123456) can0 123#11223344        data frame, standard id
//   (1700000000.123470) tessara1 1ABCDEF0#R2     remote frame, 2 bytes asked
//   (1700000000.123480) can0 123##0112233...     more than 8 bytes (FD form)
// A pure unit with no I/O, linked by the tool and the fuzz target.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tool {

constexpr size_t kMaxLogData = 255;  // the most CANWrite sends (its length is one byte)

struct LogFrame {
    int64_t nTimeUs = 0;  // the time stamp, microseconds since 1970
    std::string sInterface;
    uint32_t nId = 0;
    bool bExtended = false;
    bool bRemote = false;
    int nRemoteLength = 0;  // the length a remote frame asks for (0..8)
    std::vector<uint8_t> oData;
};

enum class LogLine {
    kFrame,    // *frame holds it
    kIgnored,  // empty or a comment (#...)
    kBroken,   // *reason says why
};

// One line without its line end (a trailing \r is ignored). Accepted:
// "(SECONDS.FRACTION) INTERFACE FRAME" and an optional direction " R" or
// " T" after it, as python-can writes; FRAME is ID#DATA, ID#R, ID#RN or
// ID##FLAGS DATA with ID 3 hex digits (standard) or 8 (extended, at most
// 1FFFFFFF; error frames are refused) and up to 255 data bytes.
LogLine ParseCandumpLine(std::string_view line, LogFrame* frame, std::string* reason);

// The line for `frame`, without a line end; FD form above 8 data bytes.
std::string FormatCandumpLine(const LogFrame& frame);

}  // namespace tool
