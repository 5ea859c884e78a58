// The POSIX platform's mutex: one futex word, taken and released inline with
// one atomic operation each; only a contended Lock or an Unlock with waiters
// enters the kernel. It guards short sections such as one send, which a
// stream of frames enters once per frame.
#pragma once

#include <atomic>
#include <cstdint>

namespace tes::sys {

class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() {
        uint32_t expected = kFree;
        if (!nWord.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            LockContended();
        }
    }
    void Unlock() {
        if (nWord.exchange(kFree, std::memory_order_release) == kHeldWaiters) WakeOne();
    }

private:
    static constexpr uint32_t kFree = 0;
    static constexpr uint32_t kHeld = 1;
    static constexpr uint32_t kHeldWaiters = 2;  // held, and a thread may sleep on it

    void LockContended();
    void WakeOne();

    std::atomic<uint32_t> nWord{kFree};
};

}  // namespace tes::sys
