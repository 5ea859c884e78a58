// A simulated CANopen node on the virtual bus: NMT state machine, a small
// object dictionary with SDO access, a loop-back PDO, heartbeat and node
// guarding. No I/O: it reacts to frames and returns the frames it sends.
// Simulator layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "wire.h"

namespace tes::sim {

// NMT states as the node reports them in heartbeat and guarding replies.
constexpr uint8_t kNmtBootUp = 0x00;
constexpr uint8_t kNmtStopped = 0x04;
constexpr uint8_t kNmtOperational = 0x05;
constexpr uint8_t kNmtPreOperational = 0x7F;

// NMT command specifiers (first byte of the frame on identifier 0).
constexpr uint8_t kNmtStart = 0x01;
constexpr uint8_t kNmtStop = 0x02;
constexpr uint8_t kNmtEnterPreOperational = 0x80;
constexpr uint8_t kNmtResetNode = 0x81;
constexpr uint8_t kNmtResetCommunication = 0x82;

// SDO reply bytes: the command byte of the node's SDO response.
constexpr uint8_t kSdoUploadSegmented = 0x41;  // longer than 4 bytes; value = size
constexpr uint8_t kSdoDownloadDone = 0x60;
constexpr uint8_t kSdoAbort = 0x80;  // value = abort code
constexpr uint8_t kSdoBlockUploadDone = 0xC1;
constexpr uint8_t kSdoBlockDownloadDone = 0xA1;
// Expedited upload of n = 1..4 bytes: 0x4F, 0x4B, 0x47, 0x43.
constexpr uint8_t SdoUploadExpedited(size_t n) {
    return static_cast<uint8_t>(0x43 | ((4 - n) << 2));
}

// SDO abort codes.
constexpr uint32_t kAbortBadCommand = 0x05040001;
constexpr uint32_t kAbortReadOnly = 0x06010002;
constexpr uint32_t kAbortNoObject = 0x06020000;
constexpr uint32_t kAbortLengthMismatch = 0x06070010;
constexpr uint32_t kAbortTooLong = 0x06070012;
constexpr uint32_t kAbortNoSubindex = 0x06090011;

constexpr char kNodeDeviceName[] = "TessaraSim Node";
constexpr uint32_t kNodeDeviceType = 0x00000191;  // generic I/O device
constexpr uint32_t kNodeVendorId = 0x00000A5C;
constexpr uint32_t kNodeProductCode = 0x00001001;
constexpr uint32_t kNodeRevision = 0x00010000;
constexpr size_t kNodeDomainMax = 4096;  // 0x2001: the block transfer scratch entry
constexpr size_t kNodeProcessImageMax = 8;

class CanopenNode {
public:
    // What an SDO access answers: the reply byte and the bytes after it
    // (4 value bytes for the expedited services, the entry for block reads).
    struct SdoReply {
        uint8_t cReply = 0;
        std::vector<uint8_t> oBytes;
    };

    explicit CanopenNode(uint8_t id);

    uint8_t Id() const { return nId; }
    uint8_t State() const { return nState; }
    // SDO requests are served except while stopped.
    bool ServesSdo() const { return nState != kNmtStopped; }
    // Producer heartbeat time (0x1017) in ms; 0 = off.
    uint16_t HeartbeatMs() const;

    // Power-on: dictionary to defaults, pre-operational, boot-up message.
    void Boot(std::vector<CanFrame>* out);
    // A frame on the bus (never one of its own); frames it answers with go
    // to *out.
    void OnFrame(const CanFrame& frame, std::vector<CanFrame>* out);

    SdoReply Read(uint16_t index, uint8_t subindex) const;
    // `size`: value bytes to write, 1..4, or 0 for the entry's own size.
    SdoReply Write(uint16_t index, uint8_t subindex, uint8_t size, uint32_t value);
    SdoReply ReadBlock(uint16_t index, uint8_t subindex) const;
    SdoReply WriteBlock(uint16_t index, uint8_t subindex, const uint8_t* data, size_t length);

    CanFrame Heartbeat() const;
    // Emergency message; the error register (0x1001) takes `errorRegister`.
    CanFrame Emergency(uint16_t errorCode, uint8_t errorRegister, const uint8_t (&vendor)[5]);
    // Transmit PDO 1..4 with up to 8 bytes.
    CanFrame TransmitPdo(uint8_t number, const std::vector<uint8_t>& data) const;

private:
    enum class Kind { kU8, kU16, kU32, kString, kDomain };
    struct Entry {
        Kind eKind;
        bool bWritable;
        size_t nMax;  // largest length for strings and domains
        std::vector<uint8_t> oDefault;
        std::vector<uint8_t> oValue;
    };
    static uint32_t Key(uint16_t index, uint8_t subindex) {
        return (static_cast<uint32_t>(index) << 8) | subindex;
    }
    void Define(uint16_t index, uint8_t subindex, Kind kind, bool writable,
                std::vector<uint8_t> value, size_t max = 0);
    // The entry, or null with the abort code in *abort.
    const Entry* Lookup(uint16_t index, uint8_t subindex, uint32_t* abort) const;
    SdoReply Store(uint16_t index, uint8_t subindex, const uint8_t* data, size_t length,
                   uint8_t doneReply);
    void ResetRange(uint16_t first, uint16_t last);
    static SdoReply Abort(uint32_t code);

    uint8_t nId;
    uint8_t nState = kNmtPreOperational;
    uint8_t nToggle = 0;  // node guarding toggle bit
    std::map<uint32_t, Entry> oDictionary;
};

}  // namespace tes::sim
