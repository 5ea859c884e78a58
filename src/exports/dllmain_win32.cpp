// Load and unload hook of the Windows DLLs (TessaraCan, TessaraCanVB6,
// TessaraCan64). Library interface layer.
//
// Process attach switches thread notifications off. Process detach releases
// every handle that is still open: each connection says DISCONNECT to its
// gateway, closes its socket and stops its threads. The loader lock is held
// meanwhile, so the platform layer is told first how to wait
// (sys::PrepareUnload): for FreeLibrary a join waits until the thread has left
// the library's code, not for its end, which the loader lock would hold up;
// at process exit the other threads are gone and nothing waits for them.
#include <windows.h>

#include "api/handle_table.h"
#include "transport/platform.h"

namespace {

void ReleaseEverything(bool processExit) noexcept {
    tes::sys::PrepareUnload(processExit);
    try {
        // FreeLibrary also frees the handle table (its memory would leak with
        // every load and unload); at process exit the memory goes anyway.
        if (processExit)
            tes::ReleaseAllDeviceHandles();
        else
            tes::ShutDownDeviceHandles();
    } catch (...) {
        // The hook always reports success; nothing may leave it.
    }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH: {
            DisableThreadLibraryCalls(module);
            // A thread leaving the library returns through the C runtime's
            // thread start code; keeping the runtime mapped keeps that path
            // valid even when this DLL held the runtime's last reference.
            // Winsock stays too: the unload leaves its start-up references
            // in place (no WSACleanup under the loader lock), and a Winsock
            // that was used and unloaded may not start again in the process.
            HMODULE pinned = nullptr;
            GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN, "msvcrt.dll", &pinned);
            GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN, "ws2_32.dll", &pinned);
            break;
        }
        case DLL_PROCESS_DETACH:
            ReleaseEverything(reserved != nullptr);
            break;
        default:
            break;
    }
    return TRUE;
}
