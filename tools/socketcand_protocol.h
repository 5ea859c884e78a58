// The socketcand text protocol as the tessara-can socketcand server speaks
// it: cutting a client's byte stream into "< ... >" messages, reading one
// message into a command, and writing the server's messages. Pure functions
// over the C++ standard library (no sockets, no gateway), so that the fuzz
// harness and the unit tests link it alone. Tool layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tool::scd {

// Longest message body accepted between '<' and '>'. The longest command
// ("add" with eight data bytes, a 10-digit interval and an 8-digit
// identifier) takes under 60 characters; the rest is room for spacing.
constexpr size_t kMaxMessage = 256;
constexpr size_t kMaxBusName = 16;
constexpr size_t kMaxClassicData = 8;
// Longest text of an error reply, which keeps it a message a client accepts.
constexpr size_t kMaxErrorText = 200;

// Cuts a byte stream into messages. Whitespace between messages is skipped;
// anything else outside "< >" is reported once per run of such bytes.
class Splitter {
public:
    enum class Kind {
        kMessage,  // sText: the body between '<' and '>', spaces trimmed
        kStray,    // bytes outside "< >" (or a '<' inside a message)
        kTooLong,  // a body beyond kMaxMessage; the rest up to '>' is skipped
    };
    struct Piece {
        Kind eKind;
        std::string sText;
    };

    // Appends what the bytes complete to *out.
    void Feed(const char* data, size_t size, std::vector<Piece>* out);
    // True while a message has begun and not ended (a half message).
    bool InMessage() const { return bInMessage; }

private:
    std::string sBody;
    bool bInMessage = false;
    bool bSkipping = false;  // inside an over-long body
    bool bInStray = false;
};

struct Frame {
    uint32_t nId = 0;
    bool bExtended = false;
    bool bRemote = false;
    uint8_t nLength = 0;  // data bytes, or the DLC of a remote frame
    uint8_t aData[kMaxClassicData] = {};
};

enum class Verb {
    kOpen,        // sBus
    kBusBitrate,  // "< BUS B bitrate ... >": sBus, nBitrate
    kBusControl,  // "< BUS C listen_only loopback three_samples >": sBus, the flags
    kRawMode,
    kBcmMode,
    kControlMode,
    kEcho,
    kSend,         // oFrame
    kSendRtr,      // oFrame (remote, nLength the DLC)
    kAdd,          // nIntervalUs, oFrame
    kUpdate,       // oFrame
    kDelete,       // oFrame.nId/bExtended
    kSubscribe,    // nIntervalUs, oFrame.nId/bExtended
    kUnsubscribe,  // oFrame.nId/bExtended
    kFilter,       // nIntervalUs, oFrame (aData the content mask)
    kStatistics,   // nStatisticsMs
    kUnsupported,  // a documented command this server does not offer: sWord
};

struct Command {
    Verb eVerb = Verb::kEcho;
    std::string sWord;  // the command word as received
    std::string sBus;
    Frame oFrame;
    uint64_t nIntervalUs = 0;
    uint32_t nStatisticsMs = 0;
    uint32_t nBitrate = 0;
    bool bListenOnly = false;
    bool bLoopback = false;
    bool bThreeSamples = false;
};

// Reads a message body. False with a short reason in *error (printable
// ASCII, no '<' or '>') for an unknown command or a malformed argument.
bool ParseCommand(const std::string& body, Command* out, std::string* error);

// A CAN identifier as the protocol writes it: exactly 8 hex digits is an
// extended identifier (up to 1FFFFFFF), 1 to 7 a standard one (up to 7FF).
bool ParseId(const std::string& text, uint32_t* id, bool* extended);

// The messages the server sends, appended to *out.
// "< frame ID SECONDS.MICROSECONDS DATA >" (ID 3 or 8 hex digits, DATA hex
// without spaces, up to 64 bytes) or "< rtr ID SECONDS.MICROSECONDS DLC >".
void AppendFrame(uint32_t id, bool extended, bool remote, const uint8_t* data, size_t length,
                 uint64_t seconds, uint32_t micros, std::string* out);
void AppendOk(std::string* out);
void AppendEcho(std::string* out);
// "< error TEXT >", with every byte of TEXT that could end the message or
// is not printable replaced, and TEXT cut at kMaxErrorText.
void AppendError(const std::string& text, std::string* out);
void AppendStat(const std::string& bus, uint64_t rxBytes, uint64_t rxPackets, uint64_t txBytes,
                uint64_t txPackets, std::string* out);

// The discovery beacon's XML: the server's name, one URL per listening
// address ("can://ADDR:PORT", IPv6 in brackets), one element per bus.
std::string BeaconText(const std::string& name, const std::vector<std::string>& urls,
                       const std::vector<std::string>& buses);

}  // namespace tool::scd
