// The wire oracle against the protocol's worked bytes, and the library's
// framing against the oracle in both directions for every command word: what
// one encodes the other decodes field for field. The simulator and the test
// helpers frame with the oracle, so these are what ties them to the protocol.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/commands.h"
#include "protocol/telegram.h"
#include "wire/telegram.h"

namespace {

using namespace tes::wire;

struct Worked {
    const char* sWhat;
    uint16_t nCommand;
    uint16_t nId;
    Bytes oData;
    Bytes oWire;  // as the protocol note writes it
};

// The byte examples of the protocol note and the simulator's README.
const std::vector<Worked>& WorkedExamples() {
    static const std::vector<Worked> examples = {
        {"INFO", 0x0209, 2, {}, {0x05, 0x00, 0x09, 0x02, 0x02, 0x00, 0x09}},
        {"INFO confirmed", 0x8209, 2, {0x00}, {0x06, 0x00, 0x09, 0x82, 0x02, 0x00, 0x00, 0x89}},
        {"CONNECT", 0x0201, 1, {}, {0x05, 0x00, 0x01, 0x02, 0x01, 0x00, 0x02}},
        {"CONNECT accepted", 0x8201, 1, {0x00}, {0x06, 0x00, 0x01, 0x82, 0x01, 0x00, 0x00, 0x82}},
        {"DISCONNECT", 0x0202, 0, {}, {0x05, 0x00, 0x02, 0x02, 0x00, 0x00, 0x00}},
        {"DISCONNECT confirmed",
         0x8202,
         0,
         {0x00},
         {0x06, 0x00, 0x02, 0x82, 0x00, 0x00, 0x00, 0x80}},
        {"ALIVE 2000 ms",
         0x020D,
         0,
         {0xD0, 0x07, 0x00, 0x00},
         {0x09, 0x00, 0x0D, 0x02, 0x00, 0x00, 0xD0, 0x07, 0x00, 0x00, 0xD8}},
        {"ALIVE confirmed", 0x820D, 0, {0x00}, {0x06, 0x00, 0x0D, 0x82, 0x00, 0x00, 0x00, 0x8F}},
    };
    return examples;
}

TEST(WireOracle, WorkedExamplesEncodeAndDecodeByteForByte) {
    for (const Worked& w : WorkedExamples()) {
        SCOPED_TRACE(w.sWhat);
        EXPECT_EQ(MakeTelegram(w.nCommand, w.nId, w.oData), w.oWire);
        View v;
        ASSERT_TRUE(Decode(w.oWire, &v));
        EXPECT_EQ(v.nLength, w.oData.size() + 5);
        EXPECT_EQ(v.nCommand, w.nCommand);
        EXPECT_EQ(v.nId, w.nId);
        EXPECT_EQ(Bytes(v.pData, v.pData + v.nDataLength), w.oData);
        EXPECT_EQ(v.cChecksum, w.oWire.back());
        if ((w.nCommand & 0x8000) != 0) {  // the same bytes as a confirmation with result 0
            EXPECT_EQ(MakeConfirmation(static_cast<uint16_t>(w.nCommand & 0x7FFF), w.nId, 0),
                      w.oWire);
        }
    }
    // The ALIVE period, little-endian both ways.
    EXPECT_EQ(GetU32(&WorkedExamples()[6].oWire[6]), 2000u);
    Bytes period;
    AppendU32(&period, 2000);
    EXPECT_EQ(period, WorkedExamples()[6].oData);
}

TEST(WireOracle, DecodeTellsFramingFromChecksum) {
    const Bytes info = WorkedExamples()[0].oWire;
    struct Case {
        const char* sWhat;
        Bytes oBytes;
        bool bFramed;
        bool bWellFormed;
    };
    Bytes lengthSix = info;
    lengthSix[0] = 0x06;
    const std::vector<Case> cases = {
        {"six bytes", Bytes(info.begin(), info.end() - 1), false, false},
        {"length field says 6 of 7 bytes", lengthSix, false, false},
        {"wrong checksum", WithWrongChecksum(info), true, false},
        {"the example", info, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sWhat);
        View v;
        EXPECT_EQ(Decode(c.oBytes, &v), c.bWellFormed);
        EXPECT_EQ(v.bFramed, c.bFramed);
        EXPECT_EQ(v.bWellFormed, c.bWellFormed);
        EXPECT_EQ(v.nSize, c.oBytes.size());
    }
    EXPECT_EQ(WithWrongChecksum(Bytes{1, 2, 3}), (Bytes{1, 2, 3}));
    // Data beyond what a length field can describe is cut off.
    EXPECT_EQ(MakeTelegram(kCmdWriteAnalog, 1, Bytes(kMaxData + 3, 0)).size(), kMaxTelegram);
}

// A stream of the worked examples, a piece too short to be a telegram and a
// largest telegram, cut at every split point into two receives: the cutter
// hands out the same pieces whatever the split.
TEST(WireOracle, StreamCutterIgnoresHowTheStreamArrives) {
    Bytes stream;
    std::vector<Bytes> pieces;
    for (const Worked& w : WorkedExamples()) pieces.push_back(w.oWire);
    pieces.push_back({0x03, 0x00, 0x01, 0x02, 0x03});  // length 3: a fragment
    pieces.push_back(MakeConfirmation(kCmdGetFilter, 0x1234, 0, Bytes(64, 0x5A)));
    for (const Bytes& p : pieces) stream.insert(stream.end(), p.begin(), p.end());

    auto cut = [&](const std::vector<size_t>& reads) {
        StreamCutter cutter;
        std::vector<Bytes> out;
        size_t at = 0;
        for (size_t n : reads) {
            size_t room = 0;
            uint8_t* space = cutter.Space(&room);
            EXPECT_GE(room, n);
            std::memcpy(space, stream.data() + at, n);
            cutter.Commit(n);
            at += n;
            View v;
            while (cutter.Next(&v)) {
                out.emplace_back(v.pBytes, v.pBytes + v.nSize);
                const bool fragment = v.nSize < kOverhead;
                EXPECT_EQ(v.bWellFormed, !fragment);
            }
        }
        EXPECT_EQ(cutter.Pending(), 0u);
        return out;
    };
    for (size_t split = 0; split <= stream.size(); ++split)
        ASSERT_EQ(cut({split, stream.size() - split}), pieces) << "split at " << split;
    ASSERT_EQ(cut(std::vector<size_t>(stream.size(), 1)), pieces) << "byte by byte";

    // A largest telegram after a partial one, arriving in 64 KiB reads.
    const Bytes largest = MakeTelegram(kCmdSetFilter, 7, Bytes(kMaxData, 0xA5));
    StreamCutter cutter;
    Bytes big = pieces[0];
    big.insert(big.end(), largest.begin(), largest.end());
    big.insert(big.end(), largest.begin(), largest.end());
    size_t at = 0, whole = 0;
    while (at < big.size()) {
        size_t room = 0;
        uint8_t* space = cutter.Space(&room);
        const size_t n = std::min<size_t>({room, 65536, big.size() - at});
        ASSERT_GT(n, 0u);
        std::memcpy(space, big.data() + at, n);
        cutter.Commit(n);
        at += n;
        View v;
        while (cutter.Next(&v)) whole += v.bWellFormed ? 1 : 0;
    }
    EXPECT_EQ(whole, 3u);
}

TEST(WireOracle, DatagramWalkerStopsAtATelegramCutShort) {
    const Bytes a = WorkedExamples()[0].oWire;
    const Bytes b = WorkedExamples()[6].oWire;
    struct Case {
        const char* sWhat;
        Bytes oDatagram;
        size_t nTelegrams;
    };
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    const std::vector<Case> cases = {
        {"one", a, 1},
        {"two back to back", cat({a, b}), 2},
        {"the last cut short", cat({a, Bytes(b.begin(), b.end() - 1)}), 1},
        {"two bytes left over", cat({a, {0x00, 0x00}}), 1},
        {"empty", {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sWhat);
        DatagramWalker walker(c.oDatagram.data(), c.oDatagram.size());
        View v;
        size_t n = 0;
        while (walker.Next(&v)) {
            EXPECT_TRUE(v.bWellFormed);
            ++n;
        }
        EXPECT_EQ(n, c.nTelegrams);
        EXPECT_FALSE(walker.Next(&v)) << "stays at its end";
    }
}

// ---------------------------------------------------------------- library

// The protocol's command names and the library's command table agree on
// every word, in both directions.
TEST(WireOracle, LibraryCommandTableHasTheProtocolsWords) {
    size_t rows = 0;
#define TES_ORACLE_ROW(name, code, text)                                         \
    {                                                                            \
        ++rows;                                                                  \
        const std::string wanted = #name;                                        \
        const CommandName* row = kCommandNames;                                  \
        while (row->sName != nullptr && wanted != row->sName) ++row;             \
        ASSERT_NE(row->sName, nullptr) << #name << " is not a protocol command"; \
        EXPECT_EQ(tes::CommandWord(tes::Cmd::name), row->nWord) << #name;        \
    }
    TES_COMMAND_TABLE(TES_ORACLE_ROW)
#undef TES_ORACLE_ROW
    size_t names = 0;
    while (kCommandNames[names].sName != nullptr) ++names;
    EXPECT_EQ(rows, names);
}

struct Sample {
    uint16_t nCommand;
    Bytes oData;
};

Bytes U32s(std::initializer_list<uint32_t> values) {
    Bytes out;
    for (uint32_t v : values) AppendU32(&out, v);
    return out;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// One telegram of every kind, with the data layout the simulator's README
// gives it.
std::vector<Sample> EveryKind() {
    Bytes filter;
    for (uint32_t i = 0; i < 16; ++i) AppendU32(&filter, i % 2 == 0 ? 0x80000100u + i : 0x7FF);
    return {
        // link control
        {kCmdConnect, {}},
        {kCmdDisconnect, {}},
        {kCmdAlive, U32s({2000})},
        // device
        {kCmdInfo, {}},
        {kCmdStatus, {}},
        {kCmdReadDigital, {}},
        {kCmdWriteDigital, U32s({0xA5A5A5A5})},
        {kCmdReadAnalog, {}},
        {kCmdWriteAnalog, U32s({1, 2, 3, 4})},
        // CAN port: a WRITE of 64 data bytes with an extended identifier
        {kCmdWrite, Cat({U32s({0x18FEF100}), {0x01}, Bytes(64, 0xC3)})},
        {kCmdSetConfig, {1, 0}},
        {kCmdSetGlobals, Cat({{0}, U32s({500000}), {0, 1, 1}})},
        {kCmdGetGlobals, {}},
        {kCmdSetTime, U32s({0x7FFFFFFF, 999999})},
        {kCmdClose, {}},
        {kCmdGetTime, {}},
        {kCmdSetFilter, filter},
        {kCmdGetFilter, {}},
        {kCmdGetPowerstatus, {}},
        {kCmdSetPowerrelais, {1}},
        {kCmdSetPoweractivesupplies, U32s({0x5})},
        // CANopen
        {kCmdCanopenSetConfig, {1}},
        {kCmdCanopenGetConfig, {}},
        {kCmdCanopenSyncMode, {0xE8, 0x03}},
        {kCmdCanopenNmt, {0, 0x01}},
        {kCmdCanopenSync, {}},
        {kCmdCanopenTime, Cat({{0x10, 0x27}, U32s({86399999})})},
        {kCmdCanopenPdo, {5, 5, 1, 2, 3, 4, 5, 6, 7, 8}},
        {kCmdCanopenSdoRead, {5, 0x18, 0x10, 1, 0xE8, 0x03}},
        {kCmdCanopenSdoWrite, Cat({{5, 4, 0x00, 0x20, 0, 0xE8, 0x03}, U32s({0xDEADBEEF})})},
        {kCmdCanopenSdoReadBlock, {5, 0x08, 0x10, 0, 0xE8, 0x03}},
        {kCmdCanopenSdoWriteBlock, Cat({{5, 0x01, 0x20, 0, 0xE8, 0x03}, Bytes(4096, 0x3C)})},
        // frames and indications from the gateway, a time stamp on the frame
        {kIndCanFrame, Cat({U32s({0x123}), {0x04, 0xAA, 0xBB}, U32s({1700000000, 250000})})},
        {kIndSync, {0x07}},
        {kIndEmcy, {5, 0x10, 0x81, 0x01, 1, 2, 3, 4, 5}},
        {kIndPdo, {5, 1, 2, 0x11, 0x22}},
        {kIndGuard, {5, 0x7F}},
        {kIndUndefined, Cat({U32s({0x7E5}), {0x00, 0x01}})},
    };
}

TEST(WireOracle, LibraryAndOracleFrameEveryKindAlike) {
    uint16_t id = 0xFFF0;  // ids run through the wrap to 0
    for (const Sample& s : EveryKind()) {
        for (const bool confirmation : {false, true}) {
            const uint16_t word = confirmation ? ConfirmationOf(s.nCommand) : s.nCommand;
            const Bytes data = confirmation ? Cat({{0x00}, s.oData}) : s.oData;
            SCOPED_TRACE(std::string(NameOf(word)) + (confirmation ? " confirmation" : ""));
            ++id;

            // The library encodes, the oracle decodes.
            Bytes fromLibrary(data.size() + 7);
            ASSERT_EQ(tes::EncodeTelegram(fromLibrary.data(), word, id, data.data(), data.size()),
                      fromLibrary.size());
            View v;
            ASSERT_TRUE(Decode(fromLibrary, &v));
            EXPECT_EQ(v.nCommand, word);
            EXPECT_EQ(v.nId, id);
            EXPECT_EQ(Bytes(v.pData, v.pData + v.nDataLength), data);
            const tes::CTessaraMsg msg(data.data(), static_cast<uint16_t>(data.size()), word, id);
            EXPECT_EQ(msg.ToBytes(), fromLibrary);

            // The oracle encodes, the library decodes.
            const Bytes fromOracle = MakeTelegram(word, id, data);
            EXPECT_EQ(fromOracle, fromLibrary);
            tes::TelegramView lv;
            ASSERT_TRUE(lv.Parse(fromOracle.data(), fromOracle.size()));
            EXPECT_TRUE(lv.ChecksumMatches());
            EXPECT_EQ(lv.nCommand, word);
            EXPECT_EQ(lv.nTelegramId, id);
            EXPECT_EQ(Bytes(lv.pData, lv.pData + lv.nDataLength), data);
            tes::CTessaraMsg parsed;
            ASSERT_TRUE(parsed.FromBytes(fromOracle.data(), fromOracle.size()));
            EXPECT_EQ(parsed.oData, data);
            EXPECT_EQ(parsed.cChecksum, parsed.CalcChecksum());

            // Both reject the same corruption.
            const Bytes bad = WithWrongChecksum(fromOracle);
            ASSERT_TRUE(lv.Parse(bad.data(), bad.size()));
            EXPECT_FALSE(lv.ChecksumMatches());
            EXPECT_FALSE(Decode(bad, &v));
        }
    }
}

}  // namespace
