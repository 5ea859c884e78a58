// Windows side of console.h: a console control handler sets the stop flag
// for Ctrl-C, Ctrl-Break and the console window closing; _isatty. Program
// layer.
#include <io.h>
#include <windows.h>

#include <atomic>

#include "console.h"

namespace console {

namespace {

std::atomic<bool> gStop{false};
// The handler is registered once however often CatchStopRequests is called.
std::atomic<bool> gHandlerInstalled{false};

// Windows calls this on a thread of its own.
BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            gStop.store(true);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The process ends when this returns: give the main thread the time
            // to close its connections (Windows allows a close handler 5 s; the
            // main loops look at the flag at least every 200 ms).
            gStop.store(true);
            Sleep(3000);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void CatchStopRequests() {
    if (!gHandlerInstalled.exchange(true)) SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool StopRequested() {
    return gStop.load();
}

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

}  // namespace console
