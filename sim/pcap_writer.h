// Writes what the simulated gateway's connections carry as a pcap capture
// (Ethernet, IPv4 or IPv6, TCP or UDP), so that packet analysers read a
// session without a live capture. Simulator layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "wire_tap.h"

namespace tes::sim {

class PcapWriter final : public WireTap {
public:
    PcapWriter() = default;
    ~PcapWriter() override;  // Finish()
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates (or truncates) `path` and writes the file header. The gateway's
    // side of every packet carries `gatewayAddress` (numeric); a wildcard or
    // an address of the other family gives the client's address instead.
    // False with the reason in *error.
    bool Open(const std::string& path, const std::string& gatewayAddress, std::string* error);
    // Ends every TCP stream still open with FIN and closes the file.
    void Finish();
    // A write failed; nothing was written after it.
    bool Failed() const;

    void Opened(size_t connection, int transport, const sys::PeerAddress& client,
                uint16_t localPort) override;
    void Carried(size_t connection, bool fromClient, const uint8_t* bytes, size_t length) override;
    void Closed(size_t connection) override;

private:
    struct Stream {
        bool bTcp = true;
        bool bIpv6 = false;
        uint8_t oClient[16] = {};
        uint8_t oGateway[16] = {};
        uint16_t nClientPort = 0;
        uint16_t nGatewayPort = 0;
        // Next sequence number of each side (TCP).
        uint32_t nClientSeq = 0;
        uint32_t nGatewaySeq = 0;
    };

    // Lock held.
    void Packet(const Stream& s, bool fromClient, uint8_t tcpFlags, const uint8_t* payload,
                size_t length);
    void EndStream(Stream& s);

    mutable std::mutex oMutex;
    std::FILE* pFile = nullptr;
    bool bFailed = false;
    bool bHaveGatewayV4 = false;
    bool bHaveGatewayV6 = false;
    uint8_t oGatewayV4[4] = {};
    uint8_t oGatewayV6[16] = {};
    std::map<size_t, Stream> oStreams;  // open ones
    int64_t nLastUs = 0;                // time stamps never go backwards
    uint16_t nIpId = 0;
};

}  // namespace tes::sim
