// pcap capture of the simulated gateway's connections: synthesised Ethernet,
// IP and TCP/UDP headers around the bytes each connection carried, with a
// handshake and a close around every TCP stream. Simulator layer.
#include "pcap_writer.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <vector>

namespace tes::sim {

namespace {

constexpr uint32_t kLinkTypeEthernet = 1;
constexpr uint32_t kSnapLength = 262144;
constexpr uint8_t kFin = 0x01, kSyn = 0x02, kPsh = 0x08, kAck = 0x10;
// Payload per synthesised packet: below what IPv4's 16-bit total length
// holds, so a large receive becomes several segments as it would on a wire.
constexpr size_t kMaxPayload = 32768;
// Made-up locally administered MAC addresses of the two sides.
const uint8_t kClientMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
const uint8_t kGatewayMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

void Put16(std::vector<uint8_t>* out, uint16_t v) {
    out->push_back(static_cast<uint8_t>(v >> 8));
    out->push_back(static_cast<uint8_t>(v));
}
void Put32(std::vector<uint8_t>* out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v >> 16));
    Put16(out, static_cast<uint16_t>(v));
}
void PutLe32(std::vector<uint8_t>* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Set16(std::vector<uint8_t>* out, size_t at, uint16_t v) {
    (*out)[at] = static_cast<uint8_t>(v >> 8);
    (*out)[at + 1] = static_cast<uint8_t>(v);
}

// One's-complement sum of big-endian 16-bit words (the Internet checksum's).
uint32_t SumWords(const uint8_t* p, size_t n, uint32_t sum = 0) {
    for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n % 2 != 0) sum += static_cast<uint32_t>(p[n - 1] << 8);
    return sum;
}
uint16_t Fold(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

bool ParseIpv4(const std::string& text, uint8_t out[4]) {
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &tail) != 4) return false;
    if (a > 255 || b > 255 || c > 255 || d > 255) return false;
    out[0] = static_cast<uint8_t>(a);
    out[1] = static_cast<uint8_t>(b);
    out[2] = static_cast<uint8_t>(c);
    out[3] = static_cast<uint8_t>(d);
    return true;
}

// Hex groups with at most one "::"; embedded dotted quads are not taken.
bool ParseIpv6(const std::string& text, uint8_t out[16]) {
    std::vector<uint16_t> head, tail;
    bool gap = false;
    std::vector<uint16_t>* into = &head;
    size_t i = 0;
    if (text.compare(0, 2, "::") == 0) {
        gap = true;
        into = &tail;
        i = 2;
    }
    while (i < text.size()) {
        size_t j = i;
        uint32_t group = 0;
        while (j < text.size() && j - i < 5 && std::isxdigit(static_cast<unsigned char>(text[j]))) {
            const char ch = static_cast<char>(std::tolower(static_cast<unsigned char>(text[j])));
            group = group * 16 + static_cast<uint32_t>(ch <= '9' ? ch - '0' : ch - 'a' + 10);
            ++j;
        }
        if (j == i || j - i > 4) return false;
        into->push_back(static_cast<uint16_t>(group));
        if (j == text.size()) break;
        if (text[j] != ':') return false;
        if (j + 1 < text.size() && text[j + 1] == ':') {
            if (gap) return false;
            gap = true;
            into = &tail;
            i = j + 2;
        } else {
            i = j + 1;
            if (i == text.size()) return false;
        }
    }
    const size_t groups = head.size() + tail.size();
    if (gap ? groups > 7 : groups != 8) return false;
    std::vector<uint16_t> all = head;
    all.resize(8 - tail.size(), 0);
    all.insert(all.end(), tail.begin(), tail.end());
    for (size_t k = 0; k < 8; ++k) {
        out[2 * k] = static_cast<uint8_t>(all[k] >> 8);
        out[2 * k + 1] = static_cast<uint8_t>(all[k]);
    }
    return true;
}

bool AllZero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

}  // namespace

PcapWriter::~PcapWriter() {
    Finish();
}

bool PcapWriter::Open(const std::string& path, const std::string& gatewayAddress,
                      std::string* error) {
    std::lock_guard<std::mutex> lock(oMutex);
    if (pFile != nullptr) {
        if (error != nullptr) *error = "a capture file is already open";
        return false;
    }
    bHaveGatewayV4 = ParseIpv4(gatewayAddress, oGatewayV4) && !AllZero(oGatewayV4, 4);
    bHaveGatewayV6 = ParseIpv6(gatewayAddress, oGatewayV6) && !AllZero(oGatewayV6, 16);
    pFile = std::fopen(path.c_str(), "wb");
    if (pFile == nullptr) {
        if (error != nullptr) *error = "cannot create capture file " + path;
        return false;
    }
    // The classic pcap header, little-endian like every record below;
    // readers tell the byte order from the magic number.
    std::vector<uint8_t> header;
    PutLe32(&header, 0xA1B2C3D4);    // microsecond time stamps
    PutLe32(&header, 2 | 4u << 16);  // version 2.4
    PutLe32(&header, 0);             // time zone
    PutLe32(&header, 0);             // accuracy
    PutLe32(&header, kSnapLength);
    PutLe32(&header, kLinkTypeEthernet);
    bFailed = std::fwrite(header.data(), 1, header.size(), pFile) != header.size() ||
              std::fflush(pFile) != 0;
    if (bFailed) {
        std::fclose(pFile);
        pFile = nullptr;
        if (error != nullptr) *error = "cannot write capture file " + path;
        return false;
    }
    return true;
}

void PcapWriter::Finish() {
    std::lock_guard<std::mutex> lock(oMutex);
    for (auto& entry : oStreams) EndStream(entry.second);
    oStreams.clear();
    if (pFile != nullptr) {
        if (std::fclose(pFile) != 0) bFailed = true;
        pFile = nullptr;
    }
}

bool PcapWriter::Failed() const {
    std::lock_guard<std::mutex> lock(oMutex);
    return bFailed;
}

void PcapWriter::Opened(size_t connection, int transport, const sys::PeerAddress& client,
                        uint16_t localPort) {
    Stream s;
    s.bTcp = transport == sys::kTransportTcp;
    // sockaddr_in and sockaddr_in6 put the port (network order) at offset 2
    // and the address at 4 and 8 on every system the simulator runs on; the
    // two are told apart by their sizes, 16 and 28 bytes.
    if (client.nLength == 16) {
        std::memcpy(s.oClient, client.oBytes + 4, 4);
    } else if (client.nLength == 28) {
        s.bIpv6 = true;
        std::memcpy(s.oClient, client.oBytes + 8, 16);
    } else {
        return;  // a family the capture cannot show
    }
    s.nClientPort = static_cast<uint16_t>(client.oBytes[2] << 8 | client.oBytes[3]);
    s.nGatewayPort = localPort;
    std::lock_guard<std::mutex> lock(oMutex);
    if (s.bIpv6) {
        std::memcpy(s.oGateway, bHaveGatewayV6 ? oGatewayV6 : s.oClient, 16);
    } else {
        std::memcpy(s.oGateway, bHaveGatewayV4 ? oGatewayV4 : s.oClient, 4);
    }
    // Fixed initial sequence numbers keep captures of the same session alike.
    s.nClientSeq = 0x10000000u + static_cast<uint32_t>(connection) * 0x01000000u;
    s.nGatewaySeq = 0x80000000u + static_cast<uint32_t>(connection) * 0x01000000u;
    if (s.bTcp) {
        Packet(s, true, kSyn, nullptr, 0);
        ++s.nClientSeq;
        Packet(s, false, kSyn | kAck, nullptr, 0);
        ++s.nGatewaySeq;
        Packet(s, true, kAck, nullptr, 0);
    }
    oStreams[connection] = s;
}

void PcapWriter::Carried(size_t connection, bool fromClient, const uint8_t* bytes, size_t length) {
    std::lock_guard<std::mutex> lock(oMutex);
    const auto it = oStreams.find(connection);
    if (it == oStreams.end() || length == 0) return;
    Stream& s = it->second;
    if (!s.bTcp) {
        Packet(s, fromClient, 0, bytes, length);
        return;
    }
    for (size_t from = 0; from < length; from += kMaxPayload) {
        const size_t n = std::min(kMaxPayload, length - from);
        Packet(s, fromClient, kPsh | kAck, bytes + from, n);
        (fromClient ? s.nClientSeq : s.nGatewaySeq) += static_cast<uint32_t>(n);
    }
}

void PcapWriter::Closed(size_t connection) {
    std::lock_guard<std::mutex> lock(oMutex);
    const auto it = oStreams.find(connection);
    if (it == oStreams.end()) return;
    EndStream(it->second);
    oStreams.erase(it);
}

void PcapWriter::EndStream(Stream& s) {
    if (!s.bTcp) return;
    Packet(s, false, kFin | kAck, nullptr, 0);
    ++s.nGatewaySeq;
    Packet(s, true, kFin | kAck, nullptr, 0);
    ++s.nClientSeq;
    Packet(s, false, kAck, nullptr, 0);
}

void PcapWriter::Packet(const Stream& s, bool fromClient, uint8_t tcpFlags, const uint8_t* payload,
                        size_t length) {
    if (pFile == nullptr || bFailed) return;
    const size_t transportHeader = s.bTcp ? 20 : 8;
    const size_t ipHeader = s.bIpv6 ? 40 : 20;
    if (length + transportHeader + ipHeader > 0xFFFF) return;  // not representable

    const uint8_t* src = fromClient ? s.oClient : s.oGateway;
    const uint8_t* dst = fromClient ? s.oGateway : s.oClient;
    const size_t addressSize = s.bIpv6 ? 16 : 4;
    std::vector<uint8_t> frame;
    frame.reserve(14 + ipHeader + transportHeader + length);
    frame.insert(frame.end(), fromClient ? kGatewayMac : kClientMac,
                 (fromClient ? kGatewayMac : kClientMac) + 6);
    frame.insert(frame.end(), fromClient ? kClientMac : kGatewayMac,
                 (fromClient ? kClientMac : kGatewayMac) + 6);
    Put16(&frame, s.bIpv6 ? 0x86DD : 0x0800);

    const size_t ip = frame.size();
    const uint8_t protocol = s.bTcp ? 6 : 17;
    const uint16_t segmentLength = static_cast<uint16_t>(transportHeader + length);
    if (s.bIpv6) {
        Put32(&frame, 0x60000000u);
        Put16(&frame, segmentLength);
        frame.push_back(protocol);
        frame.push_back(64);  // hop limit
    } else {
        frame.push_back(0x45);
        frame.push_back(0);
        Put16(&frame, static_cast<uint16_t>(ipHeader + segmentLength));
        Put16(&frame, nIpId++);
        Put16(&frame, 0x4000);  // don't fragment
        frame.push_back(64);    // TTL
        frame.push_back(protocol);
        Put16(&frame, 0);  // checksum, below
    }
    frame.insert(frame.end(), src, src + addressSize);
    frame.insert(frame.end(), dst, dst + addressSize);
    if (!s.bIpv6) Set16(&frame, ip + 10, Fold(SumWords(&frame[ip], 20)));

    const size_t seg = frame.size();
    Put16(&frame, fromClient ? s.nClientPort : s.nGatewayPort);
    Put16(&frame, fromClient ? s.nGatewayPort : s.nClientPort);
    if (s.bTcp) {
        Put32(&frame, fromClient ? s.nClientSeq : s.nGatewaySeq);
        // A SYN acknowledges nothing yet.
        Put32(&frame, (tcpFlags & kAck) != 0 ? (fromClient ? s.nGatewaySeq : s.nClientSeq) : 0);
        frame.push_back(0x50);  // 20-byte header
        frame.push_back(tcpFlags);
        Put16(&frame, 0xFFFF);  // window
        Put16(&frame, 0);       // checksum, below
        Put16(&frame, 0);       // urgent pointer
    } else {
        Put16(&frame, segmentLength);
        Put16(&frame, 0);
    }
    if (length > 0) frame.insert(frame.end(), payload, payload + length);

    // Pseudo-header: addresses, protocol and segment length.
    uint32_t sum = SumWords(src, addressSize);
    sum = SumWords(dst, addressSize, sum);
    sum += protocol;
    sum += segmentLength;
    sum = SumWords(&frame[seg], frame.size() - seg, sum);
    uint16_t checksum = Fold(sum);
    if (!s.bTcp && checksum == 0) checksum = 0xFFFF;  // 0 means "none" in UDP
    Set16(&frame, seg + (s.bTcp ? 16 : 6), checksum);

    const int64_t nowUs = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    nLastUs = std::max(nLastUs, nowUs);
    std::vector<uint8_t> record;
    PutLe32(&record, static_cast<uint32_t>(nLastUs / 1000000));
    PutLe32(&record, static_cast<uint32_t>(nLastUs % 1000000));
    PutLe32(&record, static_cast<uint32_t>(frame.size()));
    PutLe32(&record, static_cast<uint32_t>(frame.size()));
    // Flushed per packet: a capture is readable while the simulator runs
    // and whole after it is killed.
    if (std::fwrite(record.data(), 1, record.size(), pFile) != record.size() ||
        std::fwrite(frame.data(), 1, frame.size(), pFile) != frame.size() ||
        std::fflush(pFile) != 0) {
        bFailed = true;
    }
}

}  // namespace tes::sim
