// The benchmark's parts: the telegram encoder and stream cutter as it uses
// them (the wire oracle's), its frame payloads, its statistics, and what its
// peer answers. A benchmark that measured a peer
// answering the wrong thing would compare nothing. Benchmark tests.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "host.h"
#include "peer.h"
#include "raw_client.h"
#include "stats.h"
#include "wire.h"

using namespace bench;
using Bytes = std::vector<uint8_t>;

namespace {

// Feeds `stream` to a cutter in pieces of `step` bytes and collects
// (command, id, data, well formed) of every telegram.
struct Cut {
    uint16_t command;
    uint16_t id;
    Bytes data;
    bool wellFormed;
};
std::vector<Cut> CutInPieces(const Bytes& stream, size_t step) {
    StreamCutter cutter(1 << 18);
    std::vector<Cut> out;
    for (size_t at = 0; at < stream.size(); at += step) {
        const size_t n = std::min(step, stream.size() - at);
        size_t room = 0;
        uint8_t* space = cutter.Space(&room);
        EXPECT_GE(room, n);
        std::copy(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + n), space);
        cutter.Commit(n);
        View v;
        while (cutter.Next(&v)) {
            out.push_back({v.nCommand, v.nId, Bytes(v.pData, v.pData + v.nDataLength), v.bWellFormed});
        }
    }
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace

// ---------------------------------------------------------------- encoder

TEST(BenchWire, EncodesTheProtocolsWorkedExamples) {
    // INFO with id 2 and CONNECT with id 1, both without data.
    EXPECT_EQ(MakeTelegram(0x0209, 2, {}), (Bytes{0x05, 0x00, 0x09, 0x02, 0x02, 0x00, 0x09}));
    EXPECT_EQ(MakeTelegram(0x0201, 1, {}), (Bytes{0x05, 0x00, 0x01, 0x02, 0x01, 0x00, 0x02}));
    // INFO's confirmation with result byte 0.
    EXPECT_EQ(MakeTelegram(0x8209, 2, {0x00}), (Bytes{0x06, 0x00, 0x09, 0x82, 0x02, 0x00, 0x00, 0x89}));
}

TEST(BenchWire, FramePayloadIsIdentifierFlagsAndEightCountingBytes) {
    uint8_t p[kFramePayload];
    PutFramePayload(p, 0x01020304);
    EXPECT_EQ(Bytes(p, p + kFramePayload),
              (Bytes{0x04, 0x03, 0x02, 0x01, 0x00, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B}));
    EXPECT_TRUE(IsFrame(0x01020304, p + 5, 8, 0, 0x01020304));
    EXPECT_FALSE(IsFrame(0x01020304, p + 5, 8, 0, 0x01020305));  // another number
    EXPECT_FALSE(IsFrame(0x01020304, p + 5, 7, 0, 0x01020304));  // short
    EXPECT_FALSE(IsFrame(0x01020304, p + 5, 8, 4, 0x01020304));  // other flags
    p[12] ^= 1;
    EXPECT_FALSE(IsFrame(0x01020304, p + 5, 8, 0, 0x01020304));  // a changed data byte
}

// ---------------------------------------------------------------- cutter

TEST(BenchCutter, SplitAtEveryByteYieldsWhatOneWholeDeliveryYields) {
    const Bytes stream = Concat({MakeTelegram(0x0203, 7, {1, 2, 3, 4, 5}), MakeTelegram(0x8208, 3, {0}),
                                 MakeTelegram(0x0202, 0, {})});
    const std::vector<Cut> whole = CutInPieces(stream, stream.size());
    const std::vector<Cut> bytewise = CutInPieces(stream, 1);
    ASSERT_EQ(whole.size(), 3u);
    ASSERT_EQ(bytewise.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(bytewise[i].command, whole[i].command);
        EXPECT_EQ(bytewise[i].id, whole[i].id);
        EXPECT_EQ(bytewise[i].data, whole[i].data);
        EXPECT_TRUE(bytewise[i].wellFormed);
    }
    EXPECT_EQ(whole[0].command, 0x0203);
    EXPECT_EQ(whole[0].id, 7);
    EXPECT_EQ(whole[0].data, (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(whole[2].command, 0x0202);
    EXPECT_TRUE(whole[2].data.empty());
}

TEST(BenchCutter, FlagsABadChecksumAndSkipsALengthBelowFive) {
    Bytes bad = MakeTelegram(0x8205, 2, {0});
    bad.back() ^= 0xFF;
    const Bytes tooShort{0x03, 0x00, 0xAA, 0xBB, 0xCC};  // length 3: no room for command, id, checksum
    const std::vector<Cut> cut = CutInPieces(Concat({bad, tooShort, MakeTelegram(0x8201, 1, {0})}), 4);
    ASSERT_EQ(cut.size(), 3u);
    EXPECT_FALSE(cut[0].wellFormed);
    EXPECT_FALSE(cut[1].wellFormed);
    EXPECT_TRUE(cut[2].wellFormed);
    EXPECT_EQ(cut[2].command, 0x8201);
}

TEST(BenchCutter, DeliversALargestTelegramWholeBehindASmallOne) {
    const Bytes big = MakeTelegram(0x0203, 9, Bytes(65530, 0x5A));  // length field 65535
    ASSERT_EQ(big.size(), 65537u);
    const std::vector<Cut> cut = CutInPieces(Concat({MakeTelegram(0x0203, 8, {1}), big}), 30000);
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_EQ(cut[1].data.size(), 65530u);
    EXPECT_TRUE(cut[1].wellFormed);
}

// ---------------------------------------------------------------- statistics

TEST(BenchStats, MedianOfOddAndEvenCounts) {
    EXPECT_EQ(Median({}), 0);
    EXPECT_EQ(Median({5}), 5);
    EXPECT_EQ(Median({9, 1, 5}), 5);
    EXPECT_EQ(Median({4, 1, 3, 2}), 2.5);
}

TEST(BenchStats, PercentileIsTheNearestRank) {
    std::vector<double> v;
    for (int i = 100; i >= 1; --i) v.push_back(i);  // 1 .. 100, unordered
    EXPECT_EQ(Percentile(v, 99), 99);
    EXPECT_EQ(Percentile(v, 100), 100);
    EXPECT_EQ(Percentile(v, 50), 50);
    EXPECT_EQ(Percentile({7, 3}, 99), 7);
    EXPECT_EQ(Percentile({}, 99), 0);
    EXPECT_EQ(Min({3, 1, 2}), 1);
    EXPECT_EQ(Max({3, 1, 2}), 3);
}

TEST(BenchHost, StealIsTheStealCountsShareOfAllCpuTime) {
    // user nice system idle iowait irq softirq steal guest guest_nice: the
    // guest times are inside user and nice and must not count twice.
    const CpuTimes start = ParseCpuTimes("cpu  100 0 50 800 0 0 0 50 30 0");
    const CpuTimes end = ParseCpuTimes("cpu  400 0 150 1200 0 0 0 250 90 0\ncpu0 1 2 3 4 5 6 7 8");
    ASSERT_TRUE(start.bKnown && end.bKnown);
    EXPECT_EQ(start.nTotal, 1000u);
    EXPECT_EQ(end.nSteal, 250u);
    EXPECT_DOUBLE_EQ(StealShare(start, end), 0.2);  // 200 of 1000 ticks

    EXPECT_LT(StealShare(end, start), 0);    // counters never go back
    EXPECT_LT(StealShare(start, start), 0);  // no time passed
    EXPECT_FALSE(ParseCpuTimes("cpu  100 0 50 800 0 0 0").bKnown);  // no steal count
    EXPECT_FALSE(ParseCpuTimes("cpu0 1 2 3 4 5 6 7 8").bKnown);     // one CPU's line
    EXPECT_FALSE(ParseCpuTimes("").bKnown);
    EXPECT_LT(StealShare(CpuTimes{}, end), 0);
}

// ---------------------------------------------------------------- peer

namespace {

// The peer serving one end of a socket pair on a thread; the test talks to
// the other end.
class PeerOnPair : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        nFd = fds[0];
        oServer = std::thread(ServeConnection, fds[1]);
    }
    void TearDown() override {
        shutdown(nFd, SHUT_RDWR);
        oServer.join();
        close(nFd);
    }
    void Send(const Bytes& bytes) {
        ASSERT_EQ(send(nFd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Next telegram from the peer, or false at end of stream.
    bool Next(Cut* out) {
        View v;
        while (!oCutter.Next(&v)) {
            size_t room = 0;
            uint8_t* space = oCutter.Space(&room);
            const ssize_t n = recv(nFd, space, room, 0);
            if (n <= 0) return false;
            oCutter.Commit(static_cast<size_t>(n));
        }
        *out = {v.nCommand, v.nId, Bytes(v.pData, v.pData + v.nDataLength), v.bWellFormed};
        return true;
    }
    Bytes Write(uint16_t id, uint32_t seq) {
        uint8_t p[kFramePayload];
        PutFramePayload(p, seq);
        return MakeTelegram(kCmdWrite, id, Bytes(p, p + kFramePayload));
    }

    int nFd = -1;
    std::thread oServer;
    StreamCutter oCutter{1 << 18};
};

}  // namespace

TEST_F(PeerOnPair, AnswersLinkControlAndRequestsWithResultZero) {
    Send(MakeTelegram(kCmdConnect, 1, {}));
    Send(MakeTelegram(kCmdSetConfig, 2, {0, 0}));
    Send(MakeTelegram(0x0209, 3, {}));  // any other request
    Send(MakeTelegram(kCmdDisconnect, 0, {}));
    Cut c;
    ASSERT_TRUE(Next(&c));
    EXPECT_EQ(c.command, 0x8201);
    EXPECT_EQ(c.id, 1);
    EXPECT_EQ(c.data, Bytes{0});
    EXPECT_TRUE(c.wellFormed);
    ASSERT_TRUE(Next(&c));
    EXPECT_EQ(c.command, 0x8205);
    EXPECT_EQ(c.id, 2);
    ASSERT_TRUE(Next(&c));
    EXPECT_EQ(c.command, 0x8209);
    EXPECT_EQ(c.id, 3);
    ASSERT_TRUE(Next(&c));
    EXPECT_EQ(c.command, 0x8202);
    EXPECT_EQ(c.id, 0);
    EXPECT_EQ(c.data, Bytes{0});
}

TEST_F(PeerOnPair, CountsOnlyTheRightFramesAndReportsThemInTheBaudRate) {
    Send(Write(3, 0));
    Send(Write(4, 1));
    Send(Write(5, 7));  // should have been frame 2: not counted
    Send(Write(6, 3));  // frame 3 is right again
    Bytes corrupt = Write(7, 4);
    corrupt.back() ^= 0x55;  // bad checksum: not counted
    Send(corrupt);
    Send(MakeTelegram(kCmdGetGlobals, 8, {}));
    Cut c;
    ASSERT_TRUE(Next(&c));  // unconfirmed writes get no answer: this is GET_GLOBALS'
    EXPECT_EQ(c.command, 0x8208);
    EXPECT_EQ(c.id, 8);
    ASSERT_EQ(c.data.size(), kGlobalsReplyData);
    EXPECT_EQ(c.data[0], 0);
    EXPECT_EQ(GetU32(c.data.data() + 2), 3u);
}

TEST_F(PeerOnPair, ConfirmsWritesWithATimeStampOnlyAfterConfirmedDataWasConfigured) {
    Send(Write(3, 0));
    Send(MakeTelegram(kCmdSetConfig, 4, {1, 0}));
    Send(Write(5, 1));
    Cut c;
    ASSERT_TRUE(Next(&c));
    EXPECT_EQ(c.command, 0x8205);
    ASSERT_TRUE(Next(&c));
    EXPECT_EQ(c.command, 0x8203);
    EXPECT_EQ(c.id, 5);
    ASSERT_EQ(c.data.size(), kWriteConfirmationData);
    EXPECT_EQ(c.data[0], 0);
}

TEST_F(PeerOnPair, PushesTheAskedNumberOfFramesAfterConfirmingSetGlobals) {
    constexpr uint32_t kFrames = 7000;  // more than one of the peer's writes
    Bytes request{1, 0, 0, 0, 0, 0, 0, 0};
    PutU32(request.data() + 1, kFrames);
    Send(MakeTelegram(kCmdSetGlobals, 9, request));
    Cut c;
    ASSERT_TRUE(Next(&c));
    EXPECT_EQ(c.command, 0x8207);
    EXPECT_EQ(c.id, 9);
    for (uint32_t seq = 0; seq < kFrames; ++seq) {
        ASSERT_TRUE(Next(&c));
        ASSERT_EQ(c.command, kCmdWrite);
        ASSERT_TRUE(c.wellFormed);
        ASSERT_EQ(c.data.size(), kFramePayload);
        ASSERT_TRUE(IsFrame(GetU32(c.data.data()), c.data.data() + 5, 8, c.data[4], seq)) << seq;
    }
}

// ---------------------------------------------------------------- raw link

TEST(BenchRawLink, OpensWritesCountsAndClosesAgainstThePeer) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t len = sizeof sa;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    std::thread server(ServeListener, listener);

    RawLink link;
    ASSERT_TRUE(link.Open("127.0.0.1", ntohs(sa.sin_port), false));
    // The open took ids 1 and 2; the library's next request takes 3.
    EXPECT_EQ(link.TakeId(), 3);
    for (uint32_t seq = 0; seq < 100; ++seq) {
        uint8_t p[kFramePayload];
        uint8_t t[kFrameTelegram];
        PutFramePayload(p, seq);
        PutTelegram(t, kCmdWrite, link.TakeId(), p, sizeof p);
        ASSERT_TRUE(link.SendAll(t, sizeof t));
    }
    uint32_t good = 0;
    ASSERT_TRUE(link.GoodFrames(&good));
    EXPECT_EQ(good, 100u);
    EXPECT_TRUE(link.Close());

    shutdown(listener, SHUT_RDWR);  // ends the accept loop
    server.join();
    close(listener);
}
