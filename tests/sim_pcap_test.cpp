// Tests of the simulator's pcap capture: several clients and the bus talking
// at once, then the file read back as a packet analyser reads it (headers,
// checksums, sequence numbers, the bytes each side sent).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "gateway.h"
#include "pcap_writer.h"
#include "raw_client.h"
#include "test_address.h"

namespace tes::sim {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(Be16(p)) << 16 | Be16(p + 2);
}
// The Internet checksum over the bytes (and an initial sum) is 0xFFFF when
// the checksum field in them is right.
uint32_t Sum(const uint8_t* p, size_t n, uint32_t sum = 0) {
    for (size_t i = 0; i + 1 < n; i += 2) sum += Be16(p + i);
    if (n % 2) sum += static_cast<uint32_t>(p[n - 1]) << 8;
    return sum;
}
uint16_t Folded(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

struct Side {
    uint32_t nNextSeq = 0;
    bool bSyn = false, bFin = false;
    Bytes oPayload;
};
struct Stream {
    Side oClient, oGateway;
};

TEST(SimPcap, ConcurrentConnectionsGiveConsistentStreams) {
    const std::string path = ::testing::TempDir() + "sim_pcap_test.pcap";
    auto writer = std::make_shared<PcapWriter>();
    Gateway gateway;
    std::string error;
    gateway.SetWireTap(writer);
    // TCP only: under wine a datagram socket on any loopback address holds
    // the port on all of them, so another test's gateway would make this
    // one's datagram port taken.
    GatewayOptions options;
    options.bUdp = false;
    ASSERT_TRUE(StartOnFreeLoopback(gateway, options, &error)) << error;
    // Before any client connects: the address is known only now.
    ASSERT_TRUE(writer->Open(path, gateway.BindAddress(), &error)) << error;
    const uint16_t gatewayPort = gateway.TcpPort(0);

    constexpr int kClients = 4, kRequests = 40;
    std::vector<Bytes> sent(kClients);
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            RawClient client;
            if (!client.Connect(gateway.BindAddress(), gateway.TcpPort(0))) {
                ++failures;
                return;
            }
            for (int i = 0; i < kRequests; ++i) {
                const uint16_t word = i == 0 ? 0x0201 : 0x0209;
                const Bytes request =
                    MakeTelegram(word, static_cast<uint16_t>(c * 1000 + i + 1), {});
                sent[c].insert(sent[c].end(), request.begin(), request.end());
                if (!client.Send(request) ||
                    !client.ReceiveCommand(word | 0x8000, TestTimeoutMs(2000))) {
                    ++failures;
                    return;
                }
            }
        });
    }
    // Frames from the bus reach every connection from this thread meanwhile.
    std::thread bus([&] {
        for (uint32_t i = 0; !done; ++i) gateway.InjectFrame(0, 0x100 + (i & 0xFF), 0, {1, 2, 3});
    });
    for (auto& t : clients) t.join();
    done = true;
    bus.join();
    ASSERT_EQ(failures, 0);
    gateway.Stop();
    writer->Finish();
    ASSERT_FALSE(writer->Failed());

    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    Bytes data;
    uint8_t chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        data.insert(data.end(), chunk, chunk + n);
    std::fclose(file);
    std::remove(path.c_str());

    ASSERT_GE(data.size(), 24u);
    EXPECT_EQ(Le32(&data[0]), 0xA1B2C3D4u);
    EXPECT_EQ(Le32(&data[20]), 1u);      // Ethernet
    std::map<uint16_t, Stream> streams;  // by client port
    for (size_t at = 24; at < data.size();) {
        ASSERT_LE(at + 16, data.size());
        const size_t length = Le32(&data[at + 8]);
        ASSERT_EQ(length, Le32(&data[at + 12]));
        ASSERT_LE(at + 16 + length, data.size());
        const uint8_t* frame = &data[at + 16];
        at += 16 + length;
        ASSERT_EQ(Be16(frame + 12), 0x0800);
        const uint8_t* ip = frame + 14;
        ASSERT_EQ(ip[0], 0x45);
        ASSERT_EQ(ip[9], 6);
        ASSERT_EQ(Be16(ip + 2), length - 14);
        EXPECT_EQ(Folded(Sum(ip, 20)), 0xFFFF) << "IPv4 header checksum";
        const uint8_t* tcp = ip + 20;
        const size_t segment = length - 34;
        uint32_t pseudo = Sum(ip + 12, 8) + 6 + static_cast<uint32_t>(segment);
        EXPECT_EQ(Folded(Sum(tcp, segment, pseudo)), 0xFFFF) << "TCP checksum";

        const bool fromClient = Be16(tcp + 2) == gatewayPort;
        Stream& s = streams[fromClient ? Be16(tcp) : Be16(tcp + 2)];
        Side& me = fromClient ? s.oClient : s.oGateway;
        const Side& peer = fromClient ? s.oGateway : s.oClient;
        const uint8_t flags = tcp[13];
        const uint32_t seq = Be32(tcp + 4);
        if (flags & 0x02) {
            ASSERT_FALSE(me.bSyn);
            me.bSyn = true;
            me.nNextSeq = seq + 1;
            continue;
        }
        ASSERT_TRUE(me.bSyn && peer.bSyn) << "data before the handshake";
        ASSERT_FALSE(me.bFin && segment > 20) << "data after FIN";
        EXPECT_EQ(seq, me.nNextSeq);
        EXPECT_EQ(Be32(tcp + 8), peer.nNextSeq) << "ack";
        me.oPayload.insert(me.oPayload.end(), tcp + 20, tcp + segment);
        me.nNextSeq += static_cast<uint32_t>(segment - 20);
        if (flags & 0x01) {
            me.bFin = true;
            ++me.nNextSeq;
        }
    }

    ASSERT_EQ(streams.size(), static_cast<size_t>(kClients));
    std::vector<Bytes> captured;
    for (auto& entry : streams) {
        const Stream& s = entry.second;
        EXPECT_TRUE(s.oClient.bFin && s.oGateway.bFin);
        captured.push_back(s.oClient.oPayload);
        // The gateway's bytes cut into whole, well-formed telegrams: no two
        // sends were interleaved. Every request got its confirmation.
        size_t confirmations = 0;
        for (size_t at = 0; at < s.oGateway.oPayload.size();) {
            Telegram t;
            ASSERT_LE(at + 2, s.oGateway.oPayload.size());
            const size_t total =
                static_cast<size_t>(s.oGateway.oPayload[at] | s.oGateway.oPayload[at + 1] << 8) + 2;
            ASSERT_LE(at + total, s.oGateway.oPayload.size());
            t.oBytes.assign(s.oGateway.oPayload.begin() + at,
                            s.oGateway.oPayload.begin() + at + total);
            ASSERT_TRUE(t.IsWellFormed());
            if (t.Command() & 0x8000) ++confirmations;
            at += total;
        }
        EXPECT_EQ(confirmations, static_cast<size_t>(kRequests));
    }
    // Each stream carries exactly one client's bytes.
    for (const Bytes& mine : sent) {
        EXPECT_EQ(std::count(captured.begin(), captured.end(), mine), 1);
    }
}

}  // namespace
}  // namespace tes::sim
