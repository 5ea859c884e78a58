// Bounded receive queue.
#include "incoming/receive_queue.h"

#include <utility>

namespace tes {

void ReceiveQueue::Push(const TelegramView& telegram) {
    CTesLock lock(oMutex);
    if (oFifo.size() < nMaximum.load(std::memory_order_relaxed)) {
        oFifo.emplace_back(telegram);
    } else {
        nDiscarded.fetch_add(1, std::memory_order_relaxed);
    }
}

bool ReceiveQueue::Pop(CTessaraMsg* out) {
    CTesLock lock(oMutex);
    if (oFifo.empty()) return false;
    *out = std::move(oFifo.front());
    oFifo.pop_front();
    return true;
}

uint32_t ReceiveQueue::Count() {
    CTesLock lock(oMutex);
    return static_cast<uint32_t>(oFifo.size());
}

void ReceiveQueue::Clear() {
    CTesLock lock(oMutex);
    oFifo.clear();
}

}  // namespace tes
