// Fuzz entry for the socketcand server's protocol unit: a client's byte
// stream cut into messages (the same pieces however the stream arrives),
// every message read as a command, and what the server writes back read
// again. Fuzz harness.
//
// Input: one header byte, then the stream.
//   0  chunk size for the second cutting: (byte mod 64) + 1
#include <string>
#include <vector>

#include "fuzz_entries.h"
#include "socketcand_protocol.h"

namespace tes::fuzz {

namespace {

using tool::scd::Splitter;

std::vector<Splitter::Piece> Cut(const std::string& text, size_t chunk) {
    Splitter s;
    std::vector<Splitter::Piece> out;
    for (size_t at = 0; at < text.size(); at += chunk)
        s.Feed(text.data() + at, std::min(chunk, text.size() - at), &out);
    return out;
}

// What the server writes is one well-formed message of the kind expected.
void CheckOneMessage(const std::string& written, const char* start) {
    const std::vector<Splitter::Piece> back = Cut(written, written.size());
    Check(back.size() == 1 && back[0].eKind == Splitter::Kind::kMessage,
          "a server message does not read back as one message");
    if (back.size() == 1) {
        Check(back[0].sText.rfind(start, 0) == 0, "a server message reads back as another kind");
    }
}

}  // namespace

void SocketcandInput(const uint8_t* data, size_t size) {
    if (size < 1) return;
    const size_t chunk = data[0] % 64 + 1;
    const std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::vector<Splitter::Piece> whole = Cut(stream, stream.size() + 1);
    const std::vector<Splitter::Piece> cut = Cut(stream, chunk);
    Check(whole.size() == cut.size(), "the pieces depend on how the stream is cut");
    for (size_t i = 0; i < whole.size() && i < cut.size(); ++i) {
        Check(whole[i].eKind == cut[i].eKind && whole[i].sText == cut[i].sText,
              "the pieces depend on how the stream is cut");
    }
    for (const Splitter::Piece& p : whole) {
        Check(p.sText.size() <= tool::scd::kMaxMessage, "a message beyond the length bound");
        if (p.eKind != Splitter::Kind::kMessage) continue;
        tool::scd::Command command;
        std::string error;
        if (!tool::scd::ParseCommand(p.sText, &command, &error)) {
            std::string reply;
            tool::scd::AppendError(error + " " + p.sText, &reply);
            CheckOneMessage(reply, "error ");
            continue;
        }
        const tool::scd::Frame& f = command.oFrame;
        Check(f.nLength <= tool::scd::kMaxClassicData, "a frame longer than 8 bytes");
        Check(f.nId <= (f.bExtended ? 0x1FFFFFFFu : 0x7FFu), "an identifier out of its range");
        Check(command.sBus.size() <= tool::scd::kMaxBusName, "a bus name beyond 16 characters");
        if (command.eVerb == tool::scd::Verb::kSend || command.eVerb == tool::scd::Verb::kSendRtr) {
            // The frame as the server would report it, read back.
            std::string text;
            tool::scd::AppendFrame(f.nId, f.bExtended, f.bRemote, f.aData, f.nLength, 1, 2, &text);
            CheckOneMessage(text, f.bRemote ? "rtr " : "frame ");
            uint32_t id = 0;
            bool extended = false;
            const size_t at = text.find(' ', 2) + 1;
            Check(tool::scd::ParseId(text.substr(at, text.find(' ', at) - at), &id, &extended) &&
                      id == f.nId && extended == f.bExtended,
                  "a reported identifier reads back as another");
        }
    }
}

}  // namespace tes::fuzz
