// `tessara-can demo`: starts a gateway simulator on loopback and walks
// through the library's interface against it, printing every step and the
// library's message for its result.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "TessaraCan.h"
#include "gateway.h"
#include "test_address.h"
#include "tool.h"
#include "transport/platform.h"

namespace tool {

namespace {

std::atomic<int> gFramesSeen{0};

void TESSARA_CALLBACK OnFrame(int id, const char* data, int length, int flags, int handle) {
    (void)data;
    (void)flags;
    std::printf("    callback: handle %d received frame 0x%X, %d bytes\n", handle, id, length);
    gFramesSeen.fetch_add(1);
}

void TESSARA_CALLBACK OnPdo(unsigned char node, unsigned char type, unsigned char length,
                            const char* data, int handle, int, int) {
    std::printf("    callback: handle %d PDO from node %u (type %u), %u bytes:", handle, node, type,
                length);
    for (int i = 0; i < length; ++i) std::printf(" %02X", static_cast<unsigned char>(data[i]));
    std::printf("\n");
    gFramesSeen.fetch_add(1);
}

bool WaitFrames(int count, int timeoutMs) {
    const int64_t deadline = tes::sys::MonotonicMs() + timeoutMs;
    while (gFramesSeen.load() < count && tes::sys::MonotonicMs() < deadline) tes::sys::SleepMs(5);
    return gFramesSeen.load() >= count;
}

}  // namespace

int RunDemo(const Options& options) {
    (void)options;
    tes::sim::Gateway gateway;
    tes::sim::GatewayOptions simOptions;
    gateway.AddNode(5);
    std::string error;
    if (!tes::sim::StartOnFreeLoopback(gateway, simOptions, &error)) {
        std::fprintf(stderr, "cannot start the simulator: %s\n", error.c_str());
        return 1;
    }
    const std::string address = gateway.BindAddress();
    std::printf("Simulated gateway listening on %s, CAN port 0 at TCP port %u\n", address.c_str(),
                gateway.TcpPort(0));
    char info[64];
    DLLInfo(info, sizeof info);
    std::printf("Library: %s\n\n", info);

    Steps steps;
    int a = -1, b = -1;
    steps.Check("open handle A on CAN port 0", CANOpenDevice(&a, 0, 0, 0, address.c_str(), 2000));
    steps.Check("open handle B on the same port", CANOpenDevice(&b, 0, 0, 0, address.c_str(), 2000));
    if (steps.Failed()) return 1;
    std::printf("    connection state of A: %d (3 = connected)\n", CANDeviceConnectState(a));

    steps.Check("set globals: 500 kbit/s, termination on, time stamps on",
                CANSetGlobals(a, 500000, 0, 1, 1, 1));
    int baud = 0, termination = 0, highSpeed = 0, timestamps = 0;
    unsigned char mode = 0;
    steps.Check("read the globals back",
                CANGetGlobals(a, &baud, &mode, &termination, &highSpeed, &timestamps));
    std::printf("    baud rate %d, mode %u, termination %d, time stamps %d\n", baud, mode,
                termination, timestamps);

    steps.Check("start keep-alive on A (2 s)", CANStartAlive(a, 2));

    steps.Check("B: receive frames by callback", CANSetCallback(b, OnFrame));
    const char payload[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x08};
    steps.Check("A: write frame 0x123", CANWrite(a, 0x123, payload, 8, 0));
    steps.Check("A: write frame 0x456", CANWrite(a, 0x456, payload, 4, 0));
    WaitFrames(2, 2000);

    steps.Check("A: queue received frames (up to 100)", CANSetMaxSizePerQueue(a, 100));
    steps.Check("B: write frame 0x321", CANWrite(b, 0x321, payload, 3, 0));
    int available = -1, id = 0, flags = 0, seconds = 0, micros = 0;
    unsigned char length = 0;
    char data[64];
    for (int i = 0; i < 200 && available < 0; ++i) {
        CANGetMessage(a, &available, &id, data, &length, &flags, &seconds, &micros);
        if (available < 0) tes::sys::SleepMs(5);
    }
    std::printf("    A polled frame 0x%X, %u bytes, gateway time stamp %d.%06d, %d left\n", id,
                length, seconds, micros, available);

    steps.Check("switch CANopen mode on", CANopenSetConfig(a, 1));
    steps.Check("NMT start for node 5", CANopenSendNMT(a, 5, 1));
    char name[64] = {};
    unsigned char reply = 0;
    int blockLength = 0;
    steps.Check("SDO read of node 5's device name (0x1008)",
                CANopenSendSDOReadBlock(a, 5, 0x1008, 0, 500, sizeof name - 1, &reply,
                                        &blockLength, name));
    std::printf("    node 5 is called \"%s\"\n", name);
    gFramesSeen.store(0);
    steps.Check("A: receive CANopen PDOs by callback",
                CANopenSetCallback(a, OnPdo, nullptr, nullptr, nullptr, nullptr));
    gateway.EmitPdo(5, 1, {0x01, 0x02, 0x03, 0x04});
    WaitFrames(1, 2000);

    steps.Check("close handle B", CANCloseDevice(b));
    steps.Check("close handle A", CANCloseDevice(a));
    std::printf("\n%d steps, %d failed\n", steps.Count(), steps.FailureCount());
    return steps.FailureCount() == 0 ? 0 : 1;
}

}  // namespace tool
