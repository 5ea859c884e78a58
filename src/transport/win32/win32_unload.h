// How the Win32 platform layer behaves while the DLL is being unloaded. The
// DLL's load hook sets the mode before it releases the handles; nothing else
// changes it. Transport layer, Windows only.
#pragma once

namespace tes::sys::win32 {

enum class UnloadMode : int {
    // Normal operation.
    kNone = 0,
    // FreeLibrary: the loader lock is held by the unloading thread. A thread
    // cannot end while that lock is held, so a join waits only until the
    // thread has left the library's code (it ends once the lock is free), and
    // Winsock is not cleaned up (WSACleanup must not run under the lock).
    kFreeLibrary = 1,
    // Process exit: every other thread is gone already. Waits on events do
    // not block (nobody is left to signal them); joins return once the thread
    // has left the library's code or has been ended by the system.
    kProcessExit = 2,
};

void SetUnloadMode(UnloadMode mode);
UnloadMode CurrentUnloadMode();

}  // namespace tes::sys::win32
