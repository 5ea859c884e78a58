// Bounded receive queue.
#include "incoming/receive_queue.h"

#include <cstring>
#include <utility>

namespace tes {

void CQueuedTelegram::Assign(const TelegramView& telegram) {
    nLength = telegram.nLength;
    nCommand = telegram.nCommand;
    nTelegramId = telegram.nTelegramId;
    cChecksum = telegram.cChecksum;
    nDataLength = telegram.nDataLength;
    if (nDataLength <= kInlineData) {
        pHeapData.reset();
        if (nDataLength != 0) std::memcpy(oInlineData, telegram.pData, nDataLength);
    } else {
        pHeapData.reset(new uint8_t[nDataLength]);
        std::memcpy(pHeapData.get(), telegram.pData, nDataLength);
    }
}

// Runs on the receive thread: running out of memory discards the telegram
// rather than letting an exception end the thread.
void CReceiveQueue::Push(const TelegramView& telegram) {
    CQueuedTelegram entry;
    CTesLock lock(oMutex);
    if (nCount >= nMaximum.load(std::memory_order_relaxed)) {
        nDiscarded.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    try {
        entry.Assign(telegram);
    } catch (...) {
        nDiscarded.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Append(std::move(entry));
}

void CReceiveQueue::Stage(const TelegramView& telegram) {
    if (nStaged == kStageLimit) Publish();
    try {
        if (oStaged.size() == nStaged) oStaged.resize(nStaged == 0 ? 16 : nStaged * 2);
        oStaged[nStaged].Assign(telegram);
        ++nStaged;
    } catch (...) {
        nDiscarded.fetch_add(1, std::memory_order_relaxed);
    }
}

void CReceiveQueue::Publish(bool keep) {
    if (nStaged == 0) return;
    if (keep) {
        CTesLock lock(oMutex);
        AppendStaged();
    }
    nStaged = 0;
}

void CReceiveQueue::PublishAll(CReceiveQueue* queues, size_t count, bool keep) {
    if (!keep) {
        for (size_t i = 0; i < count; ++i) queues[i].nStaged = 0;
        return;
    }
    // Every lock is taken in index order; a taker holds only one of them.
    for (size_t i = 0; i < count; ++i) {
        if (queues[i].nStaged != 0) queues[i].oMutex.Lock();
    }
    for (size_t i = 0; i < count; ++i) {
        if (queues[i].nStaged != 0) queues[i].AppendStaged();
    }
    for (size_t i = count; i-- > 0;) {
        if (queues[i].nStaged != 0) {
            queues[i].nStaged = 0;
            queues[i].oMutex.Unlock();
        }
    }
}

void CReceiveQueue::AppendStaged() {
    for (size_t i = 0; i < nStaged; ++i) {
        if (nCount >= nMaximum.load(std::memory_order_relaxed)) {
            nDiscarded.fetch_add(nStaged - i, std::memory_order_relaxed);
            break;
        }
        Append(std::move(oStaged[i]));
    }
}

void CReceiveQueue::Append(CQueuedTelegram&& entry) {
    try {
        if (nCount == oRing.size()) {
            // Full ring: double it, oldest entry first.
            std::vector<CQueuedTelegram> bigger(oRing.empty() ? 16 : oRing.size() * 2);
            for (size_t i = 0; i < nCount; ++i) {
                bigger[i] = std::move(oRing[(nHead + i) & (oRing.size() - 1)]);
            }
            oRing.swap(bigger);
            nHead = 0;
        }
    } catch (...) {
        nDiscarded.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    oRing[(nHead + nCount) & (oRing.size() - 1)] = std::move(entry);
    ++nCount;
}

bool CReceiveQueue::Pop(CQueuedTelegram* out, uint32_t* remaining) {
    CTesLock lock(oMutex);
    if (nCount == 0) return false;
    *out = std::move(oRing[nHead]);
    nHead = (nHead + 1) & (oRing.size() - 1);
    --nCount;
    *remaining = static_cast<uint32_t>(nCount);
    return true;
}

uint32_t CReceiveQueue::Count() {
    CTesLock lock(oMutex);
    return static_cast<uint32_t>(nCount);
}

void CReceiveQueue::Clear() {
    std::vector<CQueuedTelegram> released;
    {
        CTesLock lock(oMutex);
        released.swap(oRing);
        nHead = nCount = 0;
    }
}

}  // namespace tes
