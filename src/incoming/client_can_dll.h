// The client behind a device handle: delivers unsolicited CAN frames and
// CANopen indications to the application's callbacks or to bounded receive
// queues it polls. Incoming data layer.
#pragma once

#include <atomic>
#include <cstdint>

#include "TessaraCan.h"
#include "can/client_can.h"
#include "incoming/receive_queue.h"

namespace tes {

constexpr uint8_t kFlagTimestamp = 0x04;  // a time stamp follows the frame data
// Identifier and flags come before the data of a frame indication.
constexpr uint32_t kFramePart = 5;

// Data length and time stamp of a frame-shaped payload part (the bytes after
// identifier and flags).
struct FrameSplit {
    uint32_t nLength = 0;
    uint32_t nSeconds = 0;
    uint32_t nMicroseconds = 0;
};
inline FrameSplit SplitTimestamp(uint8_t flags, uint32_t dataLength, const uint8_t* data) {
    FrameSplit split;
    if ((flags & kFlagTimestamp) == 0) {
        split.nLength = dataLength;
    } else if (dataLength >= 8) {
        split.nLength = dataLength - 8;
        split.nSeconds = GetU32(data + split.nLength);
        split.nMicroseconds = GetU32(data + split.nLength + 4);
    }
    return split;
}

struct CanFrame {
    uint32_t nIdentifier = 0;
    uint8_t cFlags = 0;
    uint8_t nLength = 0;
    uint8_t oData[kMaxFrameData] = {};
    uint32_t nSeconds = 0;
    uint32_t nMicroseconds = 0;
};
struct PdoIndication {
    uint8_t cNodeId = 0, cPdoType = 0, nLength = 0;
    uint8_t oData[8] = {};
};
struct EmcyIndication {
    uint8_t cNodeId = 0;
    uint16_t nErrorCode = 0;
    uint8_t cErrorRegister = 0;
    uint8_t oData[5] = {};
};
struct GuardIndication {
    uint8_t cNodeId = 0, cState = 0;
};
struct UndefinedIndication {
    uint32_t nIdentifier = 0;
    uint8_t cIdByte0 = 0, cIdByte1 = 0, nLength = 0;
    uint8_t oData[8] = {};
    uint32_t nSeconds = 0, nMicroseconds = 0;
};

class CTessaraClientCANDll : public CTessaraClientCAN {
public:
    enum Queue {
        kQueuePdo,
        kQueueSync,
        kQueueEmcy,
        kQueueGuard,
        kQueueUndefined,
        kQueueFrame,
        kQueueCount
    };

    CTessaraClientCANDll(int32_t timeoutMs, int32_t handle);
    ~CTessaraClientCANDll() override;

    bool DispatchIndication(const TelegramView& telegram) override;
    // Between the brackets of one receive, queued telegrams are staged and
    // then appended under one lock per queue instead of one per telegram.
    void OnReceiveBatch(bool starting) override;
    void PublishIndications() override;

    // Setting one frame callback clears the other.
    void SetCallback(CanFrameCallback callback);
    void SetCallbackEx(CanFrameCallbackEx callback);
    void SetCanopenCallbacks(PdoCallback pdo, SyncCallback sync, EmcyCallback emcy,
                             GuardCallback guard, UndefinedCallback undefined);
    // 0 empties every queue and turns queueing off.
    void SetMaxSizePerQueue(uint32_t maximum);

    // Each takes the oldest entry of its queue: -1 when the queue was empty
    // (nothing written), else the number of entries still queued.
    int32_t GetMessage(CanFrame* frame);
    // GetMessage into the caller's own places: `write(identifier, flags,
    // data, length, seconds, microseconds)` runs under the queue's lock, so
    // it only copies; the data is valid during the call.
    template <class Write>
    int32_t TakeFrame(Write&& write);
    int32_t GetPdo(PdoIndication* out);
    int32_t GetSync(uint8_t* value);
    int32_t GetEmcy(EmcyIndication* out);
    int32_t GetGuard(GuardIndication* out);
    int32_t GetUndefined(UndefinedIndication* out);

    int32_t Handle() const { return nHandle; }
    uint64_t Discarded(Queue q) const { return oQueues[q].Discarded(); }

private:
    // DispatchIndication's usual way: stages a well-formed frame when a
    // receive batch is open, queueing is on, no frame callback is set and
    // the staged block has room (true); else does nothing (false).
    [[gnu::always_inline]] bool StageFrame(const TelegramView& t);
    // Every other way of DispatchIndication.
    bool DispatchOther(const TelegramView& t);
    void DispatchFrame(const TelegramView& t);
    void DispatchPdo(const TelegramView& t);
    void DispatchSync(const TelegramView& t);
    void DispatchEmcy(const TelegramView& t);
    void DispatchGuard(const TelegramView& t);
    void DispatchUndefined(const TelegramView& t);
    void Enqueue(Queue q, const TelegramView& t);
    // Before a callback runs: what this batch staged becomes visible first,
    // so that a callback never runs ahead of an earlier telegram that went
    // to a queue (an application that switches from the queue to the
    // callback takes the queue dry once its first callback has run).
    void PublishBeforeCallback() {
        if (bStagedSome) PublishIndications();
    }
    // Hands the oldest entry of queue q to `read` in place; the number left,
    // or -1 when the queue was empty.
    template <class Read>
    int32_t Take(Queue q, Read&& read) {
        uint32_t remaining = 0;
        if (!oQueues[q].Take(read, &remaining)) return -1;
        return static_cast<int32_t>(remaining);
    }

    std::atomic<CanFrameCallback> pFrameCallback{nullptr};
    std::atomic<CanFrameCallbackEx> pFrameCallbackEx{nullptr};
    std::atomic<PdoCallback> pPdoCallback{nullptr};
    std::atomic<SyncCallback> pSyncCallback{nullptr};
    std::atomic<EmcyCallback> pEmcyCallback{nullptr};
    std::atomic<GuardCallback> pGuardCallback{nullptr};
    std::atomic<UndefinedCallback> pUndefinedCallback{nullptr};
    const int32_t nHandle;
    std::atomic<bool> bQueueing{false};
    // Inside a receive batch: telegrams are staged, not queued one by one.
    // Indications are dispatched only by the thread that holds the
    // connection's reading role (the receive thread), which alone sets
    // and reads this.
    bool bStaging = false;
    // Something was staged since the last publish (receive thread alone).
    bool bStagedSome = false;
    CReceiveQueue oQueues[kQueueCount];
};

// Only frames that passed the dispatch checks are queued; the length checks
// guard against a queue entry of another shape all the same.
template <class Write>
int32_t CTessaraClientCANDll::TakeFrame(Write&& write) {
    return Take(kQueueFrame, [&write](const CQueuedTelegram& t) {
        if (t.DataLength() < kFramePart) return;
        const uint8_t* d = t.Data();
        const uint8_t flags = d[4];
        const FrameSplit split = SplitTimestamp(flags, t.DataLength() - kFramePart, d + kFramePart);
        write(GetU32(d), flags, d + kFramePart,
              static_cast<uint8_t>(split.nLength < kMaxFrameData ? split.nLength : kMaxFrameData),
              split.nSeconds, split.nMicroseconds);
    });
}

}  // namespace tes
