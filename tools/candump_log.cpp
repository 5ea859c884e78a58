// tessara-can: the candump log format, read and written (see candump_log.h).
#include "candump_log.h"

#include <cctype>
#include <cstdio>

namespace tool {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

// Splits off the next blank-separated token of *rest.
std::string_view NextToken(std::string_view* rest) {
    size_t at = 0;
    while (at < rest->size() && IsSpace((*rest)[at])) ++at;
    size_t end = at;
    while (end < rest->size() && !IsSpace((*rest)[end])) ++end;
    const std::string_view token = rest->substr(at, end - at);
    *rest = rest->substr(end);
    return token;
}

bool ParseTime(std::string_view token, int64_t* us) {
    if (token.size() < 3 || token.front() != '(' || token.back() != ')') return false;
    token = token.substr(1, token.size() - 2);
    const size_t dot = token.find('.');
    const std::string_view whole = token.substr(0, dot);
    const std::string_view fraction =
        dot == std::string_view::npos ? std::string_view() : token.substr(dot + 1);
    // Twelve digits of seconds reach far past any real log and stay clear
    // of overflow in microseconds.
    if (whole.empty() || whole.size() > 12 || fraction.size() > 9) return false;
    if (dot != std::string_view::npos && fraction.empty()) return false;
    int64_t seconds = 0;
    for (char c : whole) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        seconds = seconds * 10 + (c - '0');
    }
    int64_t micros = 0;
    for (size_t i = 0; i < fraction.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(fraction[i]))) return false;
        if (i < 6) micros = micros * 10 + (fraction[i] - '0');
    }
    for (size_t i = fraction.size(); i < 6; ++i) micros *= 10;
    *us = seconds * 1000000 + micros;
    return true;
}

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>* out) {
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '.') {
            ++i;
            continue;
        }
        const int hi = HexValue(text[i]);
        const int lo = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<uint8_t>(hi << 4 | lo));
        i += 2;
    }
    return true;
}

LogLine Broken(std::string* reason, const char* why) {
    *reason = why;
    return LogLine::kBroken;
}

}  // namespace

LogLine ParseCandumpLine(std::string_view line, LogFrame* frame, std::string* reason) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view rest = line;
    const std::string_view first = NextToken(&rest);
    if (first.empty() || first.front() == '#') return LogLine::kIgnored;

    LogFrame f;
    if (!ParseTime(first, &f.nTimeUs)) return Broken(reason, "no time stamp (SECONDS.FRACTION)");
    const std::string_view interface = NextToken(&rest);
    const std::string_view text = NextToken(&rest);
    if (interface.empty() || text.empty()) return Broken(reason, "no interface and frame");
    const std::string_view direction = NextToken(&rest);
    if (!(direction.empty() || direction == "R" || direction == "T") || !NextToken(&rest).empty())
        return Broken(reason, "text after the frame");
    f.sInterface = std::string(interface);

    const size_t hash = text.find('#');
    if (hash == std::string_view::npos) return Broken(reason, "the frame is not ID#DATA");
    const std::string_view id = text.substr(0, hash);
    if (id.size() != 3 && id.size() != 8)
        return Broken(reason, "the identifier is not 3 or 8 hex digits");
    uint32_t value = 0;
    for (char c : id) {
        const int v = HexValue(c);
        if (v < 0) return Broken(reason, "the identifier is not hex");
        value = value << 4 | static_cast<uint32_t>(v);
    }
    f.bExtended = id.size() == 8;
    if (f.bExtended ? value > 0x1FFFFFFFu : value > 0x7FFu)
        return Broken(reason, "the identifier is out of range (an error frame?)");
    f.nId = value;

    std::string_view data = text.substr(hash + 1);
    if (!data.empty() && (data[0] == 'R' || data[0] == 'r')) {
        f.bRemote = true;
        if (data.size() > 2 || (data.size() == 2 && (data[1] < '0' || data[1] > '8')))
            return Broken(reason, "a remote frame takes a length 0-8 only");
        f.nRemoteLength = data.size() == 2 ? data[1] - '0' : 0;
    } else {
        if (!data.empty() && data[0] == '#') {
            // The FD form: one hex digit of flags, then the data.
            if (data.size() < 2 || HexValue(data[1]) < 0)
                return Broken(reason, "ID## needs a flags digit");
            data = data.substr(2);
        }
        if (!ParseHexBytes(data, &f.oData))
            return Broken(reason, "the data are not hex byte pairs");
        if (f.oData.size() > kMaxLogData) return Broken(reason, "more than 255 data bytes");
    }
    *frame = std::move(f);
    return LogLine::kFrame;
}

std::string FormatCandumpLine(const LogFrame& frame) {
    static const char kHex[] = "0123456789ABCDEF";
    char head[48];
    const int64_t us = frame.nTimeUs < 0 ? 0 : frame.nTimeUs;
    std::snprintf(head, sizeof head, "(%010lld.%06lld) ", static_cast<long long>(us / 1000000),
                  static_cast<long long>(us % 1000000));
    std::string line = head;
    line += frame.sInterface;
    line += ' ';
    char id[16];
    std::snprintf(id, sizeof id, frame.bExtended ? "%08X" : "%03X",
                  static_cast<unsigned>(frame.nId));
    line += id;
    line += '#';
    if (frame.bRemote) {
        line += 'R';
        if (frame.nRemoteLength > 0 && frame.nRemoteLength <= 8)
            line += static_cast<char>('0' + frame.nRemoteLength);
        return line;
    }
    if (frame.oData.size() > 8) line += "#0";
    for (uint8_t b : frame.oData) {
        line += kHex[b >> 4];
        line += kHex[b & 15];
    }
    return line;
}

}  // namespace tool
