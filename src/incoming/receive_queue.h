// Bounded FIFO of received telegrams, one per kind of indication. Incoming
// data layer.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "protocol/telegram.h"
#include "transport/tes_thread.h"

namespace tes {

class ReceiveQueue {
public:
    // Appends a copy unless the queue holds its maximum (compared unsigned);
    // a full queue keeps the older entries and counts the discarded one.
    void Push(const TelegramView& telegram);
    // Takes the oldest entry; false when the queue was empty.
    bool Pop(CTessaraMsg* out);
    uint32_t Count();
    void Clear();
    void SetMaximum(uint32_t maximum) { nMaximum.store(maximum, std::memory_order_relaxed); }
    uint64_t Discarded() const { return nDiscarded.load(std::memory_order_relaxed); }

private:
    std::atomic<uint32_t> nMaximum{1000};
    std::atomic<uint64_t> nDiscarded{0};
    CTesMutex oMutex;
    std::deque<CTessaraMsg> oFifo;
};

}  // namespace tes
