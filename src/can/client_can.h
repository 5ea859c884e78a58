// The CAN client: the commands that configure a CAN port, write frames, read
// the device clock and power status, and request CANopen services. CAN and
// CANopen command layer.
#pragma once

#include <atomic>
#include <cstdint>

#include "protocol/client.h"
#include "protocol/commands.h"
#include "transport/trace.h"

namespace tes {

// Largest data field of a CAN frame (CAN FD). A received frame announcing
// more is dropped; the receive queues and CanFrame hold this much.
constexpr uint32_t kMaxFrameData = 64;

// GET_POWERSTATUS outputs. Lists are optional (null) and filled up to their
// capacity; the counts tell how many entries the gateway announced.
struct PowerStatus {
    uint8_t nValueCapacity = 0;
    uint16_t* pValues = nullptr;
    uint8_t nFlagACapacity = 0;
    uint8_t* pFlagsA = nullptr;
    uint8_t nFlagBCapacity = 0;
    uint8_t* pFlagsB = nullptr;

    uint8_t nValueCount = 0;
    uint8_t nFlagCountA = 0;
    uint8_t nFlagCountB = 0;
    uint16_t nPowerWord1 = 0;
    uint16_t nPowerWord2 = 0;
    uint16_t nPowerWord3 = 0;
    bool bPowerFlag = false;
};

struct SdoReply {
    uint8_t cReplyByte = 0;
    uint32_t nValue = 0;
    bool bReplyByteSet = false;
    bool bValueSet = false;
};

class CTessaraClientCAN : public CTessaraClient {
public:
    CTessaraClientCAN(int32_t timeoutMs);
    ~CTessaraClientCAN() override;

    // ---- CAN port commands
    int32_t SetConfig(bool confirmData, bool monitor);
    int32_t SetGlobals(int32_t baudrate, uint8_t operatingMode, bool termination, bool highSpeed,
                       bool timestampOn);
    // Writes nothing and returns 0 when the reply holds fewer than 6 bytes;
    // *delivered (optional) tells whether the reply carried the values.
    int32_t GetGlobals(int32_t* baudrate, uint8_t* operatingMode, bool* termination,
                       bool* highSpeed, bool* timestampOn, bool* delivered = nullptr);
    int32_t SetFilter(const int32_t* table16);
    int32_t GetFilter(int32_t* table16);
    int32_t SetTime(int32_t seconds, int32_t microseconds);
    int32_t GetTime(bool* timeFlag, int32_t* seconds, int32_t* microseconds);
    // A reply whose counts announce more entries than it holds gives 0xC0200
    // after storing the entries that are there.
    int32_t GetPowerStatus(PowerStatus* status);
    int32_t SetPowerRelais(bool on);
    int32_t SetActivePowerSupplies(uint32_t bitmask);
    // Writes one frame; with ConfirmData on it waits for the gateway's time
    // stamp, else it stamps the frame from the local clock. Either pointer may
    // be null. Inline, since every frame written takes it: a streamed frame
    // is built on the stack and sent without a further call level.
    int32_t WriteFrame(uint32_t identifier, const uint8_t* data, int32_t length, int32_t flags,
                       int32_t* seconds, int32_t* microseconds) {
        TES_TRACE("WRITE requested to " << PeerAddressText() << ",nIdentifier=0x" << std::hex
                                        << identifier);
        const size_t n = static_cast<uint8_t>(length);
        // The payload is written straight into its place in the telegram.
        uint8_t telegram[kTelegramOverhead + 5 + kMaxWriteData];
        uint8_t* const payload = telegram + 6;
        PutU32(payload, identifier);
        payload[4] = static_cast<uint8_t>(flags);
        CopyFrameBytes(payload + 5, data, n);
        const uint16_t id = TakeTelegramId();
        if (ConfirmData()) return WriteConfirmed(payload, n, id, seconds, microseconds);
        const size_t size = SealTelegram(telegram, CommandWord(Cmd::WRITE), id, 5 + n);
        const int32_t result = SendBytes(telegram, size);
        if (seconds != nullptr || microseconds != nullptr) StampLocally(seconds, microseconds);
        return result;
    }
    bool ConfirmData() const { return bConfirmData.load(std::memory_order_relaxed); }

    // ---- CANopen commands
    int32_t CanopenSetConfig(uint8_t mode);
    int32_t CanopenGetConfig(uint8_t* mode);
    int32_t CanopenSetSyncMode(uint16_t periodTime);
    int32_t CanopenSendNmt(uint8_t nodeId, uint8_t nmtType);
    int32_t CanopenSendSync();
    int32_t CanopenSendTime(uint16_t day, uint32_t ms);
    int32_t CanopenSendPdo(uint8_t nodeId, uint8_t pdoType, uint8_t length, const uint8_t* data);
    int32_t CanopenSendSdoRead(uint8_t nodeId, uint16_t index, uint8_t subindex, uint16_t timeoutMs,
                               SdoReply* reply);
    int32_t CanopenSendSdoWrite(uint8_t nodeId, uint8_t writeType, uint16_t index, uint8_t subindex,
                                uint16_t timeoutMs, uint32_t value, SdoReply* reply);
    // Copies at most `bufferSize` block bytes; *blockLength is what was copied.
    int32_t CanopenSendSdoReadBlock(uint8_t nodeId, uint16_t index, uint8_t subindex,
                                    uint16_t timeoutMs, uint16_t bufferSize, uint8_t* buffer,
                                    uint8_t* replyByte, uint16_t* blockLength);
    // Data longer than a telegram can carry gives 0x920000.
    int32_t CanopenSendSdoWriteBlock(uint8_t nodeId, uint16_t index, uint8_t subindex,
                                     uint16_t timeoutMs, uint16_t length, const uint8_t* data,
                                     SdoReply* reply);

private:
    // WRITE carries the caller's data count in one byte and the library
    // passes any count on (the gateway judges it), so its data part holds
    // up to 255.
    static constexpr size_t kMaxWriteData = 255;
    // WriteFrame's confirmed path: the payload of `n` data bytes is in place.
    int32_t WriteConfirmed(const uint8_t* payload, size_t n, uint16_t id, int32_t* seconds,
                           int32_t* microseconds);
    static void StampLocally(int32_t* seconds, int32_t* microseconds);
    int32_t SdoExchange(uint16_t command, const uint8_t* data, uint16_t length, uint16_t timeoutMs,
                        std::unique_ptr<CTessaraMsg>* confirmation);

    std::atomic<bool> bConfirmData{false};
};

}  // namespace tes
