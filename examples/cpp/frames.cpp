// frames.cpp: the C example in C++: the handle lives in an RAII class that
// closes it, failures are exceptions carrying the library's code and
// message, and received frames reach a std::function.
//
//   frames_cpp [HOST [CAN_PORT]]        (127.0.0.1, 0: a local tessara-sim)
#include <TessaraCan.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tessara {

// A failed call: the result code and the library's text for it.
class Error : public std::runtime_error {
public:
    Error(const std::string& what, int code)
        : std::runtime_error(what + ": " + Message(code)), nCode(code) {}
    static std::string Message(int code) {
        char text[128];
        CANErrorMessage(code, text, sizeof text);
        return text;
    }
    int Code() const { return nCode; }

private:
    int nCode;
};

inline void Check(const char* what, int rc) {
    if (rc != 0) throw Error(what, rc);
}

struct Frame {
    int nIdentifier = 0;
    int nFlags = 0;
    std::vector<unsigned char> oData;
    int nSeconds = 0;
    int nMicroseconds = 0;
};

// One open connection to a CAN port. Not copyable: exactly one object closes
// the handle, in its destructor.
class Device {
public:
    using FrameHandler = std::function<void(const Frame&)>;

    Device(const std::string& host, int canPort, bool monitor, int timeoutMs = 2000) {
        Check("open", CANOpenDevice(&nHandle, 0, monitor, canPort, host.c_str(), timeoutMs));
    }
    ~Device() {
        if (nHandle > 0) {
            CANSetCallbackEx(nHandle, nullptr);
            CANCloseDevice(nHandle);
            std::lock_guard<std::mutex> lock(Registry().oMutex);
            Registry().oHandlers.erase(nHandle);
        }
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    int Handle() const { return nHandle; }

    void Configure(int baudrate, bool termination, bool timestamps) {
        Check("configure", CANSetGlobals(nHandle, baudrate, 0, termination, 1, timestamps));
    }
    void Write(int identifier, const std::vector<unsigned char>& data, int flags = 0) {
        Check("write", CANWrite(nHandle, identifier, reinterpret_cast<const char*>(data.data()),
                                static_cast<int>(data.size()), flags));
    }
    // The handler runs on the connection's receive thread; an empty one
    // switches callback delivery off.
    void OnFrames(FrameHandler handler) {
        {
            std::lock_guard<std::mutex> lock(Registry().oMutex);
            Registry().oHandlers[nHandle] = std::move(handler);
        }
        Check("set callback", CANSetCallbackEx(nHandle, &Device::Dispatch));
    }
    void QueueFrames(int maxEntries) {
        Check("clear callback", CANSetCallbackEx(nHandle, nullptr));
        Check("queue size", CANSetMaxSizePerQueue(nHandle, maxEntries));
    }
    // The oldest queued frame, if any; never waits.
    bool Poll(Frame* frame) {
        int available = -1;
        char data[64];
        unsigned char length = 0;
        Check("get message",
              CANGetMessage(nHandle, &available, &frame->nIdentifier, data, &length, &frame->nFlags,
                            &frame->nSeconds, &frame->nMicroseconds));
        if (available < 0) return false;
        frame->oData.assign(data, data + length);
        return true;
    }

private:
    // The library calls a plain function with the handle; this finds the
    // handler of that handle.
    struct HandlerRegistry {
        std::mutex oMutex;
        std::map<int, FrameHandler> oHandlers;
    };
    static HandlerRegistry& Registry() {
        static HandlerRegistry registry;
        return registry;
    }
    static void TESSARA_CALLBACK Dispatch(int identifier, const char* data, int length, int flags,
                                          int handle, int seconds, int microseconds) {
        Frame frame;
        frame.nIdentifier = identifier;
        frame.nFlags = flags;
        frame.oData.assign(data, data + length);
        frame.nSeconds = seconds;
        frame.nMicroseconds = microseconds;
        FrameHandler handler;
        {
            std::lock_guard<std::mutex> lock(Registry().oMutex);
            auto it = Registry().oHandlers.find(handle);
            if (it == Registry().oHandlers.end()) return;
            handler = it->second;
        }
        if (handler) handler(frame);
    }

    int nHandle = -1;
};

}  // namespace tessara

namespace {

void Print(const char* how, const tessara::Frame& f) {
    std::printf("%s: frame %X%s%s, %zu bytes:", how, static_cast<unsigned>(f.nIdentifier),
                (f.nFlags & 1) ? " extended" : "", (f.nFlags & 2) ? " remote" : "", f.oData.size());
    for (unsigned char b : f.oData) std::printf(" %02X", b);
    std::printf("\n");
}

void WriteThree(tessara::Device& device) {
    device.Write(0x123, {0x11, 0x22});
    device.Write(0x1ABCDEF0, {0x00, 0x11, 0x22}, 1);  // flag bit 0: extended
    device.Write(0x7FF, {}, 2);                       // flag bit 1: remote
}

}  // namespace

int main(int argc, char** argv) {
    const std::string host = argc > 1 ? argv[1] : "127.0.0.1";
    const int canPort = argc > 2 ? std::stoi(argv[2]) : 0;
    try {
        // Declared before the device: they must outlive its callbacks.
        std::mutex mutex;
        std::condition_variable arrived;
        int received = 0;

        // Monitor on: the connection receives its own frames.
        tessara::Device device(host, canPort, true);
        std::printf("opened %s CAN port %d: handle %d\n", host.c_str(), canPort, device.Handle());
        device.Configure(500000, true, true);

        device.OnFrames([&](const tessara::Frame& frame) {
            Print("callback", frame);
            std::lock_guard<std::mutex> lock(mutex);
            ++received;
            arrived.notify_one();
        });
        WriteThree(device);
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (!arrived.wait_for(lock, std::chrono::seconds(2), [&] { return received >= 3; }))
                throw std::runtime_error("only " + std::to_string(received) +
                                         " of 3 frames arrived");
        }

        device.QueueFrames(100);
        WriteThree(device);
        int taken = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (taken < 3 && std::chrono::steady_clock::now() < deadline) {
            tessara::Frame frame;
            if (device.Poll(&frame)) {
                Print("queue", frame);
                ++taken;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (taken < 3) throw std::runtime_error("only " + std::to_string(taken) + " of 3 queued");
    } catch (const tessara::Error& e) {  // the device, if opened, is closed already
        std::fprintf(stderr, "frames_cpp: %s (0x%X)\n", e.what(), static_cast<unsigned>(e.Code()));
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "frames_cpp: %s\n", e.what());
        return 1;
    }
    std::printf("closed\n");
    return 0;
}
