// Thread wrapper: start handshake, cooperative stop and join.
#include "transport/tes_thread.h"

namespace tes {

namespace {
// The thread object whose Run the calling thread executes, if any.
thread_local const CTesThread* tCurrentThread = nullptr;
}  // namespace

bool CTesThread::IsCurrent() const {
    return tCurrentThread == this;
}

bool CTesThread::StartDetached(void (*entry)(void*), void* arg) {
    const sys::ThreadHandle thread = sys::StartThread(entry, arg);
    if (thread == nullptr) return false;
    sys::DetachThread(thread);
    return true;
}

CTesThread::~CTesThread() {
    StopAndJoin();
}

bool CTesThread::Start() {
    const int state = nThreadState.load();
    if (state == kStarting || state == kRunning) return false;
    if (sys::ThreadHandle ended = hThread.exchange(nullptr)) sys::JoinThread(ended);
    nThreadState.store(kStarting);
    bStopRequested.store(false, std::memory_order_release);
    oStopEvent.Reset();
    hThread.store(sys::StartThread(&CTesThread::Entry, this), std::memory_order_release);
    if (hThread.load() == nullptr) {
        nThreadState.store(kEnded);
        return false;
    }
    oStartedEvent.Wait(-1);
    return true;
}

void CTesThread::RequestStop() {
    bStopRequested.store(true, std::memory_order_release);
    oStopEvent.Signal();
}

void CTesThread::StopAndJoin() {
    sys::ThreadHandle thread = hThread.load();
    if (thread == nullptr) return;
    RequestStop();
    sys::JoinThread(thread);
    hThread.store(nullptr);
    oStopEvent.Reset();
}

bool CTesThread::SleepUnlessStopped(int64_t ms) {
    if (StopRequested()) return true;
    oStopEvent.Wait(ms);
    return StopRequested();
}

void CTesThread::Entry(void* self) {
    auto* thread = static_cast<CTesThread*>(self);
    tCurrentThread = thread;
    // Nothing leaves a thread's entry as an exception: one would end the
    // application's process. A thread that fails is simply over; Start
    // still returns, since the starter waits for the handshake.
    bool started = false;
    try {
        thread->OnStart();
        thread->nThreadState.store(kRunning);
        started = true;
        thread->oStartedEvent.Signal();
        thread->Run();
    } catch (...) {
    }
    if (!started) thread->oStartedEvent.Signal();
    thread->nThreadState.store(kEnded);
}

}  // namespace tes
