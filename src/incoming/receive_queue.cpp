// Bounded receive queue: blocks of entries handed over whole. Incoming data
// layer.
#include "incoming/receive_queue.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "transport/platform.h"

namespace tes {

void CQueuedTelegram::Assign(const TelegramView& telegram) {
    if (telegram.nDataLength <= kInlineData) {
        FreeHeap();
        AssignInline(telegram);
        return;
    }
    uint8_t* data = new uint8_t[telegram.nDataLength];
    std::memcpy(data, telegram.pData, telegram.nDataLength);
    FreeHeap();
    std::memcpy(oBytes, &data, sizeof data);
    nDataLength = static_cast<uint16_t>(telegram.nDataLength);
}

CReceiveQueue::~CReceiveQueue() {
    DeleteChain(pHead);
    DeleteChain(pSpare);
    delete pStaged;
}

void CReceiveQueue::DeleteChain(Block* block) {
    while (block != nullptr) {
        Block* next = block->pNext;
        delete block;
        block = next;
    }
}

CReceiveQueue::Block* CReceiveQueue::TakeSpare() {
    Block* block = pSpare;
    if (block != nullptr) {
        pSpare = block->pNext;
        block->pNext = nullptr;
        --nSpares;
    }
    return block;
}

void CReceiveQueue::Linked() {
    if (++nBlocks >= nKeep) {
        nKeep = nBlocks;
        nKeepSinceMs = sys::CoarseMonotonicMs();
    }
}

CReceiveQueue::Block* CReceiveQueue::ShrinkIdle() {
    const int64_t now = sys::CoarseMonotonicMs();
    if (now - nKeepSinceMs < kKeepMs) return nullptr;
    nKeep = kSpareBlocks;
    nKeepSinceMs = now;
    Block* excess = nullptr;
    while (nSpares > nKeep) {
        Block* block = TakeSpare();
        block->pNext = excess;
        excess = block;
    }
    return excess;
}

CReceiveQueue::Block* CReceiveQueue::RetireHead() {
    Block* block = pHead;
    pHead = block->pNext;
    if (pHead == nullptr) pTail = nullptr;
    --nBlocks;
    block->nSize = block->nRead = 0;
    if (nKeep > kSpareBlocks) {
        const int64_t now = sys::CoarseMonotonicMs();
        if (now - nKeepSinceMs >= kKeepMs) {
            nKeep = std::max({kSpareBlocks, nBlocks, nKeep / 2});
            nKeepSinceMs = now;
        }
    }
    if (nSpares < nKeep) {
        block->pNext = pSpare;
        pSpare = block;
        ++nSpares;
        return nullptr;
    }
    // Beyond what is kept now: the block goes, and so does one spare more
    // while there are too many of them.
    block->pNext = nSpares > nKeep ? TakeSpare() : nullptr;
    return block;
}

size_t CReceiveQueue::SpareBlocks() {
    CQueueLock::Guard lock(oMutex);
    return nSpares;
}

// Runs on the receive thread: running out of memory discards the telegram
// rather than letting an exception end the thread.
void CReceiveQueue::Push(const TelegramView& telegram) {
    CQueueLock::Guard lock(oMutex);
    if (nCount >= nMaximum.load(std::memory_order_relaxed)) {
        nDiscarded.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    try {
        if (pTail == nullptr || pTail->nSize == kBlockEntries) {
            Block* block = TakeSpare();
            if (block == nullptr) block = new Block;
            if (pTail != nullptr) {
                pTail->pNext = block;
            } else {
                pHead = block;
            }
            pTail = block;
            Linked();
        }
        pTail->oEntries[pTail->nSize].Assign(telegram);
    } catch (...) {
        nDiscarded.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    ++pTail->nSize;
    ++nCount;
}

void CReceiveQueue::StageAllocating(const TelegramView& telegram) {
    if (StageFull()) Publish();
    try {
        if (pStaged == nullptr) pStaged = new Block;
        pStaged->oEntries[pStaged->nSize].Assign(telegram);
        ++pStaged->nSize;
    } catch (...) {
        nDiscarded.fetch_add(1, std::memory_order_relaxed);
    }
}

void CReceiveQueue::Publish(bool keep) {
    if (pStaged == nullptr || pStaged->nSize == 0) return;
    if (keep) {
        CQueueLock::Guard lock(oMutex);
        AppendStaged();
    } else {
        pStaged->CutTo(0);
    }
}

void CReceiveQueue::PublishAll(CReceiveQueue* queues, size_t count, bool keep) {
    auto staged = [](const CReceiveQueue& q) {
        return q.pStaged != nullptr && q.pStaged->nSize != 0;
    };
    if (!keep) {
        for (size_t i = 0; i < count; ++i) {
            if (staged(queues[i])) queues[i].pStaged->CutTo(0);
        }
        return;
    }
    // Every lock is taken in index order; a taker holds only one of them.
    bool locked[8] = {};
    const size_t n = count < 8 ? count : 8;
    for (size_t i = 0; i < n; ++i) {
        locked[i] = staged(queues[i]);
        if (locked[i]) queues[i].oMutex.Lock();
    }
    for (size_t i = 0; i < n; ++i) {
        if (locked[i]) queues[i].AppendStaged();
    }
    for (size_t i = n; i-- > 0;) {
        if (locked[i]) queues[i].oMutex.Unlock();
    }
    for (size_t i = n; i < count; ++i) queues[i].Publish();
}

void CReceiveQueue::AppendStaged() {
    Block* block = pStaged;
    const size_t maximum = nMaximum.load(std::memory_order_relaxed);
    const size_t room = nCount >= maximum ? 0 : maximum - nCount;
    if (block->nSize > room) {
        nDiscarded.fetch_add(block->nSize - room, std::memory_order_relaxed);
        block->CutTo(static_cast<uint32_t>(room));
    }
    if (block->nSize == 0) return;  // the block stays staged, empty
    nCount += block->nSize;
    block->pNext = nullptr;
    if (pTail != nullptr) {
        pTail->pNext = block;
    } else {
        pHead = block;
    }
    pTail = block;
    Linked();
    // A spare if there is one; else Stage allocates when it needs a block.
    pStaged = TakeSpare();
}

bool CReceiveQueue::Pop(CQueuedTelegram* out, uint32_t* remaining) {
    return Take([out](CQueuedTelegram& entry) { *out = std::move(entry); }, remaining);
}

uint32_t CReceiveQueue::Count() {
    CQueueLock::Guard lock(oMutex);
    return static_cast<uint32_t>(nCount);
}

void CReceiveQueue::Clear() {
    Block* published = nullptr;
    Block* spares = nullptr;
    {
        CQueueLock::Guard lock(oMutex);
        published = pHead;
        spares = pSpare;
        pHead = pTail = pSpare = nullptr;
        nCount = nSpares = nBlocks = 0;
        nKeep = kSpareBlocks;
    }
    DeleteChain(published);
    DeleteChain(spares);
}

}  // namespace tes
