// Gateway simulator: the telegram and request values, and starting and
// stopping: options checked, endpoints bound, threads started and joined.
// The device model is in model.cpp; the rest of the gateway in gateway_*.cpp.
// Simulator layer.
#include "gateway.h"

#include <algorithm>
#include <system_error>

#include "gateway_impl.h"
#include "wire/telegram.h"

namespace tes::sim {

// ---------------------------------------------------------------- values

uint16_t Telegram::Command() const {
    return oBytes.size() >= 4 ? GetU16(&oBytes[2]) : 0;
}
uint16_t Telegram::Id() const {
    return oBytes.size() >= 6 ? GetU16(&oBytes[4]) : 0;
}

std::vector<uint8_t> Telegram::Data() const {
    if (oBytes.size() < wire::kOverhead) return {};
    return std::vector<uint8_t>(oBytes.begin() + 6, oBytes.end() - 1);
}

bool Telegram::IsWellFormed() const {
    wire::View view;
    return wire::Decode(oBytes, &view);
}

std::vector<uint8_t> MakeConfirmation(const Request& request, uint8_t result,
                                      const std::vector<uint8_t>& payload) {
    return MakeConfirmation(request.nCommand, request.nTelegramId, result, payload);
}

// ---------------------------------------------------------------- Gateway

Gateway::Gateway() : p(new Impl) {}

Gateway::~Gateway() {
    Stop();
}

bool Gateway::Start(const GatewayOptions& options, std::string* error) {
    auto fail = [error](const std::string& text) {
        if (error != nullptr) *error = text;
        return false;
    };
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        if (p->bRunning) return fail("the gateway is already running");
    }
    if (options.oCanPorts.empty()) return fail("no CAN port given");
    if (!options.bTcp && !options.bUdp) return fail("neither TCP nor UDP is enabled");
    std::vector<uint8_t> ports = options.oCanPorts;
    std::sort(ports.begin(), ports.end());
    if (std::adjacent_find(ports.begin(), ports.end()) != ports.end())
        return fail("a CAN port is given twice");
    if (ports.back() > 99) return fail("CAN ports are 0 to 99");
    if (options.nBasePort != 0 && options.nBasePort + 100u * ports.back() > 0xFFFF)
        return fail("the base port leaves no room for the highest CAN port");
    for (const auto& bridge : options.oBridges) {
        const auto served = [&](uint8_t port) {
            return std::binary_search(ports.begin(), ports.end(), port);
        };
        if (bridge.first == bridge.second || !served(bridge.first) || !served(bridge.second)) {
            return fail("bridge " + std::to_string(bridge.first) + ":" +
                        std::to_string(bridge.second) + " needs two different served CAN ports");
        }
    }

    std::vector<std::unique_ptr<Listener>> listeners;
    for (uint8_t canPort : ports) {
        const uint16_t port =
            options.nBasePort == 0 ? 0 : static_cast<uint16_t>(options.nBasePort + 100u * canPort);
        for (int transport : {sys::kTransportTcp, sys::kTransportUdp}) {
            if (transport == sys::kTransportTcp ? !options.bTcp : !options.bUdp) continue;
            std::string reason;
            const sys::Socket s =
                sys::Listen(options.sBindAddress.c_str(), port, transport, &reason);
            if (s == sys::kNoSocket) {
                return fail("cannot bind " +
                            std::string(transport == sys::kTransportTcp ? "TCP " : "UDP ") +
                            options.sBindAddress + " port " + std::to_string(port) + ": " + reason);
            }
            auto listener = std::make_unique<Listener>();
            listener->nCanPort = canPort;
            listener->nTransport = transport;
            listener->pSocket = std::make_shared<SocketRef>(s);
            listener->nPort = sys::LocalPort(s);
            listeners.push_back(std::move(listener));
        }
    }

    std::unique_lock<std::mutex> lock(p->oMutex);
    if (p->bRunning) return fail("the gateway is already running");
    p->oOptions = options;
    p->oOptions.oCanPorts = ports;
    p->oLog.clear();
    p->oConns.clear();
    p->nRestarts = 0;
    p->nNextAliveMs = 0;
    p->pModel = std::make_unique<Model>(ports, options.nSerialNumber);
    for (const auto& bridge : options.oBridges) p->pModel->Bridge(bridge.first, bridge.second);
    const int64_t nowUs = MonotonicUs();
    for (const auto& node : p->oNodes) {
        ModelOutcome ignored;  // no connection is there to hear the boot-up
        p->pModel->AddNode(node.first, node.second, nowUs, &ignored);
    }
    p->oListeners = std::move(listeners);
    p->oStopWaker.Clear();
    p->bStopping = false;
    p->bRunning = true;
    try {
        for (auto& listener : p->oListeners) {
            Listener* l = listener.get();
            if (l->nTransport == sys::kTransportTcp) {
                l->oThread = std::thread([this, l] { p->AcceptLoop(l); });
            } else {
                l->oThread = std::thread([this, l] { p->UdpLoop(l); });
            }
        }
        p->oTimer = std::thread([this] { p->TimerLoop(); });
    } catch (const std::system_error& e) {
        lock.unlock();
        Stop();
        return fail(std::string("cannot start a thread: ") + e.what());
    }
    p->Changed();
    return true;
}

void Gateway::Stop() {
    std::vector<std::shared_ptr<SocketRef>> sockets;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        if (!p->bRunning || p->bStopping) return;
        p->bStopping = true;  // no connection is added from here on
        for (const ConnPtr& c : p->oConns) {
            if (c->pWaker) c->pWaker->Signal();
            if (c->pSocket && c->oInfo.nTransport == sys::kTransportTcp)
                sockets.push_back(c->pSocket);
        }
        p->Rescheduled();
    }
    p->oStopWaker.Signal();
    // Also frees senders blocked on a client that reads nothing.
    for (const auto& s : sockets) sys::ShutdownSocket(s->h);
    for (auto& listener : p->oListeners)
        if (listener->oThread.joinable()) listener->oThread.join();
    if (p->oTimer.joinable()) p->oTimer.join();

    std::vector<std::thread> readers;
    std::vector<ConnPtr> open;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        for (const ConnPtr& c : p->oConns) {
            if (c->oThread.joinable()) readers.push_back(std::move(c->oThread));
            if (c->oInfo.bOpen) open.push_back(c);
        }
    }
    for (std::thread& t : readers) t.join();
    for (const ConnPtr& c : open) p->Close(c);

    std::lock_guard<std::mutex> lock(p->oMutex);
    for (const ConnPtr& c : p->oConns) c->pSocket.reset();
    p->oListeners.clear();
    p->bRunning = false;
    p->bStopping = false;
    p->oStopWaker.Clear();
    p->Changed();
}

bool Gateway::Running() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return p->bRunning;
}

uint16_t Gateway::TcpPort(uint8_t canPort) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    for (const auto& l : p->oListeners)
        if (l->nCanPort == canPort && l->nTransport == sys::kTransportTcp) return l->nPort;
    return 0;
}

uint16_t Gateway::UdpPort(uint8_t canPort) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    for (const auto& l : p->oListeners)
        if (l->nCanPort == canPort && l->nTransport == sys::kTransportUdp) return l->nPort;
    return 0;
}

std::string Gateway::BindAddress() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return p->oOptions.sBindAddress;
}

}  // namespace tes::sim
