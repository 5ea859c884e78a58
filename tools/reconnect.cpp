// tessara-can: the link that comes back after a loss (see reconnect.h).
#include "reconnect.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "console.h"

namespace tool {

namespace {

using Clock = console::Clock;

constexpr int kConnected = 3;  // CANDeviceConnectState
constexpr auto kFirstDelay = std::chrono::milliseconds(100);
constexpr auto kLongestDelay = std::chrono::milliseconds(3000);

// Waits, looking at the stop signals and the cancel check every 20 ms;
// false when one says stop.
bool Pause(Clock::duration length, const std::function<bool()>& cancelled) {
    const Clock::time_point end = Clock::now() + length;
    while (!StopRequested() && !(cancelled && cancelled())) {
        const Clock::time_point now = Clock::now();
        if (now >= end) return true;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(end - now, std::chrono::milliseconds(20)));
    }
    return false;
}

}  // namespace

Link::Link(const Options& options, Setup setup, bool reconnect, bool confirmData, bool monitor)
    : oOptions(options),
      oSetup(std::move(setup)),
      bReconnect(reconnect),
      bConfirmData(confirmData),
      bMonitor(monitor) {}

Link::~Link() {
    Close();
}

void Link::Close() {
    if (nHandle >= 0) CANCloseDevice(nHandle);
    nHandle = -1;
}

int Link::OpenOnce() {
    Close();
    int handle = -1;
    int rc = CANOpenDeviceEx(&handle, bConfirmData ? 1 : 0, bMonitor ? 1 : 0, oOptions.nPort,
                             oOptions.sHost.c_str(), oOptions.nTimeoutMs, oOptions.bUdp ? 2 : 1);
    if (rc != 0) return rc;
    nHandle = handle;
    rc = oSetup ? oSetup(handle) : 0;
    if (rc != 0) Close();
    return rc;
}

int Link::Open() {
    return OpenOnce();
}

bool Link::Alive() const {
    return nHandle >= 0 && CANDeviceConnectState(nHandle) == kConnected;
}

bool Link::IsLoss(int result) const {
    return result != 0 && !Alive();
}

bool Link::Recover() {
    if (Alive()) return true;
    if (!bReconnect) return false;
    const Clock::time_point lost = Clock::now();
    std::fprintf(stderr, "tessara-can: link to %s CAN port %d lost; reconnecting\n",
                 oOptions.sHost.c_str(), oOptions.nPort);
    std::fflush(stderr);
    Close();
    if (!RetryWithBackOff([this] { return OpenOnce() == 0; }, oCancelled)) return false;
    dLastGap = std::chrono::duration<double>(Clock::now() - lost).count();
    ++nReconnections;
    std::fprintf(stderr, "tessara-can: link to %s CAN port %d back after %.3f s\n",
                 oOptions.sHost.c_str(), oOptions.nPort, dLastGap);
    std::fflush(stderr);
    return true;
}

bool RetryWithBackOff(const std::function<bool()>& attempt,
                      const std::function<bool()>& cancelled) {
    Clock::duration delay = kFirstDelay;
    for (;;) {
        if (!Pause(delay, cancelled)) return false;
        if (attempt()) return true;
        delay = std::min<Clock::duration>(delay * 2, kLongestDelay);
    }
}

bool TakeLinkOptions(std::vector<std::string>* args, LinkOptions* out, std::string* error) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < args->size(); ++i) {
        const std::string& a = (*args)[i];
        if (a == "--reconnect") {
            out->bReconnect = true;
        } else if (a == "--bitrate") {
            long long n = 0;
            if (i + 1 >= args->size() || !ParseInt((*args)[i + 1], 1, 0x7FFFFFFF, &n)) {
                *error = "--bitrate needs bits per second";
                return false;
            }
            out->nBitRate = static_cast<int>(n);
            ++i;
        } else {
            rest.push_back(a);
        }
    }
    *args = rest;
    return true;
}

int ApplyBitRate(int handle, int bitRate) {
    if (bitRate == 0) return 0;
    int current = 0, termination = 0, highSpeed = 0, timestamps = 0;
    unsigned char mode = 0;
    const int rc = CANGetGlobals(handle, &current, &mode, &termination, &highSpeed, &timestamps);
    if (rc != 0) return rc;
    if (current == bitRate) return 0;
    return CANSetGlobals(handle, bitRate, mode, termination, highSpeed, timestamps);
}

}  // namespace tool
