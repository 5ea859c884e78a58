// The socketcand text protocol: message cutting, command reading and the
// server's messages. Tool layer; no I/O.
#include "socketcand_protocol.h"

#include <algorithm>
#include <cstdio>

namespace tool::scd {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<std::string> Words(const std::string& body) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < body.size()) {
        while (i < body.size() && IsSpace(body[i])) ++i;
        const size_t start = i;
        while (i < body.size() && !IsSpace(body[i])) ++i;
        if (i > start) words.push_back(body.substr(start, i - start));
    }
    return words;
}

// A decimal number of at most 10 digits within [0, max].
bool ParseDecimal(const std::string& text, uint64_t max, uint64_t* out) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) return false;
    *out = v;
    return true;
}

// The interval of add, subscribe and filter: seconds and microseconds.
bool ParseInterval(const std::string& secs, const std::string& usecs, uint64_t* out,
                   std::string* error) {
    uint64_t s = 0, us = 0;
    // Over a day is no useful cycle; bounding it keeps the sum in range.
    if (!ParseDecimal(secs, 86400, &s) || !ParseDecimal(usecs, 4294967295ull, &us)) {
        *error = "malformed interval (seconds 0-86400, microseconds)";
        return false;
    }
    *out = s * 1000000 + us;
    return true;
}

bool ParseIdWord(const std::string& text, Frame* frame, std::string* error) {
    if (!ParseId(text, &frame->nId, &frame->bExtended)) {
        *error = "malformed CAN id (3 hex digits standard up to 7FF, 8 extended up to 1FFFFFFF)";
        return false;
    }
    return true;
}

// "ID LEN B0 ..." from words[at]: the identifier, a length 0-8 and exactly
// that many bytes of one or two hex digits. Remote frames carry no bytes.
bool ParseFrameWords(const std::vector<std::string>& words, size_t at, bool remote, Frame* frame,
                     std::string* error) {
    if (words.size() < at + 2) {
        *error = "missing CAN id or length";
        return false;
    }
    if (!ParseIdWord(words[at], frame, error)) return false;
    uint64_t length = 0;
    if (!ParseDecimal(words[at + 1], kMaxClassicData, &length) || words[at + 1].size() != 1) {
        *error = "malformed length (0-8)";
        return false;
    }
    frame->nLength = static_cast<uint8_t>(length);
    frame->bRemote = remote;
    const size_t bytes = remote ? 0 : static_cast<size_t>(length);
    if (words.size() != at + 2 + bytes) {
        *error = remote ? "a remote frame carries no data bytes"
                        : "the number of data bytes differs from the length";
        return false;
    }
    for (size_t i = 0; i < bytes; ++i) {
        const std::string& b = words[at + 2 + i];
        const int hi = b.empty() ? -1 : HexDigit(b[0]);
        const int lo = b.size() == 2 ? HexDigit(b[1]) : 0;
        if (b.size() > 2 || hi < 0 || lo < 0) {
            *error = "malformed data byte (1 or 2 hex digits)";
            return false;
        }
        frame->aData[i] = static_cast<uint8_t>(b.size() == 2 ? hi << 4 | lo : hi);
    }
    return true;
}

bool Arity(const std::vector<std::string>& words, size_t n, std::string* error) {
    if (words.size() == n) return true;
    *error =
        words[0] + (n == 1 ? " takes no arguments"
                           : " needs " + std::to_string(n - 1) + " argument" + (n == 2 ? "" : "s"));
    return false;
}

bool ValidBusName(const std::string& name) {
    if (name.empty() || name.size() > kMaxBusName) return false;
    for (char c : name) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                        (c >= 'A' && c <= 'Z') || c == '_' || c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

bool ParseFlag(const std::string& text, bool* out) {
    if (text != "0" && text != "1") return false;
    *out = text == "1";
    return true;
}

void AppendHexByte(uint8_t b, std::string* out) {
    static const char kHex[] = "0123456789ABCDEF";
    *out += kHex[b >> 4];
    *out += kHex[b & 15];
}

}  // namespace

void Splitter::Feed(const char* data, size_t size, std::vector<Piece>* out) {
    for (size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (bSkipping) {
            if (c == '>') {
                bSkipping = false;
                bInMessage = false;
            }
            continue;
        }
        if (!bInMessage) {
            if (c == '<') {
                bInMessage = true;
                bInStray = false;
                sBody.clear();
            } else if (!IsSpace(c)) {
                if (!bInStray) out->push_back({Kind::kStray, std::string()});
                bInStray = true;
            }
            continue;
        }
        if (c == '>') {
            size_t begin = 0, end = sBody.size();
            while (begin < end && IsSpace(sBody[begin])) ++begin;
            while (end > begin && IsSpace(sBody[end - 1])) --end;
            out->push_back({Kind::kMessage, sBody.substr(begin, end - begin)});
            bInMessage = false;
            sBody.clear();
        } else if (c == '<') {
            // The message before never ended; this one starts afresh.
            out->push_back({Kind::kStray, std::string()});
            sBody.clear();
        } else if (sBody.size() >= kMaxMessage) {
            out->push_back({Kind::kTooLong, std::string()});
            bSkipping = true;
            sBody.clear();
        } else {
            sBody += c;
        }
    }
}

bool ParseId(const std::string& text, uint32_t* id, bool* extended) {
    if (text.empty() || text.size() > 8) return false;
    uint32_t v = 0;
    for (char c : text) {
        const int d = HexDigit(c);
        if (d < 0) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    const bool ext = text.size() == 8;
    if (v > (ext ? 0x1FFFFFFFu : 0x7FFu)) return false;
    *id = v;
    *extended = ext;
    return true;
}

bool ParseCommand(const std::string& body, Command* out, std::string* error) {
    const std::vector<std::string> w = Words(body);
    if (w.empty()) {
        *error = "empty message";
        return false;
    }
    Command c;
    c.sWord = w[0];
    const std::string& v = w[0];
    bool ok = true;
    if (w.size() >= 2 && (w[1] == "B" || w[1] == "C")) {
        // Bus settings: "< BUS B bitrate sample_point tq prop_seg phase_seg1
        // phase_seg2 sjw brp >" and "< BUS C listen_only loopback three_samples >".
        c.sBus = v;
        c.sWord = w[1];
        if (!ValidBusName(v)) {
            *error = "malformed bus name";
            return false;
        }
        if (w[1] == "B") {
            c.eVerb = Verb::kBusBitrate;
            uint64_t n = 0;
            if (w.size() != 10) {
                *error = "B needs bitrate sample_point tq prop_seg phase_seg1 phase_seg2 sjw brp";
                return false;
            }
            for (size_t i = 3; i < w.size(); ++i) {
                if (!ParseDecimal(w[i], 4294967295ull, &n)) {
                    *error = "malformed bit timing value";
                    return false;
                }
            }
            if (!ParseDecimal(w[2], 0x7FFFFFFF, &n) || n == 0) {
                *error = "malformed bit rate";
                return false;
            }
            c.nBitrate = static_cast<uint32_t>(n);
        } else {
            c.eVerb = Verb::kBusControl;
            if (w.size() != 5 || !ParseFlag(w[2], &c.bListenOnly) ||
                !ParseFlag(w[3], &c.bLoopback) || !ParseFlag(w[4], &c.bThreeSamples)) {
                *error = "C needs listen_only loopback three_samples, each 0 or 1";
                return false;
            }
        }
    } else if (v == "open") {
        c.eVerb = Verb::kOpen;
        ok = Arity(w, 2, error);
        if (ok && !ValidBusName(w[1])) {
            *error = "malformed bus name";
            return false;
        }
        if (ok) c.sBus = w[1];
    } else if (v == "rawmode" || v == "bcmmode" || v == "controlmode" || v == "echo") {
        c.eVerb = v == "rawmode"       ? Verb::kRawMode
                  : v == "bcmmode"     ? Verb::kBcmMode
                  : v == "controlmode" ? Verb::kControlMode
                                       : Verb::kEcho;
        ok = Arity(w, 1, error);
    } else if (v == "send" || v == "sendrtr") {
        c.eVerb = v == "send" ? Verb::kSend : Verb::kSendRtr;
        ok = ParseFrameWords(w, 1, v == "sendrtr", &c.oFrame, error);
    } else if (v == "add") {
        c.eVerb = Verb::kAdd;
        ok = w.size() >= 3 && ParseInterval(w[1], w[2], &c.nIntervalUs, error) &&
             ParseFrameWords(w, 3, false, &c.oFrame, error);
        if (w.size() < 3) *error = "add needs secs usecs can_id can_dlc [data]*";
    } else if (v == "update") {
        c.eVerb = Verb::kUpdate;
        ok = ParseFrameWords(w, 1, false, &c.oFrame, error);
    } else if (v == "delete" || v == "unsubscribe") {
        c.eVerb = v == "delete" ? Verb::kDelete : Verb::kUnsubscribe;
        ok = Arity(w, 2, error) && ParseIdWord(w[1], &c.oFrame, error);
    } else if (v == "subscribe") {
        c.eVerb = Verb::kSubscribe;
        ok = Arity(w, 4, error) && ParseInterval(w[1], w[2], &c.nIntervalUs, error) &&
             ParseIdWord(w[3], &c.oFrame, error);
    } else if (v == "filter") {
        c.eVerb = Verb::kFilter;
        ok = w.size() >= 3 && ParseInterval(w[1], w[2], &c.nIntervalUs, error) &&
             ParseFrameWords(w, 3, false, &c.oFrame, error);
        if (w.size() < 3) *error = "filter needs secs usecs can_id can_dlc [data]*";
    } else if (v == "statistics") {
        c.eVerb = Verb::kStatistics;
        uint64_t ms = 0;
        ok = Arity(w, 2, error);
        // Zero switches the reports off; a day is the longest period.
        if (ok && !ParseDecimal(w[1], 86400000, &ms)) {
            *error = "malformed statistics interval (milliseconds)";
            return false;
        }
        c.nStatisticsMs = static_cast<uint32_t>(ms);
    } else if (v == "muxfilter" || v == "isotpmode" || v == "isotpconf" || v == "sendpdu") {
        c.eVerb = Verb::kUnsupported;
    } else {
        *error = "unknown command";
        return false;
    }
    if (!ok) return false;
    *out = c;
    return true;
}

void AppendFrame(uint32_t id, bool extended, bool remote, const uint8_t* data, size_t length,
                 uint64_t seconds, uint32_t micros, std::string* out) {
    char head[64];
    std::snprintf(head, sizeof head, extended ? "< %s %08X %llu.%06u " : "< %s %03X %llu.%06u ",
                  remote ? "rtr" : "frame", static_cast<unsigned>(id),
                  static_cast<unsigned long long>(seconds),
                  static_cast<unsigned>(micros % 1000000));
    *out += head;
    if (remote) {
        *out += std::to_string(length);
        *out += ' ';
    } else {
        for (size_t i = 0; i < length; ++i) AppendHexByte(data[i], out);
        *out += ' ';
    }
    *out += '>';
}

void AppendOk(std::string* out) {
    *out += "< ok >";
}

void AppendEcho(std::string* out) {
    *out += "< echo >";
}

void AppendError(const std::string& text, std::string* out) {
    *out += "< error ";
    // Every reply stays within what a message may hold, whatever it quotes.
    const size_t length = std::min(text.size(), kMaxErrorText);
    for (char c : text.substr(0, length)) {
        const bool printable = c >= 0x20 && c < 0x7F && c != '<' && c != '>';
        *out += printable ? c : '?';
    }
    *out += " >";
}

void AppendStat(const std::string& bus, uint64_t rxBytes, uint64_t rxPackets, uint64_t txBytes,
                uint64_t txPackets, std::string* out) {
    char text[160];
    std::snprintf(
        text, sizeof text, " %llu %llu %llu %llu >", static_cast<unsigned long long>(rxBytes),
        static_cast<unsigned long long>(rxPackets), static_cast<unsigned long long>(txBytes),
        static_cast<unsigned long long>(txPackets));
    *out += "< stat ";
    *out += bus;
    *out += text;
}

std::string BeaconText(const std::string& name, const std::vector<std::string>& urls,
                       const std::vector<std::string>& buses) {
    // Names come from the command line and the host name; keep the XML well formed.
    auto attr = [](const std::string& s) {
        std::string r;
        for (char c : s) {
            if (c == '&')
                r += "&amp;";
            else if (c == '<')
                r += "&lt;";
            else if (c == '>')
                r += "&gt;";
            else if (c == '"')
                r += "&quot;";
            else
                r += c;
        }
        return r;
    };
    std::string text = "<CANBeacon name=\"" + attr(name) +
                       "\" type=\"adapter\" description=\"Tessara CAN gateway\">";
    for (const std::string& u : urls) text += "<URL>" + attr(u) + "</URL>";
    for (const std::string& b : buses) text += "<Bus name=\"" + attr(b) + "\"/>";
    text += "</CANBeacon>";
    return text;
}

}  // namespace tool::scd
