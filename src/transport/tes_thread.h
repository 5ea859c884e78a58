// Thread, event and mutex wrappers of the transport layer, built on the
// platform contract. Threads start with a handshake and stop cooperatively.
#pragma once

#include <atomic>
#include <cstdint>

#include "transport/platform.h"

namespace tes {

// Auto-reset event, initially not signalled.
class CTesEvent {
public:
    virtual ~CTesEvent() = default;
    void Signal() { hEvent.Signal(); }
    void Reset() { hEvent.Reset(); }
    // True when signalled within `timeoutMs` (negative: no limit).
    bool Wait(int64_t timeoutMs) { return hEvent.Wait(timeoutMs); }
    // Wait, after checking for up to `spinUs` microseconds without sleeping.
    bool SpinThenWait(int32_t spinUs, int64_t timeoutMs, sys::SpinResult* spun) {
        return hEvent.SpinThenWait(spinUs, timeoutMs, spun);
    }

private:
    sys::Event hEvent;
};

class CTesMutex {
public:
    virtual ~CTesMutex() = default;
    void Lock() { hMutex.Lock(); }
    void Unlock() { hMutex.Unlock(); }

private:
    sys::Mutex hMutex;
};

class CTesLock {
public:
    explicit CTesLock(CTesMutex& m) : oMutex(m) { oMutex.Lock(); }
    ~CTesLock() { oMutex.Unlock(); }
    CTesLock(const CTesLock&) = delete;
    CTesLock& operator=(const CTesLock&) = delete;

private:
    CTesMutex& oMutex;
};

// A thread object: Start runs OnStart and then Run on a new thread and
// returns once OnStart has completed there. Every derived destructor calls
// StopAndJoin before its own members go, since the thread runs its Run.
class CTesThread {
public:
    enum State : int { kNeverStarted = 0, kStarting = 1, kRunning = 2, kEnded = 3 };

    CTesThread() = default;
    virtual ~CTesThread();
    CTesThread(const CTesThread&) = delete;
    CTesThread& operator=(const CTesThread&) = delete;

    // True when a new thread is running; false when one is already starting
    // or running, or the system refused to create one (state 3 then).
    bool Start();
    // Asks the thread to end and wakes its sleeps; does not wait.
    void RequestStop();
    // Asks the thread to end, wakes it, and waits for it. Must not be called
    // from the thread itself.
    void StopAndJoin();
    // Ends a sleep of the thread (SleepUnlessStopped) early without asking it
    // to stop, so that it can plan again.
    void Wake() { oStopEvent.Signal(); }
    // True when called from this object's own thread (inside its Run).
    bool IsCurrent() const;
    // Runs `entry(arg)` on a thread that nobody joins, for work that must
    // not run on the calling thread and outlives it. False when the system
    // could not create the thread.
    static bool StartDetached(void (*entry)(void*), void* arg);
    int ThreadState() const { return nThreadState.load(); }

protected:
    virtual void Run() = 0;
    virtual void OnStart() {}
    // True once a stop was asked for; never waits.
    bool StopRequested() const { return bStopRequested.load(std::memory_order_acquire); }
    // Sleeps up to `ms` (negative: until woken), returning early when woken
    // or when a stop is asked for (then true).
    bool SleepUnlessStopped(int64_t ms);

private:
    static void Entry(void* self);

    std::atomic<sys::ThreadHandle> hThread{nullptr};
    CTesEvent oStopEvent;
    CTesEvent oStartedEvent;
    std::atomic<bool> bStopRequested{false};
    std::atomic<int> nThreadState{kNeverStarted};
};

}  // namespace tes
