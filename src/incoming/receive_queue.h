// Bounded FIFO of received telegrams, one per kind of indication. Incoming
// data layer.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>

#include "protocol/telegram.h"

namespace tes {

// The data of one received indication: its queue tells its kind, so the
// header is not kept. Up to kInlineData bytes (a classic CAN frame or CANopen
// indication with its time stamp: 21 bytes at most) are held in the entry
// itself, so queueing and taking such an indication allocate nothing; longer
// data goes to the heap, its address kept in the same bytes. 32 bytes, two
// entries per cache line.
class CQueuedTelegram {
public:
    static constexpr uint32_t kInlineData = 30;

    CQueuedTelegram() = default;
    ~CQueuedTelegram() { FreeHeap(); }
    CQueuedTelegram(CQueuedTelegram&& other) noexcept { TakeFrom(other); }
    CQueuedTelegram& operator=(CQueuedTelegram&& other) noexcept {
        if (this != &other) {
            FreeHeap();
            TakeFrom(other);
        }
        return *this;
    }
    CQueuedTelegram(const CQueuedTelegram&) = delete;
    CQueuedTelegram& operator=(const CQueuedTelegram&) = delete;

    // Keeps a copy of the telegram's data; a failed allocation leaves the
    // entry as it was.
    void Assign(const TelegramView& telegram);
    // Assign for data that fits in the entry (kInlineData bytes at most) to
    // an entry that holds no heap copy (see FreeHeap): allocates nothing,
    // and writes the entry without reading it first, so that filling a
    // block that is not in the cache never waits for it.
    void AssignInline(const TelegramView& telegram) {
        nDataLength = static_cast<uint16_t>(telegram.nDataLength);
        CopyFrameBytes(oBytes, telegram.pData, nDataLength);
    }
    const uint8_t* Data() const { return OnHeap() ? HeapData() : oBytes; }
    uint32_t DataLength() const { return nDataLength; }
    // Gives the heap copy back, if there is one (the entry is empty then);
    // data held inline stays as it is.
    void FreeHeap() {
        if (OnHeap()) {
            delete[] HeapData();
            nDataLength = 0;
        }
    }

private:
    bool OnHeap() const { return nDataLength > kInlineData; }
    uint8_t* HeapData() const {
        uint8_t* data;
        std::memcpy(&data, oBytes, sizeof data);
        return data;
    }
    void TakeFrom(CQueuedTelegram& other) {
        std::memcpy(oBytes, other.oBytes, sizeof oBytes);
        nDataLength = other.nDataLength;
        other.nDataLength = 0;
    }

    // The data, or (beyond kInlineData bytes) the address of its heap copy.
    // Not cleared: only the first nDataLength bytes are ever read, and a
    // block of fresh entries then costs no memset.
    uint8_t oBytes[kInlineData];
    uint16_t nDataLength = 0;  // a telegram holds at most 65 530 bytes of data
};
static_assert(sizeof(CQueuedTelegram) == 32, "two queue entries per cache line");
static_assert(sizeof(uint8_t*) <= CQueuedTelegram::kInlineData, "room for the heap address");

// The lock of a receive queue. Both sides hold it for a few dozen
// instructions (a copy, or linking a block), so a taker spins briefly instead
// of sleeping, and gives up its time slice when the holder was preempted.
// Unlocking is a plain store.
class CQueueLock {
public:
    void Lock() {
        if (bHeld.exchange(true, std::memory_order_acquire)) LockHeld();
    }
    void Unlock() { bHeld.store(false, std::memory_order_release); }

    class Guard {
    public:
        explicit Guard(CQueueLock& lock) : oLock(lock) { oLock.Lock(); }
        ~Guard() { oLock.Unlock(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        CQueueLock& oLock;
    };

private:
    // Lock's way when the lock was held: out of line, the usual way calls
    // nothing.
    [[gnu::noinline]] void LockHeld() {
        int spins = 0;
        do {
            while (bHeld.load(std::memory_order_relaxed)) {
                if (++spins > 64) std::this_thread::yield();
            }
        } while (bHeld.exchange(true, std::memory_order_acquire));
    }

    std::atomic<bool> bHeld{false};
};

// The entries live in blocks: the receive thread fills a block of its own
// and hands it over whole, under one lock per receive (or per full block);
// a taker reads the entries in place, and empty blocks are kept for reuse,
// so that a steady stream allocates nothing. Only the entries a block holds
// (from nRead to nSize) may own a heap copy: whatever takes, cuts or drops
// an entry frees its copy, so that staging writes an entry unread.
class CReceiveQueue {
public:
    CReceiveQueue() = default;
    ~CReceiveQueue();
    CReceiveQueue(const CReceiveQueue&) = delete;
    CReceiveQueue& operator=(const CReceiveQueue&) = delete;

    // Appends a copy unless the queue holds its maximum (compared unsigned);
    // a full queue keeps the older entries and counts the discarded one.
    void Push(const TelegramView& telegram);
    // Producer side of one thread, without the lock: keeps a copy for the
    // next Publish (which Stage calls itself when its block is full).
    void Stage(const TelegramView& telegram) {
        if (!StageInBlock(telegram)) StageAllocating(telegram);
    }
    // Stage's usual way: a copy into the staged block when it has room and
    // the data fits in an entry; false (nothing done) otherwise.
    bool StageInBlock(const TelegramView& telegram) {
        Block* block = pStaged;
        if (block == nullptr || block->nSize == kBlockEntries ||
            telegram.nDataLength > CQueuedTelegram::kInlineData) {
            return false;
        }
        block->oEntries[block->nSize].AssignInline(telegram);
        ++block->nSize;
        return true;
    }
    // Appends what was staged, in order, under one lock, exactly as the same
    // Push calls would have; with `keep` false the staged copies are dropped.
    void Publish(bool keep = true);
    // Publish for several queues at once: what any of them staged becomes
    // visible together, so that no taker finds a later telegram in one queue
    // while an earlier one still waits in another.
    static void PublishAll(CReceiveQueue* queues, size_t count, bool keep);
    // True when the next Stage would have to publish first.
    bool StageFull() const { return pStaged != nullptr && pStaged->nSize == kBlockEntries; }
    // Hands the oldest entry to `read` (under the lock, so `read` only
    // copies or moves from it) and removes it; tells how many are left. False when the queue
    // was empty (nothing called or written then).
    template <class Read>
    bool Take(Read&& read, uint32_t* remaining);
    // Take into a copy.
    bool Pop(CQueuedTelegram* out, uint32_t* remaining);
    uint32_t Count();
    // Empties the queue and gives its storage back.
    void Clear();
    void SetMaximum(uint32_t maximum) { nMaximum.store(maximum, std::memory_order_relaxed); }
    uint64_t Discarded() const { return nDiscarded.load(std::memory_order_relaxed); }
    // Empty blocks kept for reuse (for checks).
    size_t SpareBlocks();

    // A backlog's blocks are kept when it drains, for as long as one as deep
    // came within the last kKeepMs: fresh memory costs a page fault per 128
    // entries, more than queueing them does. After that, half of what is
    // kept beyond kSpareBlocks goes per kKeepMs while blocks are taken, and
    // all of it when the queue is found empty.
    static constexpr int64_t kKeepMs = 1000;

private:
    static constexpr uint32_t kBlockEntries = 256;
    static constexpr size_t kSpareBlocks = 8;  // empty blocks always kept (64 KiB)
    struct Block {
        uint32_t nSize = 0;  // entries written
        uint32_t nRead = 0;  // entries taken
        Block* pNext = nullptr;
        CQueuedTelegram oEntries[kBlockEntries];

        // Frees the copies of entries `from` to nSize and cuts the block there.
        void CutTo(uint32_t from) {
            for (uint32_t i = from; i < nSize; ++i) oEntries[i].FreeHeap();
            nSize = from;
        }
    };

    // Stage when it may allocate: a block to stage into, or the data.
    void StageAllocating(const TelegramView& telegram);
    // Links the staged block (cut to the maximum); oMutex held.
    void AppendStaged();
    // An empty block from the spares, or null; oMutex held.
    Block* TakeSpare();
    // Counts a block linked into the queue; oMutex held.
    void Linked();
    // Take on an empty queue that keeps more than kSpareBlocks: unlinks the
    // spares beyond them once kKeepMs have passed; oMutex held. Returns
    // them for DeleteChain outside the lock.
    Block* ShrinkIdle();
    // Unlinks the exhausted head block; oMutex held. Returns blocks the
    // caller deletes outside the lock (DeleteChain), or null when it was
    // kept as a spare.
    Block* RetireHead();
    static void DeleteChain(Block* block);

    std::atomic<uint32_t> nMaximum{1000};
    std::atomic<uint64_t> nDiscarded{0};
    CQueueLock oMutex;
    // Guarded by oMutex: the published blocks, oldest first, their entry
    // count, and the spares.
    Block* pHead = nullptr;
    Block* pTail = nullptr;
    size_t nCount = 0;
    Block* pSpare = nullptr;
    size_t nSpares = 0;
    size_t nBlocks = 0;           // published blocks
    size_t nKeep = kSpareBlocks;  // spares kept at most
    int64_t nKeepSinceMs = 0;     // when the queue last held nKeep blocks
    // The block being staged; touched by the producer thread alone (and by
    // Publish under the lock), on a cache line of its own.
    alignas(64) Block* pStaged = nullptr;
};

template <class Read>
bool CReceiveQueue::Take(Read&& read, uint32_t* remaining) {
    Block* retired = nullptr;
    bool took = false;
    {
        CQueueLock::Guard lock(oMutex);
        if (nCount != 0) {
            CQueuedTelegram& entry = pHead->oEntries[pHead->nRead++];
            read(entry);
            entry.FreeHeap();
            --nCount;
            *remaining = static_cast<uint32_t>(nCount);
            if (pHead->nRead == pHead->nSize) retired = RetireHead();
            took = true;
        } else if (nSpares > kSpareBlocks) {
            retired = ShrinkIdle();
        }
    }
    if (retired != nullptr) DeleteChain(retired);
    return took;
}

}  // namespace tes
