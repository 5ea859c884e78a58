/* canopen.c: CANopen through the gateway's manager: switch the port to
 * CANopen mode, start a node with NMT, read and write its object dictionary
 * by SDO, and receive its PDOs by callback.
 *
 *   canopen [HOST [CAN_PORT [NODE]]]     (127.0.0.1, 0, 5: tessara-sim --node 5)
 *
 * The PDO round trip: the example sends receive PDO 1 of the node (PDO type
 * 5) and a SYNC; an operational node answers every SYNC with transmit PDO 1
 * (type 1), which the callback below receives. */
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

enum { kNmtStart = 0x01, kNmtEnterPreOperational = 0x80 };
enum { kSdoAborted = 0x80, kSdoWritten = 0x60 };
enum { kSdoTimeoutMs = 1000 }; /* the library waits up to twice this */

static atomic_int gPdos;

/* Receive thread: data valid only during the call. */
static void TESSARA_CALLBACK OnPdo(unsigned char cNodeId, unsigned char cPdoType,
                                   unsigned char cLength, const char* pData, int nHandle,
                                   int nReserved1, int nReserved2) {
    (void)nHandle, (void)nReserved1, (void)nReserved2;
    printf("PDO: node %u type %u, %u bytes:", cNodeId, cPdoType, cLength);
    for (int i = 0; i < cLength; ++i) printf(" %02X", (unsigned char)pData[i]);
    printf("\n");
    atomic_fetch_add(&gPdos, 1);
}

static int Failed(const char* what, int rc) {
    if (rc == 0) return 0;
    char message[128];
    CANErrorMessage(rc, message, sizeof message);
    fprintf(stderr, "canopen: %s: %s (0x%X)\n", what, message, (unsigned)rc);
    return 1;
}

/* An SDO read of one entry; the node's answer is in the reply byte. */
static int ReadEntry(int handle, int node, int index, int subindex, unsigned* value) {
    unsigned char reply = 0;
    int raw = 0;
    int rc = CANopenSendSDORead(handle, node, index, subindex, kSdoTimeoutMs, &reply, &raw);
    if (Failed("SDO read", rc)) return 1;
    if (reply == kSdoAborted) {
        fprintf(stderr, "canopen: SDO read %04X:%d aborted: 0x%08X\n", index, subindex,
                (unsigned)raw);
        return 1;
    }
    *value = (unsigned)raw;
    printf("SDO read %04X:%d = 0x%X (reply 0x%02X)\n", index, subindex, *value, reply);
    return 0;
}

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    const int canPort = argc > 2 ? atoi(argv[2]) : 0;
    const int node = argc > 3 ? atoi(argv[3]) : 5;

    int handle = -1;
    if (Failed("open", CANOpenDevice(&handle, 0, 0, canPort, host, 2000))) return 1;
    int ok = !Failed("CANopen mode on", CANopenSetConfig(handle, 1));
    if (ok)
        ok = !Failed("set callbacks", CANopenSetCallback(handle, OnPdo, NULL, NULL, NULL, NULL));
    if (ok) ok = !Failed("NMT start", CANopenSendNMT(handle, node, kNmtStart));
    if (ok) printf("NMT: node %d started\n", node);

    unsigned value = 0;
    if (ok) ok = !ReadEntry(handle, node, 0x1000, 0, &value); /* device type */

    /* Producer heartbeat time (0x1017, 2 bytes): write 0, read it back. */
    unsigned char reply = 0;
    int result = 0;
    if (ok)
        ok = !Failed("SDO write", CANopenSendSDOWrite(handle, node, 2, 0x1017, 0, kSdoTimeoutMs, 0,
                                                      &reply, &result));
    if (ok && reply != kSdoWritten) {
        fprintf(stderr, "canopen: SDO write refused: reply 0x%02X, 0x%08X\n", reply,
                (unsigned)result);
        ok = 0;
    }
    if (ok) printf("SDO write 1017:0 = 0\n");
    if (ok) ok = !ReadEntry(handle, node, 0x1017, 0, &value);

    /* Longer entries come by block transfer: the device name (0x1008). */
    char name[64];
    int length = 0;
    if (ok)
        ok = !Failed("SDO block read",
                     CANopenSendSDOReadBlock(handle, node, 0x1008, 0, kSdoTimeoutMs,
                                             sizeof name - 1, &reply, &length, name));
    if (ok) {
        name[length] = '\0';
        printf("SDO block read 1008:0 = \"%s\"\n", name);
    }

    /* PDO round trip. */
    const char image[4] = {0x01, 0x02, 0x03, 0x04};
    if (ok) ok = !Failed("PDO", CANopenSendPDO(handle, node, 5, sizeof image, image));
    if (ok) ok = !Failed("SYNC", CANopenSendSYNC(handle));
    for (int waited = 0; ok && atomic_load(&gPdos) < 1 && waited < 2000; waited += 10) SleepMs(10);
    if (ok && atomic_load(&gPdos) < 1) {
        fprintf(stderr, "canopen: no PDO arrived\n");
        ok = 0;
    }

    if (ok)
        ok = !Failed("NMT pre-operational", CANopenSendNMT(handle, node, kNmtEnterPreOperational));
    CANopenSetConfig(handle, 0);
    if (Failed("close", CANCloseDevice(handle))) ok = 0;
    printf("closed\n");
    return ok ? 0 : 1;
}
