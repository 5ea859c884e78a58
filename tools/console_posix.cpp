// POSIX side of console.h: SIGINT and SIGTERM set the stop flag (sigaction,
// restarting interrupted calls), isatty. Program layer.
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "console.h"

namespace console {

namespace {

// Lock-free, hence safe to set from a signal handler.
std::atomic<bool> gStop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set in a signal handler");

extern "C" void OnStopSignal(int) {
    gStop.store(true);
}

}  // namespace

void CatchStopRequests() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // The library's threads block in socket calls; those go on after a signal.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() {
    return gStop.load();
}

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

}  // namespace console
