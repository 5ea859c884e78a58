/* loader_test: uses one of the library's DLLs the way an application does.
 * It loads the DLL with LoadLibrary, resolves every name of exports.txt with
 * GetProcAddress (decorated _Name@bytes for TessaraCanVB6), and drives the
 * flat interface against a gateway simulator process: open, SET_GLOBALS and
 * GET_GLOBALS, frames back through a standard-convention callback and
 * through CANGetMessage, an SDO read, the texts, close, and FreeLibrary with
 * handles still open (which must neither hang nor crash, and must end the
 * links at the gateway).
 *
 * In the 32-bit builds every entry point is called through an assembly
 * helper that measures how many argument bytes the callee removed: 0 for
 * TessaraCan, the decorated byte count for TessaraCanVB6. A negative control
 * calls through a pointer of the wrong convention and must see the stack
 * pointer move.
 *
 * usage: loader_test DLL EXPORTS_TXT cdecl|stdcall|win64 [SIMULATOR_EXE]
 * (it runs itself as a child with --exiting-child ADDRESS PORT in place of
 * the simulator, to end a process with a handle open)
 */
#include <windows.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "test_timeout.h"

#if defined(_WIN64)
#define CALLBACK_CONVENTION
#else
#define CALLBACK_CONVENTION __stdcall
#endif

/* ------------------------------------------------------------ reporting */

static int gFailures = 0;
static int gChecks = 0;

static void Check(int ok, const char *what, ...) {
    va_list args;
    ++gChecks;
    if (ok) return;
    ++gFailures;
    va_start(args, what);
    fprintf(stderr, "FAILED: ");
    vfprintf(stderr, what, args);
    fprintf(stderr, "\n");
    va_end(args);
    fflush(stderr);
}

static void Fatal(const char *what) {
    fprintf(stderr, "FATAL: %s\n", what);
    fflush(stderr);
    ExitProcess(2);
}

static DWORD Scaled(DWORD ms) {
    return ms * (DWORD)TesTestTimeoutScale();
}

/* ------------------------------------------------------------ entry points */

#define MAX_EXPORTS 64
#define MAX_ARGS 14

typedef struct {
    char sName[64];
    int nBytes;
    FARPROC pFunction;
} Export;

static Export gExports[MAX_EXPORTS];
static int gExportCount = 0;
static int gStdcall = 0; /* TessaraCanVB6: the callee removes the arguments */

static int ReadExportList(const char *path) {
    char line[256];
    FILE *f = fopen(path, "r");
    if (f == NULL) return 0;
    while (fgets(line, sizeof line, f) != NULL && gExportCount < MAX_EXPORTS) {
        Export *e = &gExports[gExportCount];
        if (!((line[0] >= 'A' && line[0] <= 'Z') || (line[0] >= 'a' && line[0] <= 'z'))) continue;
        if (sscanf(line, "%63s %d", e->sName, &e->nBytes) == 2) ++gExportCount;
    }
    fclose(f);
    return gExportCount;
}

static Export *FindExport(const char *name) {
    int i;
    for (i = 0; i < gExportCount; ++i) {
        if (strcmp(gExports[i].sName, name) == 0) return &gExports[i];
    }
    Fatal(name);
    return NULL;
}

static int ResolveAll(HMODULE dll) {
    int i, resolved = 0;
    for (i = 0; i < gExportCount; ++i) {
        char decorated[80];
        const char *lookup = gExports[i].sName;
        if (gStdcall) {
            snprintf(decorated, sizeof decorated, "_%s@%d", gExports[i].sName, gExports[i].nBytes);
            lookup = decorated;
        }
        gExports[i].pFunction = GetProcAddress(dll, lookup);
        Check(gExports[i].pFunction != NULL, "GetProcAddress(%s)", lookup);
        /* The plain name must not be there as well in the decorated build. */
        if (gStdcall) {
            Check(GetProcAddress(dll, gExports[i].sName) == NULL, "undecorated %s is exported",
                  gExports[i].sName);
        }
        if (gExports[i].pFunction != NULL) ++resolved;
    }
    return resolved;
}

#if defined(_WIN64)
typedef intptr_t (*AnyFunction)(intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t,
                                 intptr_t, intptr_t, intptr_t, intptr_t, intptr_t, intptr_t,
                                 intptr_t, intptr_t);
#else
/* int MeasuredCall(FARPROC f, int count, const intptr_t *args, int *removed):
 * pushes the arguments, calls f, and reports how many bytes f removed from
 * the stack. The stack pointer is restored from the frame, so a wrong
 * convention is measured, not suffered. */
int MeasuredCall(FARPROC f, int count, const intptr_t *args, int *removed);
__asm__(
    ".text\n"
    ".globl _MeasuredCall\n"
    "_MeasuredCall:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    pushl %ebx\n"
    "    movl 12(%ebp), %ecx\n"
    "    movl 16(%ebp), %esi\n"
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    decl %ecx\n"
    "    pushl (%esi,%ecx,4)\n"
    "    jmp 1b\n"
    "2:  movl %esp, %edi\n"
    "    call *8(%ebp)\n"
    "    movl %esp, %ecx\n"
    "    subl %edi, %ecx\n"
    "    movl 20(%ebp), %edx\n"
    "    movl %ecx, (%edx)\n"
    "    leal -12(%ebp), %esp\n"
    "    popl %ebx\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebp\n"
    "    ret\n");
#endif

/* Calls an export with `count` arguments; checks that the count agrees with
 * the byte column of exports.txt and, on 32-bit, who removed the arguments. */
static intptr_t Call(const char *name, int count, ...) {
    intptr_t args[MAX_ARGS] = {0};
    Export *e = FindExport(name);
    va_list list;
    int i;
    if (e->pFunction == NULL) Fatal(name);
    va_start(list, count);
    for (i = 0; i < count; ++i) args[i] = va_arg(list, intptr_t);
    va_end(list);
    Check(count * 4 == e->nBytes, "%s called with %d arguments, listed with %d bytes", name, count,
          e->nBytes);
#if defined(_WIN64)
    return ((AnyFunction)(void *)e->pFunction)(args[0], args[1], args[2], args[3], args[4], args[5],
                                               args[6], args[7], args[8], args[9], args[10],
                                               args[11], args[12], args[13]);
#else
    {
        int removed = -1;
        const int result = MeasuredCall(e->pFunction, count, args, &removed);
        const int expected = gStdcall ? e->nBytes : 0;
        Check(removed == expected, "%s removed %d argument bytes, expected %d", name, removed,
              expected);
        return result;
    }
#endif
}

#define ARG(x) ((intptr_t)(x))

/* ------------------------------------------------------------ callbacks */

#define MAX_FRAMES 64

static CRITICAL_SECTION gFrameLock;
static HANDLE gFramesArrived;
static volatile LONG gFrameCount = 0;
static LONG gFrameTarget = 0;
static int gFrameIds[MAX_FRAMES];
static char gFrameData[MAX_FRAMES][8];
static int gFrameLengths[MAX_FRAMES];
static int gFrameHandles[MAX_FRAMES];
static uintptr_t gFrameSlots[MAX_FRAMES]; /* where the first argument lay */

static void CALLBACK_CONVENTION OnFrame(int nIdentifier, const char *pData, int nLength,
                                        int nFlags, int nHandle) {
    LONG n;
    (void)nFlags;
    EnterCriticalSection(&gFrameLock);
    n = gFrameCount;
    if (n < MAX_FRAMES) {
        gFrameIds[n] = nIdentifier;
        gFrameLengths[n] = nLength;
        gFrameHandles[n] = nHandle;
        memcpy(gFrameData[n], pData, nLength > 8 ? 8 : (nLength < 0 ? 0 : nLength));
        gFrameSlots[n] = (uintptr_t)&nIdentifier;
    }
    gFrameCount = n + 1;
    if (gFrameCount == gFrameTarget) SetEvent(gFramesArrived);
    LeaveCriticalSection(&gFrameLock);
}

static void ExpectFrames(LONG count) {
    EnterCriticalSection(&gFrameLock);
    gFrameCount = 0;
    gFrameTarget = count;
    ResetEvent(gFramesArrived);
    LeaveCriticalSection(&gFrameLock);
}

/* ------------------------------------------------------------ simulator */

static HANDLE gSimProcess = NULL;
static CRITICAL_SECTION gOutputLock;
static char *gOutput = NULL;
static size_t gOutputLength = 0;
static size_t gOutputCapacity = 0;

static DWORD WINAPI ReadSimulatorOutput(LPVOID pipe) {
    char chunk[512];
    DWORD got = 0;
    while (ReadFile((HANDLE)pipe, chunk, sizeof chunk, &got, NULL) && got > 0) {
        EnterCriticalSection(&gOutputLock);
        if (gOutputLength + got + 1 > gOutputCapacity) {
            size_t capacity = gOutputCapacity * 2 + got + 4096;
            char *grown = (char *)realloc(gOutput, capacity);
            if (grown == NULL) Fatal("out of memory");
            gOutput = grown;
            gOutputCapacity = capacity;
        }
        memcpy(gOutput + gOutputLength, chunk, got);
        gOutputLength += got;
        gOutput[gOutputLength] = '\0';
        LeaveCriticalSection(&gOutputLock);
    }
    return 0;
}

/* Offset just past the first `needle` found at or after `from` within
 * `timeoutMs`, or 0. */
static size_t WaitForOutput(const char *needle, size_t from, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        size_t found = 0;
        EnterCriticalSection(&gOutputLock);
        if (gOutput != NULL && from <= gOutputLength) {
            const char *hit = strstr(gOutput + from, needle);
            if (hit != NULL) found = (size_t)(hit - gOutput) + strlen(needle);
        }
        LeaveCriticalSection(&gOutputLock);
        if (found != 0) return found;
        if (GetTickCount() - start > timeoutMs) return 0;
        Sleep(10);
    }
}

static size_t OutputMark(void) {
    size_t n;
    EnterCriticalSection(&gOutputLock);
    n = gOutputLength;
    LeaveCriticalSection(&gOutputLock);
    return n;
}

static void DumpOutput(void) {
    EnterCriticalSection(&gOutputLock);
    fprintf(stderr, "---- simulator output ----\n%s\n----\n", gOutput != NULL ? gOutput : "");
    LeaveCriticalSection(&gOutputLock);
}

static int StartSimulator(const char *exe, const char *address, int canPort) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    HANDLE readEnd = NULL, writeEnd = NULL;
    char command[512];
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return 0;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    /* One link per CAN port: a second open succeeds only once the gateway has
     * seen the first one end. No datagram endpoint: wine binds those to the
     * wildcard address, which runs of the other builds may hold. */
    snprintf(command, sizeof command, "\"%s\" --bind %s --ports %d --no-udp --node 5@%d --max-links 1", exe,
             address, canPort, canPort);
    if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        return 0;
    }
    CloseHandle(writeEnd);
    CloseHandle(process.hThread);
    gSimProcess = process.hProcess;
    CloseHandle(CreateThread(NULL, 0, ReadSimulatorOutput, readEnd, 0, NULL));
    return WaitForOutput("listening on", 0, Scaled(20000)) != 0;
}

static void StopSimulator(void) {
    if (gSimProcess == NULL) return;
    TerminateProcess(gSimProcess, 0);
    WaitForSingleObject(gSimProcess, 5000);
    CloseHandle(gSimProcess);
    gSimProcess = NULL;
}

/* ------------------------------------------------------------ watchdog */

static volatile LONG gWatchdogArmed = 0;
static const char *volatile gWatchdogStep = "";
static HANDLE gWatchdogEvent;

static DWORD WINAPI Watchdog(LPVOID unused) {
    (void)unused;
    for (;;) {
        WaitForSingleObject(gWatchdogEvent, INFINITE);
        if (WaitForSingleObject(gWatchdogEvent, Scaled(30000)) == WAIT_TIMEOUT && gWatchdogArmed) {
            fprintf(stderr, "FATAL: hung in %s\n", gWatchdogStep);
            fflush(stderr);
            StopSimulator();
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
    return 0;
}

/* Arms the watchdog for one step; Disarm ends it. */
static void Arm(const char *step) {
    gWatchdogStep = step;
    gWatchdogArmed = 1;
    SetEvent(gWatchdogEvent);
}

static void Disarm(void) {
    gWatchdogArmed = 0;
    SetEvent(gWatchdogEvent);
}

/* ------------------------------------------------------------ the steps */

static HMODULE Load(const char *path) {
    HMODULE dll = LoadLibraryA(path);
    if (dll == NULL) Fatal("LoadLibrary failed");
    Check(ResolveAll(dll) == gExportCount, "not every export resolved");
    return dll;
}

static void CheckTexts(void) {
    char buffer[128];
    intptr_t n;
    memset(buffer, 'x', sizeof buffer);
    n = Call("DLLInfo", 2, ARG(buffer), ARG(sizeof buffer));
    Check(n == 27 && strcmp(buffer, "Tessara CAN DLL V1.11-2.13") == 0, "DLLInfo gave %d '%s'", (int)n,
          buffer);
    memset(buffer, 'x', sizeof buffer);
    n = Call("DLLInfo", 2, ARG(buffer), ARG(10));
    Check(n == 10 && strcmp(buffer, "Tessara C") == 0 && buffer[10] == 'x', "DLLInfo(10) gave %d",
          (int)n);
    Check(Call("DLLInfo", 2, ARG(buffer), ARG(0)) == 0, "DLLInfo(size 0)");
    n = Call("CANErrorMessage", 3, ARG(0), ARG(buffer), ARG(100));
    Check(n == 9 && strcmp(buffer, "no error") == 0, "CANErrorMessage(0) gave %d '%s'", (int)n,
          buffer);
    n = Call("CANErrorMessage", 3, ARG(0x900000), ARG(buffer), ARG(100));
    Check(n > 1 && (size_t)n == strlen(buffer) + 1, "CANErrorMessage(0x900000) gave %d", (int)n);
    Check(Call("CANCloseDevice", 1, ARG(4711)) == 0x900000, "close of an unknown handle");
    Check(Call("CANDeviceConnectState", 1, ARG(4711)) == 0x900000, "state of an unknown handle");
}

#if !defined(_WIN64)
typedef int(__cdecl *InfoCdecl)(char *, int);
typedef int(__stdcall *InfoStdcall)(char *, int);

/* Stack pointer movement over one call made through a typed pointer. The
 * variable-length array makes the function restore its stack pointer from
 * the frame pointer on return, so a wrong convention is measured here
 * without breaking the caller. */
static __attribute__((noinline)) int DriftThroughCdecl(FARPROC f, int pad) {
    volatile char frame[pad];
    char buffer[64];
    uintptr_t before, after;
    frame[0] = 0;
    __asm__ __volatile__("movl %%esp, %0" : "=r"(before));
    ((InfoCdecl)(void *)f)(buffer, sizeof buffer);
    __asm__ __volatile__("movl %%esp, %0" : "=r"(after));
    return (int)(after - before) + frame[0];
}

static __attribute__((noinline)) int DriftThroughStdcall(FARPROC f, int pad) {
    volatile char frame[pad];
    char buffer[64];
    uintptr_t before, after;
    frame[0] = 0;
    __asm__ __volatile__("movl %%esp, %0" : "=r"(before));
    ((InfoStdcall)(void *)f)(buffer, sizeof buffer);
    __asm__ __volatile__("movl %%esp, %0" : "=r"(after));
    return (int)(after - before) + frame[0];
}

/* Read at run time, so that the array above really has a variable length. */
static volatile int gFramePad = 16;

static void CheckConventionThroughPointers(void) {
    FARPROC info = FindExport("DLLInfo")->pFunction;
    const int right = gStdcall ? DriftThroughStdcall(info, gFramePad) : DriftThroughCdecl(info, gFramePad);
    const int wrong = gStdcall ? DriftThroughCdecl(info, gFramePad) : DriftThroughStdcall(info, gFramePad);
    Check(right == 0, "DLLInfo through a pointer of its own convention moved ESP by %d", right);
    /* Negative control: the other convention must leave ESP 8 bytes off. */
    Check(wrong == (gStdcall ? 8 : -8), "negative control: the wrong convention moved ESP by %d",
          wrong);
}
#endif

static int Open(const char *address, int canPort, int *handle) {
    *handle = 0;
    return (int)Call("CANOpenDevice", 6, ARG(handle), ARG(0), ARG(1), ARG(canPort), ARG(address),
                     ARG(Scaled(3000)));
}

static void CheckSession(const char *address, int canPort) {
    int handle = 0, second = 0, i;
    int baud = -1, termination = -1, highSpeed = -1, timestamp = -1;
    unsigned char mode = 0xEE, replyByte = 0xEE;
    int replyValue = 0;
    const char data[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, (char)0x88};
    const int frames = 20;

    Check(Open(address, canPort, &handle) == 0 && handle > 0, "CANOpenDevice gave handle %d", handle);
    Check(Call("CANDeviceConnectState", 1, ARG(handle)) == 3, "connected state");
    Check(Open(address, canPort, &second) == 1 && second == -1,
          "a second link to a port that takes one is refused with 0x1 (handle %d)", second);

    Check(Call("CANSetGlobals", 6, ARG(handle), ARG(500000), ARG(0), ARG(1), ARG(7), ARG(0)) == 0,
          "CANSetGlobals");
    Check(Call("CANGetGlobals", 6, ARG(handle), ARG(&baud), ARG(&mode), ARG(&termination),
               ARG(&highSpeed), ARG(&timestamp)) == 0,
          "CANGetGlobals");
    Check(baud == 500000 && mode == 0 && termination == 1 && highSpeed == 1 && timestamp == 0,
          "GET_GLOBALS gave %d %d %d %d %d", baud, mode, termination, highSpeed, timestamp);

    /* Frames written with the monitor flag come back: first by callback. */
    ExpectFrames(frames);
    Check(Call("CANSetCallback", 2, ARG(handle), ARG(OnFrame)) == 0, "CANSetCallback");
    for (i = 0; i < frames; ++i) {
        Check(Call("CANWrite", 5, ARG(handle), ARG(0x100 + i), ARG(data), ARG(1 + i % 8), ARG(0)) == 0,
              "CANWrite %d", i);
    }
    Check(WaitForSingleObject(gFramesArrived, Scaled(5000)) == WAIT_OBJECT_0,
          "%d of %d frames reached the callback", (int)gFrameCount, frames);
    EnterCriticalSection(&gFrameLock);
    for (i = 0; i < frames && i < gFrameCount; ++i) {
        Check(gFrameIds[i] == 0x100 + i && gFrameLengths[i] == 1 + i % 8 &&
                  memcmp(gFrameData[i], data, (size_t)gFrameLengths[i]) == 0 &&
                  gFrameHandles[i] == handle,
              "frame %d arrived as id %x length %d", i, gFrameIds[i], gFrameLengths[i]);
        /* A callback that got the convention wrong would shift the stack of
         * the receive thread between calls. */
        Check(gFrameSlots[i] == gFrameSlots[0], "callback arguments moved by %d bytes at frame %d",
              (int)(gFrameSlots[i] - gFrameSlots[0]), i);
    }
    LeaveCriticalSection(&gFrameLock);

    /* Then through the queue. */
    Check(Call("CANSetCallback", 2, ARG(handle), ARG(0)) == 0, "CANSetCallback(null)");
    Check(Call("CANSetMaxSizePerQueue", 2, ARG(handle), ARG(16)) == 0, "CANSetMaxSizePerQueue");
    for (i = 0; i < 3; ++i) {
        Check(Call("CANWrite", 5, ARG(handle), ARG(0x200 + i), ARG(data), ARG(8), ARG(0)) == 0,
              "CANWrite to the queue %d", i);
    }
    /* The gateway answers in order on the stream: once this confirmation is
     * in, the three frames before it are queued. */
    Check(Call("CANGetGlobals", 6, ARG(handle), ARG(&baud), ARG(&mode), ARG(&termination),
               ARG(&highSpeed), ARG(&timestamp)) == 0,
          "CANGetGlobals after the frames");
    {
        int got = 0;
        const DWORD start = GetTickCount();
        while (got < 3 && GetTickCount() - start < Scaled(5000)) {
            int available = -2, id = 0, flags = 0, seconds = 0, micros = 0;
            unsigned char length = 0;
            char buffer[64];
            Check(Call("CANGetMessage", 8, ARG(handle), ARG(&available), ARG(&id), ARG(buffer),
                       ARG(&length), ARG(&flags), ARG(&seconds), ARG(&micros)) == 0,
                  "CANGetMessage");
            if (available == -1) {
                Sleep(10);
                continue;
            }
            Check(id == 0x200 + got && length == 8 && memcmp(buffer, data, 8) == 0 &&
                      available == 2 - got,
                  "queued frame %d: id %x length %d, %d left", got, id, length, available);
            ++got;
        }
        Check(got == 3, "%d of 3 frames were queued", got);
    }

    /* An SDO read of the node's serial number (its node id) in CANopen mode. */
    Check(Call("CANopenSetConfig", 2, ARG(handle), ARG(1)) == 0, "CANopenSetConfig");
    Check(Call("CANopenSendSDORead", 7, ARG(handle), ARG(5), ARG(0x1018), ARG(4), ARG(1000),
               ARG(&replyByte), ARG(&replyValue)) == 0,
          "CANopenSendSDORead");
    Check(replyValue == 5, "SDO 0x1018/4 of node 5 gave %d (reply byte %d)", replyValue, replyByte);

    Check(Call("CANCloseDevice", 1, ARG(handle)) == 0, "CANCloseDevice");
    Check(Call("CANCloseDevice", 1, ARG(handle)) == 0x900000, "second CANCloseDevice");
    Check(Call("CANDeviceConnectState", 1, ARG(handle)) == 0x900000, "state after close");
}

/* FreeLibrary while a handle is open and frames are arriving: must return,
 * must say DISCONNECT to the gateway, and nothing may run in the unloaded
 * code afterwards. */
static void CheckUnloadWithOpenHandle(const char *path, const char *address, int canPort, int round) {
    int handle = 0, i;
    size_t mark;
    const char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    HMODULE dll = Load(path);
    int opened;
    opened = Open(address, canPort, &handle);
    Check(opened == 0, "round %d: open before unload gave 0x%x", round, opened);
    ExpectFrames(1000);
    Call("CANSetCallback", 2, ARG(handle), ARG(OnFrame));
    if (round % 2 == 1) Call("CANStartAlive", 2, ARG(handle), ARG(1));  /* a keep-alive thread too */
    for (i = 0; i < 10; ++i) Call("CANWrite", 5, ARG(handle), ARG(0x300 + i), ARG(data), ARG(8), ARG(0));
    mark = OutputMark();
    Arm("FreeLibrary with an open handle");
    Check(FreeLibrary(dll), "round %d: FreeLibrary", round);
    Disarm();
    Check(GetModuleHandleA(path) == NULL, "round %d: the DLL is still mapped", round);
    Check(WaitForOutput("DISCONNECT", mark, Scaled(3000)) != 0,
          "round %d: the gateway saw no DISCONNECT at unload", round);
    Check(WaitForOutput("closed", mark, Scaled(3000)) != 0,
          "round %d: the gateway saw the link stay open after unload", round);
}

/* Child process: ends with a handle open and frames arriving, so that the
 * library's unload runs at process exit. */
static int RunExitingChild(const char *path, const char *address, int canPort) {
    int handle = 0, i;
    const char data[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    HMODULE dll = Load(path);
    if (Open(address, canPort, &handle) != 0) return 4;
    ExpectFrames(1000);
    Call("CANSetCallback", 2, ARG(handle), ARG(OnFrame));
    Call("CANStartAlive", 2, ARG(handle), ARG(1));
    for (i = 0; i < 10; ++i) Call("CANWrite", 5, ARG(handle), ARG(0x400 + i), ARG(data), ARG(8), ARG(0));
    (void)dll;
    return gFailures == 0 ? 0 : 1; /* the C runtime's exit ends the process */
}

/* Process exit with an open handle must neither hang nor crash, and the
 * gateway must see the link end. */
static void CheckProcessExitWithOpenHandle(const char *self, const char *path, const char *exports,
                                           const char *mode, const char *address, int canPort) {
    char command[1024];
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    DWORD code = 99;
    const size_t mark = OutputMark();
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    snprintf(command, sizeof command, "\"%s\" \"%s\" \"%s\" %s --exiting-child %s %d", self, path,
             exports, mode, address, canPort);
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        Check(0, "could not start the exiting child");
        return;
    }
    CloseHandle(process.hThread);
    Check(WaitForSingleObject(process.hProcess, Scaled(20000)) == WAIT_OBJECT_0,
          "a process exiting with an open handle hangs");
    if (!GetExitCodeProcess(process.hProcess, &code) || code == STILL_ACTIVE) {
        TerminateProcess(process.hProcess, 5);
    }
    CloseHandle(process.hProcess);
    Check(code == 0, "the exiting child ended with code 0x%lx", (unsigned long)code);
    /* The unload hook sends DISCONNECT at process exit too, but the system
     * is ending the other threads meanwhile and a receive thread that sees
     * its wait cancelled first drops the link on its own; so only the end
     * of the link is certain. */
    Check(WaitForOutput("closed", mark, Scaled(3000)) != 0,
          "the gateway saw the link stay open after the process exit");
}

int main(int argc, char **argv) {
    const char *dllPath, *mode, *simulator;
    char address[32];
    const int canPort = 7;
    HMODULE dll;
    int round;

    if (argc < 4) {
        fprintf(stderr, "usage: loader_test DLL EXPORTS_TXT cdecl|stdcall|win64 [SIMULATOR_EXE]\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IONBF, 0);
    dllPath = argv[1];
    mode = argv[3];
    simulator = argc > 4 ? argv[4] : NULL;
    gStdcall = strcmp(mode, "stdcall") == 0;
#if defined(_WIN64)
    if (strcmp(mode, "win64") != 0) Fatal("a 64-bit loader test takes mode win64");
#else
    if (strcmp(mode, "win64") == 0) Fatal("a 32-bit loader test takes cdecl or stdcall");
#endif
    if (ReadExportList(argv[2]) != 46) Fatal("exports.txt does not list 46 names");
    if (argc > 6 && strcmp(argv[4], "--exiting-child") == 0) {
        InitializeCriticalSection(&gFrameLock);
        gFramesArrived = CreateEventA(NULL, TRUE, FALSE, NULL);
        return RunExitingChild(dllPath, argv[5], atoi(argv[6]));
    }

    InitializeCriticalSection(&gFrameLock);
    InitializeCriticalSection(&gOutputLock);
    gFramesArrived = CreateEventA(NULL, TRUE, FALSE, NULL);
    gWatchdogEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    CloseHandle(CreateThread(NULL, 0, Watchdog, NULL, 0, NULL));

    /* Without any handle: load, resolve, texts, unload. */
    dll = Load(dllPath);
    CheckTexts();
#if !defined(_WIN64)
    CheckConventionThroughPointers();
#endif
    Arm("FreeLibrary without handles");
    Check(FreeLibrary(dll), "FreeLibrary");
    Disarm();

    if (simulator != NULL) {
        /* A loopback address of its own, so that runs of the three builds can
         * share the machine. */
        const DWORD pid = GetCurrentProcessId();
        snprintf(address, sizeof address, "127.%u.%u.%u", 100u + (unsigned)(pid >> 16) % 100u,
                 (unsigned)(pid >> 8) & 0xFFu, 1u + (unsigned)pid % 250u);
        if (!StartSimulator(simulator, address, canPort)) {
            DumpOutput();
            Fatal("the simulator did not start");
        }
        dll = Load(dllPath);
        Arm("a session against the simulator");
        CheckSession(address, canPort);
        Disarm();
        Arm("FreeLibrary after the session");
        Check(FreeLibrary(dll), "FreeLibrary after the session");
        Disarm();

        for (round = 0; round < 4; ++round) CheckUnloadWithOpenHandle(dllPath, address, canPort, round);
        /* Threads that still ran the unloaded code would crash by now; the
         * gateway takes a new link only if every earlier one has ended. */
        Sleep(Scaled(1500));
        dll = Load(dllPath);
        {
            int handle = 0;
            Check(Open(address, canPort, &handle) == 0, "open after the unloads");
            Check(Call("CANCloseDevice", 1, ARG(handle)) == 0, "close after the unloads");
        }
        FreeLibrary(dll);
        CheckProcessExitWithOpenHandle(argv[0], dllPath, argv[2], mode, address, canPort);
        if (gFailures != 0) DumpOutput();
        StopSimulator();
    }

    printf("loader_test %s (%s): %d checks, %d failed\n", dllPath, mode, gChecks, gFailures);
    printf("%d passed, %d failed\n", gChecks - gFailures, gFailures);
    return gFailures == 0 ? 0 : 1;
}
