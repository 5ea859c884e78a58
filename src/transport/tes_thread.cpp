// Thread wrapper: start handshake, cooperative stop and join.
#include "transport/tes_thread.h"

namespace tes {

CTesThread::~CTesThread() { StopAndJoin(); }

bool CTesThread::Start() {
    const int state = nThreadState.load();
    if (state == kStarting || state == kRunning) return false;
    if (hThread != nullptr) {  // an earlier thread that has ended
        sys::JoinThread(hThread);
        hThread = nullptr;
    }
    nThreadState.store(kStarting);
    bStopRequested.store(false, std::memory_order_release);
    oStopEvent.Reset();
    hThread = sys::StartThread(&CTesThread::Entry, this);
    if (hThread == nullptr) {
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
    if (hThread == nullptr) return;
    RequestStop();
    sys::JoinThread(hThread);
    hThread = nullptr;
    oStopEvent.Reset();
}

bool CTesThread::SleepUnlessStopped(int64_t ms) {
    if (StopRequested()) return true;
    oStopEvent.Wait(ms);
    return StopRequested();
}

void CTesThread::Entry(void* self) {
    auto* thread = static_cast<CTesThread*>(self);
    thread->OnStart();
    thread->nThreadState.store(kRunning);
    thread->oStartedEvent.Signal();
    thread->Run();
    thread->nThreadState.store(kEnded);
}

}  // namespace tes
