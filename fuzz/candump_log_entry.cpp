// Fuzz entry for the candump log reader of `tessara-can play`: every line of
// the input is read; a frame it accepts must be within the protocol's
// bounds and read back the same from the line the tool writes for it.
// Fuzz harness.
#include <string>
#include <string_view>

#include "candump_log.h"
#include "fuzz_entries.h"

namespace tes::fuzz {

void CandumpLogInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;

        tool::LogFrame frame;
        std::string reason;
        const tool::LogLine kind = tool::ParseCandumpLine(line, &frame, &reason);
        if (kind == tool::LogLine::kBroken) {
            Check(!reason.empty(), "a broken line without a reason");
            continue;
        }
        if (kind != tool::LogLine::kFrame) continue;
        Check(frame.nId <= (frame.bExtended ? 0x1FFFFFFFu : 0x7FFu), "identifier out of range");
        Check(frame.oData.size() <= tool::kMaxLogData, "more data than a length byte holds");
        Check(!frame.bRemote || frame.oData.empty(), "a remote frame with data");
        Check(frame.nRemoteLength >= 0 && frame.nRemoteLength <= 8, "remote length out of range");
        Check(frame.nTimeUs >= 0, "negative time stamp");
        Check(!frame.sInterface.empty(), "no interface");

        tool::LogFrame again;
        const std::string written = tool::FormatCandumpLine(frame);
        Check(tool::ParseCandumpLine(written, &again, &reason) == tool::LogLine::kFrame,
              "the tool's own line does not read back");
        Check(again.nTimeUs == frame.nTimeUs && again.sInterface == frame.sInterface &&
                  again.nId == frame.nId && again.bExtended == frame.bExtended &&
                  again.bRemote == frame.bRemote && again.nRemoteLength == frame.nRemoteLength &&
                  again.oData == frame.oData,
              "the tool's own line reads back as another frame");
    }
}

}  // namespace tes::fuzz
