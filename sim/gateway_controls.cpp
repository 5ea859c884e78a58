// Gateway simulator, test controls: link answers, the receive log and waits
// on it, scripts, raw sends and dropped links, connection queries, and the
// model's bus, nodes and I/O as tests and the tessara-sim program steer them.
// Simulator layer.
#include <algorithm>

#include "gateway_impl.h"
#include "wire/telegram.h"

namespace tes::sim {

void Gateway::SetConnectAnswer(std::optional<uint8_t> result) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oOptions.oConnectAnswer = result;
}

void Gateway::SetDisconnectAnswer(std::optional<uint8_t> result) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oOptions.oDisconnectAnswer = result;
}

void Gateway::SetReplyDelay(uint32_t ms) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oOptions.nReplyDelayMs = ms;
}

void Gateway::SetAliveRequests(uint32_t periodMs) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oOptions.nAliveMs = periodMs;
    p->nNextAliveMs = 0;
    p->Rescheduled();
}

bool Gateway::SendAliveRequest(size_t connection, uint32_t periodMs) {
    return SendTelegram(connection, wire::kCmdAlive, 0, U32Bytes(periodMs));
}

bool Gateway::SendDisconnectRequest(size_t connection) {
    return SendTelegram(connection, wire::kCmdDisconnect, 0);
}

bool Gateway::SendConnectRequest(size_t connection, const std::vector<uint8_t>& data) {
    return SendTelegram(connection, wire::kCmdConnect, 1, data);
}

std::vector<Telegram> Gateway::Log() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return std::vector<Telegram>(p->oLog.begin(), p->oLog.end());
}

std::vector<Telegram> Gateway::Received(size_t connection) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    std::vector<Telegram> out;
    for (const Telegram& t : p->oLog)
        if (t.nConnection == connection) out.push_back(t);
    return out;
}

void Gateway::ClearLog() {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oLog.clear();
    p->Changed();
}

bool Gateway::WaitFor(const std::function<bool()>& predicate, int64_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(std::max<int64_t>(timeoutMs, 0));
    std::unique_lock<std::mutex> lock(p->oMutex);
    for (;;) {
        const uint64_t seen = p->nEpoch;
        lock.unlock();
        if (predicate()) return true;
        lock.lock();
        if (!p->oCond.wait_until(lock, deadline, [&] { return p->nEpoch != seen; })) {
            lock.unlock();
            return predicate();
        }
    }
}

std::optional<Telegram> Gateway::WaitForCommand(uint16_t command, int64_t timeoutMs, size_t nth) {
    std::optional<Telegram> found;
    WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(p->oMutex);
            size_t seen = 0;
            for (const Telegram& t : p->oLog) {
                if (t.Command() == command && t.oBytes.size() >= 4 && seen++ == nth) {
                    found = t;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

size_t Gateway::CountCommand(uint16_t command) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return static_cast<size_t>(std::count_if(
        p->oLog.begin(), p->oLog.end(),
        [&](const Telegram& t) { return t.oBytes.size() >= 4 && t.Command() == command; }));
}

void Gateway::Script(uint16_t command, ScriptFunction script) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    if (script) {
        p->oScripts[command] = std::move(script);
    } else {
        p->oScripts.erase(command);
    }
}

void Gateway::ClearScripts() {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oScripts.clear();
}

bool Gateway::SendRaw(size_t connection, const std::vector<uint8_t>& bytes,
                      std::vector<size_t> splitPoints, uint32_t delayMsBetween) {
    std::sort(splitPoints.begin(), splitPoints.end());
    splitPoints.erase(std::unique(splitPoints.begin(), splitPoints.end()), splitPoints.end());
    splitPoints.erase(std::remove_if(splitPoints.begin(), splitPoints.end(),
                                     [&](size_t at) { return at == 0 || at >= bytes.size(); }),
                      splitPoints.end());
    ConnPtr c;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        c = p->Find(connection);
    }
    return c && p->SendPieces(c, bytes.data(), bytes.size(), splitPoints, delayMsBetween);
}

bool Gateway::SendTelegram(size_t connection, uint16_t command, uint16_t telegramId,
                           const std::vector<uint8_t>& data) {
    return SendRaw(connection, MakeTelegram(command, telegramId, data));
}

bool Gateway::DropConnection(size_t connection) {
    ConnPtr c;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        c = p->Find(connection);
    }
    return c && p->Close(c);
}

void Gateway::DropAll() {
    p->CloseAll();
}

void Gateway::SetStopReading(size_t connection, bool stop) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    if (ConnPtr c = p->Find(connection)) {
        c->bStopReading = stop;
        p->Changed();
    }
}

bool Gateway::FreezeConnection(size_t connection) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    ConnPtr c = p->Find(connection);
    if (!c || !c->oInfo.bOpen) return false;
    c->bFrozen = c->bStopReading = true;
    p->Changed();
    return true;
}

size_t Gateway::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return p->oConns.size();
}

size_t Gateway::OpenConnectionCount() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return static_cast<size_t>(std::count_if(p->oConns.begin(), p->oConns.end(),
                                             [](const ConnPtr& c) { return c->oInfo.bOpen; }));
}

std::optional<ConnectionInfo> Gateway::Connection(size_t connection) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    if (ConnPtr c = p->Find(connection)) return c->oInfo;
    return std::nullopt;
}

bool Gateway::WaitForConnections(size_t count, int64_t timeoutMs) {
    return WaitFor([&] { return ConnectionCount() >= count; }, timeoutMs);
}

bool Gateway::WaitForClosed(size_t connection, int64_t timeoutMs) {
    return WaitFor(
        [&] {
            const std::optional<ConnectionInfo> info = Connection(connection);
            return info && !info->bOpen;
        },
        timeoutMs);
}

bool Gateway::WaitForIdle(int64_t timeoutMs) {
    return WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(p->oMutex);
            return std::all_of(p->oConns.begin(), p->oConns.end(), [](const ConnPtr& c) {
                return !c->oInfo.bOpen && (c->bThreadDone || !c->oThread.joinable());
            });
        },
        timeoutMs);
}

size_t Gateway::RestartCount() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return p->nRestarts;
}

void Gateway::SetEventHook(std::function<void(const GatewayEvent&)> hook) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->oHook = std::move(hook);
}

void Gateway::SetWireTap(std::shared_ptr<WireTap> tap) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    p->pTap = std::move(tap);
}

bool Gateway::InjectFrame(uint8_t canPort, uint32_t id, uint8_t flags,
                          const std::vector<uint8_t>& data) {
    ModelOutcome outcome;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        if (!p->bRunning || !p->pModel) return false;
        CanFrame frame;
        frame.nIdentifier = id;
        frame.cFlags = static_cast<uint8_t>(flags & ~kFlagTimestamp);
        frame.oData = data;
        if (!p->pModel->InjectFrame(canPort, frame, MonotonicUs(), &outcome)) return false;
        p->Rescheduled();
    }
    p->Deliver(outcome.oDeliveries);
    return true;
}

bool Gateway::AddNode(uint8_t nodeId, uint8_t canPort) {
    if (nodeId == 0 || nodeId > 127) return false;
    ModelOutcome outcome;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        const auto entry = std::make_pair(canPort, nodeId);
        if (std::find(p->oNodes.begin(), p->oNodes.end(), entry) != p->oNodes.end()) return false;
        if (p->bRunning && !p->pModel->AddNode(canPort, nodeId, MonotonicUs(), &outcome))
            return false;
        p->oNodes.push_back(entry);
        p->Rescheduled();
    }
    p->Deliver(outcome.oDeliveries);
    return true;
}

bool Gateway::EmitEmcy(uint8_t nodeId, uint16_t errorCode, uint8_t errorRegister,
                       const std::array<uint8_t, 5>& vendorBytes, uint8_t canPort) {
    ModelOutcome outcome;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        if (!p->bRunning) return false;
        const uint8_t vendor[5] = {vendorBytes[0], vendorBytes[1], vendorBytes[2], vendorBytes[3],
                                   vendorBytes[4]};
        if (!p->pModel->EmitEmcy(canPort, nodeId, errorCode, errorRegister, vendor, MonotonicUs(),
                                 &outcome))
            return false;
        p->Rescheduled();
    }
    p->Deliver(outcome.oDeliveries);
    return true;
}

bool Gateway::EmitPdo(uint8_t nodeId, uint8_t pdoNumber, const std::vector<uint8_t>& data,
                      uint8_t canPort) {
    ModelOutcome outcome;
    {
        std::lock_guard<std::mutex> lock(p->oMutex);
        if (!p->bRunning) return false;
        if (!p->pModel->EmitPdo(canPort, nodeId, pdoNumber, data, MonotonicUs(), &outcome))
            return false;
        p->Rescheduled();
    }
    p->Deliver(outcome.oDeliveries);
    return true;
}

std::optional<uint8_t> Gateway::NodeState(uint8_t nodeId, uint8_t canPort) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    if (!p->pModel) return std::nullopt;
    return p->pModel->NodeState(canPort, nodeId);
}

void Gateway::SetDigitalInputs(uint32_t bits) {
    std::lock_guard<std::mutex> lock(p->oMutex);
    if (p->pModel) p->pModel->SetDigitalInputs(bits);
}

uint32_t Gateway::DigitalOutputs() const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return p->pModel ? p->pModel->DigitalOutputs() : 0;
}

bool Gateway::CanopenMode(uint8_t canPort) const {
    std::lock_guard<std::mutex> lock(p->oMutex);
    return p->pModel && p->pModel->CanopenMode(canPort);
}

}  // namespace tes::sim
