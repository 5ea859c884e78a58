// The socketcand protocol unit alone: cutting streams into messages however
// the bytes arrive, identifier and command boundaries, and the messages the
// server writes.
#include "socketcand_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tool::scd {
namespace {

using Kind = Splitter::Kind;

std::vector<Splitter::Piece> Cut(const std::string& text, size_t chunk) {
    Splitter s;
    std::vector<Splitter::Piece> out;
    for (size_t at = 0; at < text.size(); at += chunk)
        s.Feed(text.data() + at, std::min(chunk, text.size() - at), &out);
    return out;
}

TEST(SocketcandSplitter, PiecesDoNotDependOnHowTheStreamIsCut) {
    const std::string stream =
        "< hi >\r\n<open can0>  xx yy < echo >"
        "<" +
        std::string(kMaxMessage + 1, 'a') + "> < a <b > <>";
    const std::vector<std::pair<Kind, std::string>> expected = {
        {Kind::kMessage, "hi"},   {Kind::kMessage, "open can0"}, {Kind::kStray, ""},
        {Kind::kMessage, "echo"}, {Kind::kTooLong, ""},          {Kind::kStray, ""},
        {Kind::kMessage, "b"},    {Kind::kMessage, ""},
    };
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{7}, stream.size()}) {
        const std::vector<Splitter::Piece> got = Cut(stream, chunk);
        ASSERT_EQ(got.size(), expected.size()) << "chunk " << chunk;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].eKind, expected[i].first) << "chunk " << chunk << ", piece " << i;
            EXPECT_EQ(got[i].sText, expected[i].second) << "chunk " << chunk << ", piece " << i;
        }
    }
    Splitter half;
    std::vector<Splitter::Piece> out;
    half.Feed("< send 1", 8, &out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(half.InMessage());
}

TEST(SocketcandCommands, ArgumentsAreReadAsTheProtocolWritesThem) {
    Command c;
    std::string error;
    ASSERT_TRUE(ParseCommand("add 1 500000 1AAAAAAA 3 1 F1 ff", &c, &error)) << error;
    EXPECT_EQ(c.eVerb, Verb::kAdd);
    EXPECT_EQ(c.nIntervalUs, 1500000u);
    EXPECT_EQ(c.oFrame.nId, 0x1AAAAAAAu);
    EXPECT_TRUE(c.oFrame.bExtended);
    ASSERT_EQ(c.oFrame.nLength, 3);
    EXPECT_EQ(c.oFrame.aData[0], 0x01);
    EXPECT_EQ(c.oFrame.aData[1], 0xF1);
    EXPECT_EQ(c.oFrame.aData[2], 0xFF);

    ASSERT_TRUE(ParseCommand("sendrtr 123 4", &c, &error)) << error;
    EXPECT_EQ(c.eVerb, Verb::kSendRtr);
    EXPECT_TRUE(c.oFrame.bRemote);
    EXPECT_EQ(c.oFrame.nLength, 4);

    ASSERT_TRUE(ParseCommand("filter 0 0 123 8 FF 00 F8 00 00 00 00 00", &c, &error)) << error;
    EXPECT_EQ(c.eVerb, Verb::kFilter);
    EXPECT_EQ(c.oFrame.aData[2], 0xF8);

    ASSERT_TRUE(ParseCommand("can0 B 500000 875 0 0 0 0 1 1", &c, &error)) << error;
    EXPECT_EQ(c.eVerb, Verb::kBusBitrate);
    EXPECT_EQ(c.sBus, "can0");
    EXPECT_EQ(c.nBitrate, 500000u);

    ASSERT_TRUE(ParseCommand("can0 C 1 0 0", &c, &error)) << error;
    EXPECT_EQ(c.eVerb, Verb::kBusControl);
    EXPECT_TRUE(c.bListenOnly);

    ASSERT_TRUE(ParseCommand("statistics 1000", &c, &error)) << error;
    EXPECT_EQ(c.nStatisticsMs, 1000u);
    ASSERT_TRUE(ParseCommand("subscribe 0 0 123", &c, &error)) << error;
    EXPECT_EQ(c.oFrame.nId, 0x123u);

    // Bounds: eight bytes at most, one or two digits each, intervals of a day.
    for (const char* bad :
         {"send 123 8 1 2 3 4 5 6 7 8 9", "send 123 08 1 2 3 4 5 6 7 8", "send 123 1 100",
          "add 86401 0 123 0", "add 0 4294967296 123 0", "statistics 86400001", "can0 C 2 0 0",
          "can0 B 0 0 0 0 0 0 0 0", "echo now", "open", "Send 123 0"}) {
        EXPECT_FALSE(ParseCommand(bad, &c, &error)) << bad;
        EXPECT_EQ(error.find_first_of("<>"), std::string::npos) << error;
    }
    EXPECT_TRUE(ParseCommand("add 86400 4294967295 123 0", &c, &error)) << error;
    EXPECT_EQ(c.nIntervalUs, 86400000000u + 4294967295u);
}

TEST(SocketcandMessages, FramesErrorsAndStatistics) {
    std::string out;
    const uint8_t data[] = {0x01, 0xAB, 0x00};
    AppendFrame(0xA, false, false, data, 3, 23, 424242, &out);
    EXPECT_EQ(out, "< frame 00A 23.424242 01AB00 >");
    out.clear();
    AppendFrame(0xA, true, false, data, 0, 1700000000, 5, &out);
    EXPECT_EQ(out, "< frame 0000000A 1700000000.000005  >");
    out.clear();
    AppendFrame(0x123, false, true, data, 4, 23, 424242, &out);
    EXPECT_EQ(out, "< rtr 123 23.424242 4 >");
    out.clear();
    AppendError("bad <input>\n", &out);
    EXPECT_EQ(out, "< error bad ?input?? >");
    out.clear();
    AppendStat("can0", 1, 2, 3, 4, &out);
    EXPECT_EQ(out, "< stat can0 1 2 3 4 >");
    EXPECT_EQ(BeaconText("a\"b", {"can://127.0.0.1:29536"}, {"vcan0", "vcan1"}),
              "<CANBeacon name=\"a&quot;b\" type=\"adapter\" description=\"Tessara CAN gateway\">"
              "<URL>can://127.0.0.1:29536</URL><Bus name=\"vcan0\"/><Bus name=\"vcan1\"/>"
              "</CANBeacon>");
}

}  // namespace
}  // namespace tool::scd
