/* frames.c: open a CAN port of a gateway, configure it, write frames and
 * receive them by callback and then from the receive queue, close.
 *
 *   frames [HOST [CAN_PORT]]        (127.0.0.1, 0: a local tessara-sim)
 *
 * The connection is opened with "monitor" on, so it receives the frames it
 * writes itself: the example needs nothing else on the bus. */
#include <TessaraCan.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#ifdef _WIN32
#include <windows.h>
static void SleepMs(int ms) {
    Sleep((DWORD)ms);
}
#else
static void SleepMs(int ms) {
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}
#endif

static atomic_int gReceived;

/* Runs on the connection's receive thread; pData is valid only during the
 * call. Printing here is fine; requests on this handle are not (see the
 * reference: their confirmation would be read by this very thread). */
static void TESSARA_CALLBACK OnFrame(int nIdentifier, const char* pData, int nLength, int nFlags,
                                     int nHandle, int nSeconds, int nMicroseconds) {
    printf("callback: handle %d frame %X%s%s, %d bytes:", nHandle, (unsigned)nIdentifier,
           (nFlags & 1) ? " extended" : "", (nFlags & 2) ? " remote" : "", nLength);
    for (int i = 0; i < nLength; ++i) printf(" %02X", (unsigned char)pData[i]);
    printf(" at %d.%06d\n", nSeconds, nMicroseconds);
    atomic_fetch_add(&gReceived, 1);
}

/* Prints the library's message for a failed call and says whether it failed. */
static int Failed(const char* what, int rc) {
    if (rc == 0) return 0;
    char message[128];
    CANErrorMessage(rc, message, sizeof message);
    fprintf(stderr, "frames: %s: %s (0x%X)\n", what, message, (unsigned)rc);
    return 1;
}

static int WriteThree(int handle) {
    const char data[2] = {0x11, 0x22};
    const char more[3] = {0x00, 0x11, 0x22};
    int rc = CANWrite(handle, 0x123, data, 2, 0);               /* standard */
    if (rc == 0) rc = CANWrite(handle, 0x1ABCDEF0, more, 3, 1); /* extended: flag bit 0 */
    if (rc == 0) rc = CANWrite(handle, 0x7FF, NULL, 0, 2);      /* remote: flag bit 1 */
    return rc;
}

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    const int canPort = argc > 2 ? atoi(argv[2]) : 0;
    char text[64];
    DLLInfo(text, sizeof text);
    printf("library: %s\n", text);

    int handle = -1;
    /* No frame confirmation, monitor on, 2000 ms for every request. */
    int rc = CANOpenDevice(&handle, 0, 1, canPort, host, 2000);
    if (Failed("open", rc)) return 1;
    printf("opened %s CAN port %d: handle %d, state %d\n", host, canPort, handle,
           CANDeviceConnectState(handle));

    /* 500 kbit/s, normal mode, termination on, high-speed transceiver, time stamps on. */
    int ok = !Failed("configure", CANSetGlobals(handle, 500000, 0, 1, 1, 1));
    int baudrate = 0, termination = 0, highSpeed = 0, timestamps = 0;
    unsigned char mode = 0;
    if (ok)
        ok = !Failed("read configuration", CANGetGlobals(handle, &baudrate, &mode, &termination,
                                                         &highSpeed, &timestamps));
    if (ok) printf("bit rate %d, mode %u, time stamps %d\n", baudrate, mode, timestamps);

    /* Frames by callback. */
    if (ok) ok = !Failed("set callback", CANSetCallbackEx(handle, OnFrame));
    if (ok) ok = !Failed("write", WriteThree(handle));
    for (int waited = 0; ok && atomic_load(&gReceived) < 3 && waited < 2000; waited += 10)
        SleepMs(10);
    if (ok && atomic_load(&gReceived) < 3) {
        fprintf(stderr, "frames: only %d of 3 frames arrived\n", atomic_load(&gReceived));
        ok = 0;
    }

    /* Frames from the queue: no callback, queueing on. */
    if (ok) ok = !Failed("clear callback", CANSetCallbackEx(handle, NULL));
    if (ok) ok = !Failed("queue size", CANSetMaxSizePerQueue(handle, 100));
    if (ok) ok = !Failed("write", WriteThree(handle));
    int taken = 0;
    for (int waited = 0; ok && taken < 3 && waited < 2000;) {
        int available = -1, identifier = 0, flags = 0, seconds = 0, microseconds = 0;
        unsigned char length = 0;
        char data[64]; /* CANGetMessage writes up to 64 bytes */
        rc = CANGetMessage(handle, &available, &identifier, data, &length, &flags, &seconds,
                           &microseconds);
        if (Failed("get message", rc)) {
            ok = 0;
        } else if (available < 0) {
            SleepMs(10); /* the queue is empty: nothing waits, so poll */
            waited += 10;
        } else {
            printf("queue: frame %X, %u bytes, %d more queued\n", (unsigned)identifier, length,
                   available);
            ++taken;
        }
    }
    if (ok && taken < 3) {
        fprintf(stderr, "frames: only %d of 3 frames were queued\n", taken);
        ok = 0;
    }

    if (Failed("close", CANCloseDevice(handle))) ok = 0;
    printf("closed\n");
    return ok ? 0 : 1;
}
