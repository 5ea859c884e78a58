// `tessara-can demo`: starts a gateway simulator on loopback and walks
// through the library's interface against it, printing every step and the
// library's message for its result.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway.h"
#include "pcap_writer.h"
#include "test_address.h"
#include "tool.h"

namespace tool {

namespace {

constexpr int kWaitMs = 2000;
constexpr uint8_t kNode = 5;

// What the callbacks saw, for the steps to wait on.
struct Seen {
    std::mutex oMutex;
    std::condition_variable oCond;
    std::vector<int> oFrameIds;
    std::vector<std::vector<unsigned char>> oPdos;

    template <typename Predicate>
    bool WaitFor(Predicate predicate) {
        std::unique_lock<std::mutex> lock(oMutex);
        return oCond.wait_for(lock, std::chrono::milliseconds(kWaitMs), predicate);
    }
};
Seen gSeen;

void TESSARA_CALLBACK OnFrame(int id, const char*, int length, int, int handle) {
    std::printf("    callback: handle %d received frame 0x%X, %d bytes\n", handle, id, length);
    std::lock_guard<std::mutex> lock(gSeen.oMutex);
    gSeen.oFrameIds.push_back(id);
    gSeen.oCond.notify_all();
}

void TESSARA_CALLBACK OnPdo(unsigned char node, unsigned char type, unsigned char length,
                            const char* data, int handle, int, int) {
    // One line in one write: the main thread prints its steps meanwhile.
    std::string line = "    callback: handle " + std::to_string(handle) + " PDO from node " +
                       std::to_string(node) + " (type " + std::to_string(type) + "), " +
                       std::to_string(length) + " bytes:";
    char hex[4];
    for (int i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, " %02X", static_cast<unsigned char>(data[i]));
        line += hex;
    }
    std::printf("%s\n", line.c_str());
    std::lock_guard<std::mutex> lock(gSeen.oMutex);
    gSeen.oPdos.emplace_back(data, data + length);
    gSeen.oCond.notify_all();
}

// Polls a handle's frame queue until a frame is there or the wait is over.
bool PollFrame(int handle, int* id, unsigned char* length, int* seconds, int* micros) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    char data[64];
    int available = -1, flags = 0;
    for (;;) {
        CANGetMessage(handle, &available, id, data, length, &flags, seconds, micros);
        if (available >= 0) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

int RunDemo(const Options& options) {
    // ---- --pcap FILE: a capture of the demo's traffic
    const bool capturing = options.oArgs.size() == 2 && options.oArgs[0] == "--pcap";
    if (!options.oArgs.empty() && !capturing) return UsageError("demo takes only --pcap FILE");
    auto capture = std::make_shared<tes::sim::PcapWriter>();
    tes::sim::Gateway gateway;
    if (capturing) gateway.SetWireTap(capture);
    // ----
    tes::sim::GatewayOptions simOptions;
    simOptions.bUdp = false;  // the demo speaks TCP
    gateway.AddNode(kNode);
    std::string error;
    if (!tes::sim::StartOnFreeLoopback(gateway, simOptions, &error)) {
        std::fprintf(stderr, "tessara-can: demo: cannot start the simulator: %s\n", error.c_str());
        return kExitFailed;
    }
    const std::string address = gateway.BindAddress();
    if (capturing && !capture->Open(options.oArgs[1], address, &error)) {  // --pcap
        std::fprintf(stderr, "tessara-can: demo: %s\n", error.c_str());
        return kExitFailed;
    }
    std::printf("Simulated gateway listening on %s, CAN port 0 at TCP port %u, CANopen node %u\n",
                address.c_str(), gateway.TcpPort(0), kNode);
    char info[64];
    DLLInfo(info, sizeof info);
    std::printf("Library: %s\n\n", info);

    Steps steps;
    int a = -1, b = -1;
    steps.Check("open handle A on CAN port 0",
                CANOpenDevice(&a, 0, 0, 0, address.c_str(), kWaitMs));
    steps.Check("open handle B on the same port",
                CANOpenDevice(&b, 0, 0, 0, address.c_str(), kWaitMs));
    if (steps.Failed()) return kExitFailed;
    const int state = CANDeviceConnectState(a);
    steps.Expect("connection state of A", state == 3,
                 std::to_string(state) + (state == 3 ? " (connected)" : " (3 expected)"));

    // ---- configuration
    steps.Check("set globals: 500 kbit/s, termination on, time stamps on",
                CANSetGlobals(a, 500000, 0, 1, 1, 1));
    int baud = 0, termination = 0, highSpeed = 0, timestamps = 0;
    unsigned char mode = 0;
    if (steps.Check("read the globals back",
                    CANGetGlobals(a, &baud, &mode, &termination, &highSpeed, &timestamps))) {
        std::printf("    baud rate %d, mode %u, termination %d, high speed %d, time stamps %d\n",
                    baud, mode, termination, highSpeed, timestamps);
    }

    // ---- keep-alive
    steps.Check("start keep-alive on A (1 s)", CANStartAlive(a, 1));
    const bool alive = gateway.WaitForCommand(0x020D, kWaitMs).has_value();
    steps.Expect("    the gateway receives A's ALIVE request", alive,
                 alive ? "confirmed" : "no ALIVE arrived");

    // ---- frames both ways through the gateway's bus
    steps.Check("B: receive frames by callback", CANSetCallback(b, OnFrame));
    const char payload[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x08};
    steps.Check("A: write frame 0x123 (8 bytes)", CANWrite(a, 0x123, payload, 8, 0));
    steps.Check("A: write extended frame 0x1ABCDE (4 bytes)", CANWrite(a, 0x1ABCDE, payload, 4, 1));
    const bool both = gSeen.WaitFor([] { return gSeen.oFrameIds.size() >= 2; });
    steps.Expect("    B received both frames", both, both ? "yes" : "missing frames");

    steps.Check("A: queue received frames (up to 100)", CANSetMaxSizePerQueue(a, 100));
    steps.Check("B: write frame 0x321 (3 bytes)", CANWrite(b, 0x321, payload, 3, 0));
    int id = 0, seconds = 0, micros = 0;
    unsigned char length = 0;
    const bool polled = PollFrame(a, &id, &length, &seconds, &micros) && id == 0x321;
    steps.Expect("    A polls it from its queue", polled, polled ? "yes" : "nothing queued");
    if (polled) {
        std::printf("    frame 0x%X, %u bytes, gateway time stamp %d.%06d\n", id, length, seconds,
                    micros);
    }

    // ---- CANopen
    steps.Check("switch CANopen mode on", CANopenSetConfig(a, 1));
    steps.Check("NMT start for node 5", CANopenSendNMT(a, kNode, 1));
    const std::optional<uint8_t> nodeState = gateway.NodeState(kNode);
    steps.Expect("    node 5 is operational", nodeState == uint8_t{0x05},
                 nodeState == uint8_t{0x05} ? "yes" : "no");
    unsigned char reply = 0;
    int value = 0;
    if (steps.Check("SDO read of node 5's device type (0x1000)",
                    CANopenSendSDORead(a, kNode, 0x1000, 0, 500, &reply, &value))) {
        std::printf("    reply byte 0x%02X, device type 0x%08X\n", reply,
                    static_cast<unsigned>(value));
    }
    char name[64] = {};
    int blockLength = 0;
    if (steps.Check("SDO read of node 5's device name (0x1008)",
                    CANopenSendSDOReadBlock(a, kNode, 0x1008, 0, 500, sizeof name - 1, &reply,
                                            &blockLength, name))) {
        std::printf("    node 5 is called \"%s\"\n", name);
    }
    steps.Check("A: receive CANopen PDOs by callback",
                CANopenSetCallback(a, OnPdo, nullptr, nullptr, nullptr, nullptr));
    const char image[4] = {0x01, 0x02, 0x03, 0x04};
    steps.Check("A: receive PDO 1 to node 5 with 01 02 03 04",
                CANopenSendPDO(a, kNode, 5, 4, image));
    steps.Check("A: SYNC (node 5 answers with its transmit PDO 1)", CANopenSendSYNC(a));
    const bool pdo = gSeen.WaitFor([&] {
        return !gSeen.oPdos.empty() && gSeen.oPdos.back().size() == 4 &&
               std::memcmp(gSeen.oPdos.back().data(), image, 4) == 0;
    });
    steps.Expect("    the PDO indication carries the image back", pdo,
                 pdo ? "yes" : "no PDO arrived");

    // ---- close
    steps.Check("stop keep-alive on A", CANStartAlive(a, 0));
    steps.Check("close handle B", CANCloseDevice(b));
    steps.Check("close handle A", CANCloseDevice(a));
    std::printf("\n%d steps, %d failed\n", steps.Count(), steps.FailureCount());
    return steps.FailureCount() == 0 ? kExitOk : kExitFailed;
}

}  // namespace tool
