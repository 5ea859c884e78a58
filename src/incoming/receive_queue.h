// Bounded FIFO of received telegrams, one per kind of indication. Incoming
// data layer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "protocol/telegram.h"
#include "transport/tes_thread.h"

namespace tes {

// A copy of one received telegram. The data of a classic CAN frame or CANopen
// indication (time stamp included) is held in the entry itself, so queueing
// and taking such a telegram allocate nothing; longer data goes to the heap.
class CQueuedTelegram {
public:
    static constexpr uint32_t kInlineData = 32;

    CQueuedTelegram() = default;
    CQueuedTelegram(CQueuedTelegram&&) noexcept = default;
    CQueuedTelegram& operator=(CQueuedTelegram&&) noexcept = default;

    void Assign(const TelegramView& telegram);
    const uint8_t* Data() const { return pHeapData ? pHeapData.get() : oInlineData; }
    uint32_t DataLength() const { return nDataLength; }

    uint32_t nLength = 5;  // the length field as received
    uint16_t nCommand = 0;
    uint16_t nTelegramId = 0;
    uint8_t cChecksum = 0;

private:
    uint32_t nDataLength = 0;
    uint8_t oInlineData[kInlineData] = {};
    std::unique_ptr<uint8_t[]> pHeapData;
};

class CReceiveQueue {
public:
    // Appends a copy unless the queue holds its maximum (compared unsigned);
    // a full queue keeps the older entries and counts the discarded one.
    void Push(const TelegramView& telegram);
    // Producer side of one thread, without the lock: keeps a copy for the
    // next Publish (which Stage calls itself when many are waiting).
    void Stage(const TelegramView& telegram);
    // Appends what was staged, in order, under one lock, exactly as the same
    // Push calls would have; with `keep` false the staged copies are dropped.
    void Publish(bool keep = true);
    // Publish for several queues at once: what any of them staged becomes
    // visible together, so that no taker finds a later telegram in one queue
    // while an earlier one still waits in another.
    static void PublishAll(CReceiveQueue* queues, size_t count, bool keep);
    // True when the next Stage would have to publish first.
    bool StageFull() const { return nStaged == kStageLimit; }
    // Takes the oldest entry and tells how many are left; false when the
    // queue was empty (nothing written then).
    bool Pop(CQueuedTelegram* out, uint32_t* remaining);
    uint32_t Count();
    // Empties the queue and gives its storage back.
    void Clear();
    void SetMaximum(uint32_t maximum) { nMaximum.store(maximum, std::memory_order_relaxed); }
    uint64_t Discarded() const { return nDiscarded.load(std::memory_order_relaxed); }

private:
    static constexpr size_t kStageLimit = 256;

    // Appends one entry; oMutex held.
    void Append(CQueuedTelegram&& entry);
    // Appends the staged entries; oMutex held.
    void AppendStaged();

    std::atomic<uint32_t> nMaximum{1000};
    std::atomic<uint64_t> nDiscarded{0};
    CTesMutex oMutex;
    // A ring whose size is a power of two (or zero), grown by doubling when it
    // is full and the maximum allows another entry; guarded by oMutex.
    std::vector<CQueuedTelegram> oRing;
    size_t nHead = 0;
    size_t nCount = 0;
    // Copies staged by the producer thread; touched by it alone, and kept on
    // a cache line of their own so that staging and taking do not contend.
    alignas(64) std::vector<CQueuedTelegram> oStaged;
    size_t nStaged = 0;
};

}  // namespace tes
