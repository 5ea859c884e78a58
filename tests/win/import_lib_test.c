/* Links against an MSVC-style import library (TessaraCan.lib, TessaraCan64.lib
 * or, built with TESSARA_STDCALL, TessaraCanVB6.lib) the way an application
 * does: the header's dllimport declarations, no LoadLibrary. It takes the
 * address of every exported function, so that the program only starts when
 * the DLL has each name the library promised, then calls a few that need no
 * gateway. Windows-only test. */
#include <stdio.h>
#include <string.h>

#include "TessaraCan.h"

typedef void (*AnyFunction)(void);

/* exported_functions.h: TESSARA_EXPORTED(Name) per line of exports.txt. */
#define TESSARA_EXPORTED(name) {#name, (AnyFunction)(name)},
static const struct {
    const char* sName;
    AnyFunction pFunction;
} kFunctions[] = {
#include "exported_functions.h"
};
#undef TESSARA_EXPORTED

static int gFailures = 0;

static void Expect(int ok, const char* what) {
    printf("%-60s %s\n", what, ok ? "ok" : "FAILED");
    if (!ok) ++gFailures;
}

int main(void) {
    const size_t count = sizeof kFunctions / sizeof kFunctions[0];
    size_t resolved = 0;
    for (size_t i = 0; i < count; ++i) {
        if (kFunctions[i].pFunction != NULL) ++resolved;
    }
    Expect(count == 46 && resolved == count, "46 functions resolved through the import library");

    char text[64];
    memset(text, 'x', sizeof text);
    const int written = DLLInfo(text, (int)sizeof text);
    Expect(written == 27 && strcmp(text, "Tessara CAN DLL V1.11-2.13") == 0,
           "DLLInfo: \"Tessara CAN DLL V1.11-2.13\", 27 bytes");

    /* A handle that was never issued. */
    Expect(CANCloseDevice(424242) == 0x900000, "CANCloseDevice on no handle: 0x900000");
    Expect(CANErrorMessage(0x900000, NULL, 16) == 0, "CANErrorMessage into no buffer: 0");
    Expect(CANErrorMessage(0x900000, text, (int)sizeof text) > 1, "CANErrorMessage: a text");

    printf("%s\n", gFailures == 0 ? "import library: all passed" : "import library: FAILED");
    return gFailures == 0 ? 0 : 1;
}
