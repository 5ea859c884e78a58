// Telegram framing: worked byte examples, parsing edge cases, checksum.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/commands.h"
#include "protocol/telegram.h"
#include "transport/tes_msg.h"

using tes::CTesMsg;
using tes::CTessaraMsg;
using tes::TelegramView;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Encode(uint16_t command, uint16_t id, const Bytes& data) {
    Bytes out(data.size() + tes::kTelegramOverhead);
    tes::EncodeTelegram(out.data(), command, id, data.data(), data.size());
    return out;
}

TEST(Telegram, WorkedExamplesByteForByte) {
    EXPECT_EQ(Encode(0x0209, 2, {}), (Bytes{0x05, 0x00, 0x09, 0x02, 0x02, 0x00, 0x09}));
    EXPECT_EQ(Encode(0x8209, 2, {0x00}), (Bytes{0x06, 0x00, 0x09, 0x82, 0x02, 0x00, 0x00, 0x89}));
    EXPECT_EQ(Encode(0x0201, 1, {}), (Bytes{0x05, 0x00, 0x01, 0x02, 0x01, 0x00, 0x02}));
    EXPECT_EQ(Encode(0x0240, 5, {}), (Bytes{0x05, 0x00, 0x40, 0x02, 0x05, 0x00, 0x47}));
    EXPECT_EQ(Encode(0x020D, 0, {0xD0, 0x07, 0x00, 0x00}),
              (Bytes{0x09, 0x00, 0x0D, 0x02, 0x00, 0x00, 0xD0, 0x07, 0x00, 0x00, 0xD8}));
    // The class serialises the same bytes as the encoder.
    const CTessaraMsg info(nullptr, 0, 0x0209, 2);
    EXPECT_EQ(info.ToBytes(), Encode(0x0209, 2, {}));
    EXPECT_EQ(info.nLength, 5);
}

TEST(Telegram, CommandWordsCarryTheDeviceType) {
    EXPECT_EQ(tes::CommandWord(tes::Cmd::INFO), 0x0209);
    EXPECT_EQ(tes::CommandWord(tes::Cmd::CANOPEN_SDO_WRITE_BLOCK), 0x026B);
    EXPECT_EQ(tes::CommandWord(tes::Cmd::CLOSE, 0x85), 0x050C);  // type masked to 7 bits
    EXPECT_STREQ(tes::CommandText(tes::Cmd::READ_DIGITAL), "READ DIGITAL requested to ");
    EXPECT_STREQ(tes::CommandText(tes::Cmd::CANOPEN_PDO_IND), "CANOPEN_PDO requested to ");
    EXPECT_EQ(tes::CommandText(tes::Cmd::ALIVE), nullptr);
}

TEST(Telegram, RoundTripKeepsEveryField) {
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    const CTessaraMsg sent(data.data(), static_cast<uint16_t>(data.size()), 0x0267, 0xBEEF);
    const Bytes wire = sent.ToBytes();
    ASSERT_EQ(wire.size(), data.size() + 7);
    CTessaraMsg got;
    ASSERT_TRUE(got.FromBytes(wire.data(), wire.size()));
    EXPECT_EQ(got.oData, data);
    EXPECT_EQ(got.nCommand, 0x0267);
    EXPECT_EQ(got.nTelegramId, 0xBEEF);
    EXPECT_EQ(got.nLength, data.size() + 5);
    EXPECT_EQ(got.cChecksum, sent.cChecksum);
    EXPECT_TRUE(got.IsValid());
}

TEST(Telegram, FromBytesRejectsShortAndInconsistentRuns) {
    const Bytes six{0x05, 0x00, 0x09, 0x02, 0x02, 0x00};
    CTessaraMsg m(six.data(), 3, 0x1234, 9);
    EXPECT_FALSE(m.FromBytes(six.data(), six.size()));
    EXPECT_EQ(m.nLength, 5);
    EXPECT_EQ(m.nCommand, 0);
    EXPECT_EQ(m.nTelegramId, 0);
    EXPECT_TRUE(m.oData.empty());

    const Bytes sevenSaysSix{0x06, 0x00, 0x09, 0x02, 0x02, 0x00, 0x09};
    EXPECT_FALSE(m.FromBytes(sevenSaysSix.data(), sevenSaysSix.size()));
    TelegramView v;
    EXPECT_FALSE(v.Parse(sevenSaysSix.data(), sevenSaysSix.size()));
}

TEST(Telegram, WrongChecksumStillParsesButDoesNotMatch) {
    Bytes wire = Encode(0x8209, 2, {0x00});
    wire.back() ^= 0xFF;
    CTessaraMsg m;
    EXPECT_TRUE(m.FromBytes(wire.data(), wire.size()));
    EXPECT_NE(m.CalcChecksum(), m.cChecksum);
    TelegramView v;
    ASSERT_TRUE(v.Parse(wire.data(), wire.size()));
    EXPECT_FALSE(v.ChecksumMatches());
}

TEST(Telegram, LargestLengthFieldsParseWhole) {
    // Length fields 65533..65535 give totals of 65535..65537 bytes.
    for (uint32_t lengthField : {65533u, 65534u, 65535u}) {
        const size_t total = lengthField + 2;
        Bytes wire(total, 0xA5);
        tes::PutU16(wire.data(), lengthField);
        TelegramView v;
        ASSERT_TRUE(v.Parse(wire.data(), wire.size())) << lengthField;
        EXPECT_EQ(v.nDataLength, lengthField - 5);
        CTessaraMsg m;
        EXPECT_TRUE(m.FromBytes(wire.data(), wire.size())) << lengthField;
        EXPECT_EQ(m.oData.size(), lengthField - 5);
    }
}

// The bytes follow the length field, whatever the data holds: length + 2
// bytes, data cut or padded with zeros, the stored checksum last where there
// is room for it, and never a read past the data.
TEST(Telegram, ToBytesOfInconsistentFieldsFollowTheLengthField) {
    struct Case {
        uint16_t nLength;
        Bytes oData;
        Bytes oWire;
    };
    const Case cases[] = {
        {5, Bytes(20, 0x11), {0x05, 0x00, 0x03, 0x02, 0x01, 0x00, 0xC7}},
        {8, {0xAA}, {0x08, 0x00, 0x03, 0x02, 0x01, 0x00, 0xAA, 0x00, 0x00, 0xC7}},
        {4, {0xAA}, {0x04, 0x00, 0x03, 0x02, 0x01, 0x00}},
        {3, {}, {0x03, 0x00, 0x00, 0x00, 0x00}},
        {0, {0xAA}, {0x00, 0x00}},
    };
    for (const Case& c : cases) {
        CTessaraMsg m(nullptr, 0, 0x0203, 1);
        m.oData = c.oData;
        m.nLength = c.nLength;
        m.cChecksum = 0xC7;
        EXPECT_EQ(m.ToBytes(), c.oWire) << "length " << c.nLength;
        CTesMsg link(nullptr, 0, 0x0203, 1);
        link.oData = c.oData;
        link.nLength = c.nLength;
        link.cChecksum = 0xC7;
        EXPECT_EQ(link.ToBytes(), c.oWire) << "length " << c.nLength;
    }
}

TEST(SealTelegram, WritesTheHeaderAndChecksumAroundDataInPlace) {
    // INFO request, id 2, no data: 05 00 09 02 02 00 09.
    uint8_t out[16] = {};
    EXPECT_EQ(tes::SealTelegram(out, 0x0209, 2, 0), 7u);
    EXPECT_EQ(Bytes(out, out + 7), (Bytes{0x05, 0x00, 0x09, 0x02, 0x02, 0x00, 0x09}));
    // INFO confirmation with result 0 already in place: 06 00 09 82 02 00 00 89.
    uint8_t conf[16] = {};
    conf[6] = 0x00;
    EXPECT_EQ(tes::SealTelegram(conf, 0x8209, 2, 1), 8u);
    EXPECT_EQ(Bytes(conf, conf + 8), (Bytes{0x06, 0x00, 0x09, 0x82, 0x02, 0x00, 0x00, 0x89}));
    // The same bytes as encoding from a separate buffer.
    Bytes data(13);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xF0 + i);
    uint8_t a[32], b[32];
    tes::EncodeTelegram(a, 0x0203, 0xBEEF, data.data(), data.size());
    std::copy(data.begin(), data.end(), b + 6);
    tes::SealTelegram(b, 0x0203, 0xBEEF, data.size());
    EXPECT_EQ(Bytes(a, a + 20), Bytes(b, b + 20));
}

TEST(TelegramChecksum, EveryLengthAndAlignmentXorsEveryByteOnce) {
    // The sum is taken a word at a time: each byte must count exactly once
    // whatever the length (the 8- and 4-byte steps and the tail) and
    // wherever the data starts.
    uint8_t buffer[96];
    for (size_t i = 0; i < sizeof buffer; ++i) buffer[i] = static_cast<uint8_t>(i * 37 + 11);
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t count = 0; count + offset <= sizeof buffer; ++count) {
            uint8_t expected = 0x03 ^ 0x02 ^ 0xEF ^ 0xBE;
            for (size_t i = 0; i < count; ++i) expected ^= buffer[offset + i];
            ASSERT_EQ(tes::TelegramChecksum(0x0203, 0xBEEF, buffer + offset, count), expected)
                << "offset " << offset << " count " << count;
        }
    }
}

// The connection's link-control telegrams, as the gateway sees them.
TEST(LinkTelegram, WorkedExamplesByteForByteBothWays) {
    const struct {
        const char* sName;
        uint16_t nCommand;
        uint16_t nTelegramId;
        Bytes oData;
        Bytes oWire;
    } rows[] = {
        {"CONNECT", 0x0201, 1, {}, {0x05, 0x00, 0x01, 0x02, 0x01, 0x00, 0x02}},
        {"CONNECT accepted", 0x8201, 1, {0x00}, {0x06, 0x00, 0x01, 0x82, 0x01, 0x00, 0x00, 0x82}},
        {"DISCONNECT", 0x0202, 0, {}, {0x05, 0x00, 0x02, 0x02, 0x00, 0x00, 0x00}},
        {"ALIVE 2000 ms", 0x020D, 0, {0xD0, 0x07, 0x00, 0x00},
         {0x09, 0x00, 0x0D, 0x02, 0x00, 0x00, 0xD0, 0x07, 0x00, 0x00, 0xD8}},
        {"ALIVE answer", 0x820D, 0, {0x00}, {0x06, 0x00, 0x0D, 0x82, 0x00, 0x00, 0x00, 0x8F}},
    };
    for (const auto& row : rows) {
        const CTesMsg built(row.oData.data(), static_cast<uint16_t>(row.oData.size()), row.nCommand,
                            row.nTelegramId);
        EXPECT_EQ(built.ToBytes(), row.oWire) << row.sName;
        CTesMsg parsed;
        ASSERT_TRUE(parsed.FromBytes(row.oWire.data(), row.oWire.size())) << row.sName;
        EXPECT_EQ(parsed.nLength, row.oWire.size() - 2) << row.sName;
        EXPECT_EQ(parsed.nCommand, row.nCommand) << row.sName;
        EXPECT_EQ(parsed.nTelegramId, row.nTelegramId) << row.sName;
        EXPECT_EQ(parsed.oData, row.oData) << row.sName;
        EXPECT_TRUE(parsed.ChecksumMatches()) << row.sName;
    }
}

TEST(LinkTelegram, ShortInconsistentAndCorruptRuns) {
    CTesMsg m(nullptr, 0, 0x0201, 1);
    const Bytes six{0x05, 0x00, 0x01, 0x02, 0x01, 0x00};
    EXPECT_FALSE(m.FromBytes(six.data(), six.size()));
    EXPECT_EQ(m.nLength, 5);
    EXPECT_EQ(m.nCommand, 0);
    EXPECT_TRUE(m.oData.empty());
    EXPECT_EQ(m.cChecksum, 0);

    const Bytes sevenSaysSix{0x06, 0x00, 0x01, 0x02, 0x01, 0x00, 0x02};
    EXPECT_FALSE(m.FromBytes(sevenSaysSix.data(), sevenSaysSix.size()));

    Bytes corrupt{0x06, 0x00, 0x01, 0x82, 0x01, 0x00, 0x00, 0x82};
    corrupt.back() ^= 0x01;
    EXPECT_TRUE(m.FromBytes(corrupt.data(), corrupt.size()));  // parsing ignores the checksum
    EXPECT_FALSE(m.ChecksumMatches());
}

}  // namespace
