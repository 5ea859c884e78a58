// Load and unload hook of the shared library on POSIX systems: every handle
// still open is closed (each connection disconnects first) when the library
// is unloaded or the process ends.
#include "api/handle_table.h"

namespace {
// An exception cannot leave an unload hook: it would end the process.
__attribute__((destructor)) void TessaraLibraryUnload() {
    try {
        tes::ShutDownDeviceHandles();
    } catch (...) {
    }
}
}  // namespace
