/* Consumer of the installed library: prints the version text and the
 * message of the result code given as its argument (default 0x224). */
#include <TessaraCan.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    char text[256];
    const int code = argc > 1 ? (int)strtol(argv[1], NULL, 0) : 0x224;
    if (DLLInfo(text, (int)sizeof text) <= 1) return 1;
    printf("version: %s\n", text);
    if (CANErrorMessage(code, text, (int)sizeof text) <= 1) return 1;
    printf("0x%X: %s\n", (unsigned)code, text);
    return 0;
}
