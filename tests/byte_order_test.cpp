// Multi-byte fields across the link in both directions, library against the
// simulator's model: every value is checked on the wire against the
// protocol's little-endian layout and at the end where it is used, so that a
// field read or written in host byte order fails on a big-endian machine even
// when the library and the simulator make the same mistake.
#include <gtest/gtest.h>

#include <atomic>

#include "raw_client.h"
#include "test_support.h"

using namespace tes::test;

namespace {

std::atomic<int> gCallbackId{0};
void TESSARA_CALLBACK RecordIdentifier(int id, const char*, int, int, int) {
    gCallbackId.store(id);
}

class ByteOrder : public GatewayTest {
protected:
    void SetUp() override {
        oGateway.AddNode(5);
        GatewayTest::SetUp();
        h = Open(0, 2000, 1, true);  // confirmed writes: the model's verdict comes back
        // A bare client on the same port sees what the model puts on the wire.
        ASSERT_TRUE(oRaw.Connect(sAddress, oGateway.TcpPort(0)));
        ASSERT_TRUE(oGateway.WaitForConnections(2, Scaled(2000)));
    }

    // The data of the last request with this command word the gateway received.
    Bytes Received(uint16_t command) {
        const size_t n = oGateway.CountCommand(command);
        const auto t = n == 0 ? std::nullopt : oGateway.WaitForCommand(command, 0, n - 1);
        return t ? t->Data() : Bytes();
    }

    // The confirmation's data (result byte first) of a request from the bare client.
    Bytes Ask(uint16_t command, const Bytes& data = {}) {
        const auto t = oRaw.Exchange(command, ++nRawId, data, Scaled(2000));
        return t && t->size() >= 7 ? Bytes(t->begin() + 6, t->end() - 1) : Bytes();
    }

    // The data of the next unsolicited telegram with this word at the bare client.
    Bytes Next(uint16_t command) {
        const auto t = oRaw.ReceiveCommand(command, Scaled(2000));
        return t && t->size() >= 7 ? Bytes(t->begin() + 6, t->end() - 1) : Bytes();
    }

    tes::sim::RawClient oRaw;
    uint16_t nRawId = 1;
    int h = -1;
};

// The model acts on each value, so a field it read in the wrong order shows
// as a different state or a refusal.
TEST_F(ByteOrder, FieldsTheLibraryWritesAreWhatTheModelReads) {
    ASSERT_EQ(CANWriteDigital(h, 0x12345678), 0);
    EXPECT_EQ(Received(0x0241), (Bytes{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(oGateway.DigitalOutputs(), 0x12345678u);

    // 250000 bit/s is a rate the port offers; 0x90D00300 is not.
    ASSERT_EQ(CANSetGlobals(h, 250000, 0, 0, 1, 0), 0);
    EXPECT_EQ(Received(0x0207), (Bytes{0x00, 0x90, 0xD0, 0x03, 0x00, 0x00, 0x01, 0x00}));

    // A standard identifier above 0x7FF and an extended one above 29 bits are
    // refused, which is what either identifier turned round would be.
    ASSERT_EQ(CANWrite(h, 0x123, "\x01\x02", 2, 0), 0);
    EXPECT_EQ(Received(0x0203), (Bytes{0x23, 0x01, 0x00, 0x00, 0x00, 0x01, 0x02}));
    EXPECT_EQ(Next(0x0203), (Bytes{0x23, 0x01, 0x00, 0x00, 0x00, 0x01, 0x02}));
    ASSERT_EQ(CANWrite(h, 0x1ABCDEF0, "\xAA", 1, 1), 0);
    EXPECT_EQ(Received(0x0203), (Bytes{0xF0, 0xDE, 0xBC, 0x1A, 0x01, 0xAA}));
    EXPECT_EQ(Next(0x0203), (Bytes{0xF0, 0xDE, 0xBC, 0x1A, 0x01, 0xAA}));

    // The node knows object 0x1018 and not 0x1810.
    ASSERT_EQ(CANopenSetConfig(h, 1), 0);
    unsigned char reply = 0;
    int value = 0;
    ASSERT_EQ(CANopenSendSDORead(h, 5, 0x1018, 1, 0x1234, &reply, &value), 0);
    EXPECT_EQ(Received(0x0268), (Bytes{0x05, 0x18, 0x10, 0x01, 0x34, 0x12}));
    EXPECT_EQ(reply, 0x43);
}

TEST_F(ByteOrder, FieldsTheModelWritesAreWhatTheLibraryReads) {
    oGateway.SetDigitalInputs(0x0A0B0C0D);
    ASSERT_EQ(CANWriteDigital(h, 0x01020304), 0);
    int inputs = 0, outputs = 0;
    ASSERT_EQ(CANReadDigital(h, &inputs, &outputs), 0);
    EXPECT_EQ(inputs, 0x0A0B0C0D);
    EXPECT_EQ(outputs, 0x01020304);
    EXPECT_EQ(Ask(0x0240), (Bytes{0x00, 0x0D, 0x0C, 0x0B, 0x0A, 0x04, 0x03, 0x02, 0x01}));

    // Power-up configuration: 500000 bit/s.
    int baud = 0, termination = -1, highSpeed = -1, stamps = -1;
    unsigned char mode = 0xEE;
    ASSERT_EQ(CANGetGlobals(h, &baud, &mode, &termination, &highSpeed, &stamps), 0);
    EXPECT_EQ(baud, 500000);
    EXPECT_EQ(Ask(0x0208), (Bytes{0x00, 0x00, 0x20, 0xA1, 0x07, 0x00, 0x00, 0x01, 0x00}));

    // A frame from the bus reaches both clients of the port; the library
    // reads the identifier for a callback and, separately, for its queue.
    gCallbackId = 0;
    ASSERT_EQ(CANSetCallback(h, RecordIdentifier), 0);
    ASSERT_TRUE(oGateway.InjectFrame(0, 0x1ABCDEF0, 0x01, {0x11, 0x22}));
    EXPECT_EQ(Next(0x0203), (Bytes{0xF0, 0xDE, 0xBC, 0x1A, 0x01, 0x11, 0x22}));
    ASSERT_TRUE(WaitUntil([] { return gCallbackId.load() != 0; }, Scaled(2000)));
    EXPECT_EQ(gCallbackId.load(), 0x1ABCDEF0);
    ASSERT_EQ(CANSetCallback(h, nullptr), 0);
    ASSERT_EQ(CANSetMaxSizePerQueue(h, 16), 0);
    ASSERT_TRUE(oGateway.InjectFrame(0, 0x1ABCDEF0, 0x01, {0x11, 0x22}));
    EXPECT_EQ(Next(0x0203), (Bytes{0xF0, 0xDE, 0xBC, 0x1A, 0x01, 0x11, 0x22}));
    int available = 0, id = 0, flags = 0, seconds = 0, micros = 0;
    char data[64] = {};
    unsigned char length = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            return CANGetMessage(h, &available, &id, data, &length, &flags, &seconds, &micros) ==
                       0 &&
                   available >= 0;
        },
        Scaled(2000)));
    EXPECT_EQ(id, 0x1ABCDEF0);
    EXPECT_EQ(flags & 1, 1);
    EXPECT_EQ(length, 2);

    // Vendor 0x00000A5C, and a 16-bit heartbeat time written to node 5 and read back.
    ASSERT_EQ(CANopenSetConfig(h, 1), 0);
    unsigned char reply = 0;
    int value = 0;
    ASSERT_EQ(CANopenSendSDORead(h, 5, 0x1018, 1, 500, &reply, &value), 0);
    EXPECT_EQ(value, 0x00000A5C);
    EXPECT_EQ(Ask(0x0268, {0x05, 0x18, 0x10, 0x01, 0xF4, 0x01}),
              (Bytes{0x00, 0x43, 0x5C, 0x0A, 0x00, 0x00}));
    ASSERT_EQ(CANopenSendSDOWrite(h, 5, 2, 0x1017, 0, 500, 0xBEEF, &reply, &value), 0);
    EXPECT_EQ(Received(0x0269),
              (Bytes{0x05, 0x02, 0x17, 0x10, 0x00, 0xF4, 0x01, 0xEF, 0xBE, 0x00, 0x00}));
    ASSERT_EQ(CANopenSendSDORead(h, 5, 0x1017, 0, 500, &reply, &value), 0);
    EXPECT_EQ(reply, 0x4B);
    EXPECT_EQ(value, 0xBEEF);
    EXPECT_EQ(Ask(0x0268, {0x05, 0x17, 0x10, 0x00, 0xF4, 0x01}),
              (Bytes{0x00, 0x4B, 0xEF, 0xBE, 0x00, 0x00}));
}

}  // namespace
