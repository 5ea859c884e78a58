// The simulated gateway's device model: answers to the CAN, device and
// CANopen commands, the virtual bus and its CANopen nodes. Simulator layer.
#include "model.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <deque>

#include "canopen_node.h"

namespace tes::sim {

namespace {

constexpr uint8_t Code(uint16_t word) {
    return wire::CodeOf(word);
}

// Identifiers of the CANopen services (11-bit, predefined connection set).
constexpr uint32_t kCobNmt = 0x000;
constexpr uint32_t kCobSync = 0x080;
constexpr uint32_t kCobTime = 0x100;
constexpr uint32_t kCobHeartbeat = 0x700;
constexpr uint32_t kMsPerDay = 86400000;

// PDOTyp 1..4: transmit PDOs 1..4 of a node (0x180, 0x280, 0x380, 0x480 +
// node); 5..8: its receive PDOs 1..4 (0x200, 0x300, 0x400, 0x500 + node).
uint32_t PdoBase(uint8_t pdoType) {
    return pdoType <= 4 ? 0x180u + 0x100u * (pdoType - 1u) : 0x200u + 0x100u * (pdoType - 5u);
}
uint8_t PdoType(uint32_t cobId) {
    const uint32_t base = cobId & 0x780;  // 0x180 .. 0x500
    return static_cast<uint8_t>((base & 0x080) != 0 ? (base - 0x180) / 0x100 + 1
                                                    : (base - 0x200) / 0x100 + 5);
}

constexpr uint16_t kPowerNominalMv[kPowerSupplies] = {5000, 12000, 24000};
constexpr uint16_t kPowerInputMv = 24000;
constexpr uint16_t kPowerIdleMa = 40;
constexpr uint16_t kPowerSupplyMa = 150;
constexpr uint16_t kBoardTemperatureDeciC = 315;

constexpr uint16_t kHardwareRevision = 0x0102;
constexpr uint16_t kFirmwareVersion = 0x020D;
constexpr char kDeviceName[8] = {'T', 'E', 'S', 'S', 'I', 'M', 0, 0};

ModelOutcome Reply(uint16_t command, uint16_t id, uint8_t result,
                   const std::vector<uint8_t>& payload = {}) {
    ModelOutcome o;
    o.oReply = MakeConfirmation(command, id, result, payload);
    return o;
}

bool ValidIdentifier(uint32_t id, uint8_t flags) {
    return id <= ((flags & kFlagExtended) != 0 ? kMaxExtendedId : kMaxStandardId);
}

// Seconds and microseconds of a time in microseconds since 1970.
void SplitUs(int64_t us, uint32_t* seconds, uint32_t* micros) {
    int64_t s = us / 1000000;
    int64_t u = us % 1000000;
    if (u < 0) {
        u += 1000000;
        s -= 1;
    }
    *seconds = static_cast<uint32_t>(s);
    *micros = static_cast<uint32_t>(u);
}

int64_t WallClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A CAN frame indication (or UNDEFINED indication): identifier, flags, data
// and, when the port stamps frames, the time.
std::vector<uint8_t> FrameIndication(uint16_t command, const CanFrame& f, bool stamp,
                                     int64_t clockUs) {
    std::vector<uint8_t> payload;
    AppendU32(&payload, f.nIdentifier);
    payload.push_back(
        static_cast<uint8_t>(stamp ? f.cFlags | kFlagTimestamp : f.cFlags & ~kFlagTimestamp));
    payload.insert(payload.end(), f.oData.begin(), f.oData.end());
    if (stamp) {
        uint32_t seconds = 0, micros = 0;
        SplitUs(clockUs, &seconds, &micros);
        AppendU32(&payload, seconds);
        AppendU32(&payload, micros);
    }
    return MakeTelegram(command, 0, payload);
}

struct NodeSlot {
    CanopenNode oNode;
    uint16_t nHeartbeatMs = 0;  // as last scheduled
    int64_t nNextHeartbeatUs = 0;
};

}  // namespace

struct Model::PortState {
    uint8_t nNumber = 0;
    uint8_t nBus = 0;  // ports with the same number share one bus (Bridge)
    PortConfig oConfig;
    uint32_t oFilter[16] = {};
    uint8_t nCanopenMode = 0;
    uint16_t nSyncPeriodMs = 0;
    int64_t nNextSyncUs = 0;
    std::map<uint8_t, NodeSlot> oNodes;

    void PowerUp() {
        oConfig = PortConfig();
        std::fill(std::begin(oFilter), std::end(oFilter), 0u);
        nCanopenMode = 0;
        nSyncPeriodMs = 0;
        nNextSyncUs = 0;
    }
};

Model::Model(const std::vector<uint8_t>& canPorts, uint32_t serialNumber)
    : nSerialNumber(serialNumber) {
    for (uint8_t p : canPorts) {
        auto port = std::make_unique<PortState>();
        port->nNumber = p;
        port->nBus = p;
        oPorts.push_back(std::move(port));
    }
    Restart();
}

Model::~Model() = default;

void Model::Restart() {
    for (auto& port : oPorts) port->PowerUp();
    nClockBaseUs = WallClockUs();
    nClockBaseMonoUs = MonotonicUs();
    bClockSet = false;
    nDigitalOutputs = 0;
    std::fill(std::begin(oAnalogOutputs), std::end(oAnalogOutputs), 0u);
    bPowerRelay = true;
    nActiveSupplies = (1u << kPowerSupplies) - 1;
}

Model::PortState* Model::FindPort(uint8_t canPort) {
    for (auto& p : oPorts)
        if (p->nNumber == canPort) return p.get();
    return nullptr;
}

const Model::PortState* Model::FindPort(uint8_t canPort) const {
    for (const auto& p : oPorts)
        if (p->nNumber == canPort) return p.get();
    return nullptr;
}

int64_t Model::ClockUs(int64_t nowUs) const {
    return nClockBaseUs + (nowUs - nClockBaseMonoUs);
}

bool Model::Bridge(uint8_t a, uint8_t b) {
    PortState* first = FindPort(a);
    PortState* second = FindPort(b);
    if (first == nullptr || second == nullptr || a == b) return false;
    const uint8_t joined = second->nBus;
    for (auto& p : oPorts)
        if (p->nBus == joined) p->nBus = first->nBus;
    return true;
}

void Model::OpenConnection(size_t connection, uint8_t canPort) {
    Link link;
    link.nCanPort = canPort;
    oLinks[connection] = link;
}

void Model::CloseConnection(size_t connection) {
    oLinks.erase(connection);
}

std::optional<PortConfig> Model::Port(uint8_t canPort) const {
    const PortState* p = FindPort(canPort);
    if (p == nullptr) return std::nullopt;
    return p->oConfig;
}

bool Model::CanopenMode(uint8_t canPort) const {
    const PortState* p = FindPort(canPort);
    return p != nullptr && p->nCanopenMode != 0;
}

std::optional<uint8_t> Model::NodeState(uint8_t canPort, uint8_t nodeId) const {
    const PortState* p = FindPort(canPort);
    if (p == nullptr) return std::nullopt;
    const auto it = p->oNodes.find(nodeId);
    if (it == p->oNodes.end()) return std::nullopt;
    return it->second.oNode.State();
}

// ---------------------------------------------------------------- the bus

std::optional<std::vector<uint8_t>> Model::IndicationFor(const PortState& port, const CanFrame& f,
                                                         int64_t clockUs) const {
    const bool stamp = port.oConfig.bTimestamp;
    if (port.nCanopenMode == 0) {
        // Filter entry i: word 2i = identifier (bit 31 entry in use, bit 30
        // extended identifier), word 2i+1 = mask of the bits that must match.
        bool any = false, pass = false;
        for (int i = 0; i < 8 && !pass; ++i) {
            const uint32_t code = port.oFilter[2 * i];
            const uint32_t mask = port.oFilter[2 * i + 1];
            if ((code & 0x80000000u) == 0) continue;
            any = true;
            const bool extended = (code & 0x40000000u) != 0;
            pass = extended == ((f.cFlags & kFlagExtended) != 0) &&
                   ((f.nIdentifier ^ code) & mask & kMaxExtendedId) == 0;
        }
        if (any && !pass) return std::nullopt;
        return FrameIndication(wire::kIndCanFrame, f, stamp, clockUs);
    }

    // CANopen mode: the frame is read as a CANopen service.
    const std::vector<uint8_t>& d = f.oData;
    const uint32_t id = f.nIdentifier;
    const uint8_t node = static_cast<uint8_t>(id & 0x7F);
    const bool plain = (f.cFlags & (kFlagExtended | kFlagRemote)) == 0;
    std::vector<uint8_t> payload;
    if (plain && id == kCobSync) {
        payload.push_back(d.empty() ? 0 : d[0]);
        return MakeTelegram(wire::kIndSync, 0, payload);
    }
    if (plain && id > 0x080 && id <= 0x0FF && d.size() == 8) {
        payload.push_back(node);
        payload.insert(payload.end(), d.begin(), d.end());
        return MakeTelegram(wire::kIndEmcy, 0, payload);
    }
    if (plain && id >= 0x180 && id <= 0x57F && node != 0) {
        payload = {node, PdoType(id), static_cast<uint8_t>(d.size())};
        payload.insert(payload.end(), d.begin(), d.end());
        return MakeTelegram(wire::kIndPdo, 0, payload);
    }
    if (plain && id > kCobHeartbeat && id <= kCobHeartbeat + 0x7F && !d.empty()) {
        payload = {node, d[0]};
        return MakeTelegram(wire::kIndGuard, 0, payload);
    }
    return FrameIndication(wire::kIndUndefined, f, stamp, clockUs);
}

void Model::PutOnBus(PortState& port, const CanFrame& frame, std::optional<size_t> source,
                     int64_t nowUs, ModelOutcome* out) {
    std::deque<std::pair<CanFrame, std::optional<size_t>>> pending;
    pending.emplace_back(frame, source);
    // Nodes answer what they hear; the bound stops a chain that never ends.
    for (int round = 0; round < 1024 && !pending.empty(); ++round) {
        const CanFrame f = std::move(pending.front().first);
        const std::optional<size_t> from = pending.front().second;
        pending.pop_front();
        const int64_t clockUs = ClockUs(nowUs);
        std::vector<CanFrame> answers;
        for (auto& member : oPorts) {
            if (member->nBus != port.nBus) continue;
            // A port that is off hears nothing; its nodes are still on the bus.
            if (member->oConfig.nMode != kModeOff) {
                for (const auto& [connection, link] : oLinks) {
                    if (link.nCanPort != member->nNumber) continue;
                    if (from == connection && !link.bMonitor) continue;
                    std::optional<std::vector<uint8_t>> t = IndicationFor(*member, f, clockUs);
                    if (t) out->oDeliveries.push_back(Delivery{connection, std::move(*t)});
                }
            }
            for (auto& [id, slot] : member->oNodes) slot.oNode.OnFrame(f, &answers);
        }
        for (CanFrame& a : answers) pending.emplace_back(std::move(a), std::nullopt);
    }
}

bool Model::InjectFrame(uint8_t canPort, const CanFrame& frame, int64_t nowUs, ModelOutcome* out) {
    PortState* port = FindPort(canPort);
    if (port == nullptr) return false;
    PutOnBus(*port, frame, std::nullopt, nowUs, out);
    return true;
}

bool Model::AddNode(uint8_t canPort, uint8_t nodeId, int64_t nowUs, ModelOutcome* out) {
    PortState* port = FindPort(canPort);
    if (port == nullptr || nodeId == 0 || nodeId > 127 || port->oNodes.count(nodeId) != 0)
        return false;
    NodeSlot& slot = port->oNodes.emplace(nodeId, NodeSlot{CanopenNode(nodeId)}).first->second;
    std::vector<CanFrame> boot;
    slot.oNode.Boot(&boot);
    for (const CanFrame& f : boot) PutOnBus(*port, f, std::nullopt, nowUs, out);
    return true;
}

bool Model::EmitEmcy(uint8_t canPort, uint8_t nodeId, uint16_t errorCode, uint8_t errorRegister,
                     const uint8_t (&vendor)[5], int64_t nowUs, ModelOutcome* out) {
    PortState* port = FindPort(canPort);
    if (port == nullptr) return false;
    const auto it = port->oNodes.find(nodeId);
    if (it == port->oNodes.end()) return false;
    const CanFrame f = it->second.oNode.Emergency(errorCode, errorRegister, vendor);
    PutOnBus(*port, f, std::nullopt, nowUs, out);
    return true;
}

bool Model::EmitPdo(uint8_t canPort, uint8_t nodeId, uint8_t pdoNumber,
                    const std::vector<uint8_t>& data, int64_t nowUs, ModelOutcome* out) {
    PortState* port = FindPort(canPort);
    if (port == nullptr || pdoNumber < 1 || pdoNumber > 4 || data.size() > 8) return false;
    const auto it = port->oNodes.find(nodeId);
    if (it == port->oNodes.end()) return false;
    PutOnBus(*port, it->second.oNode.TransmitPdo(pdoNumber, data), std::nullopt, nowUs, out);
    return true;
}

ModelOutcome Model::Tick(int64_t nowUs) {
    ModelOutcome out;
    for (auto& port : oPorts) {
        const int64_t syncUs = static_cast<int64_t>(port->nSyncPeriodMs) * 1000;
        if (port->nCanopenMode != 0 && syncUs > 0 && port->oConfig.nMode == kModeNormal) {
            if (port->nNextSyncUs == 0) port->nNextSyncUs = nowUs + syncUs;
            if (nowUs >= port->nNextSyncUs) {
                PutOnBus(*port, CanFrame{kCobSync, 0, {}}, std::nullopt, nowUs, &out);
                // A late tick does not send a burst to catch up.
                port->nNextSyncUs = std::max(port->nNextSyncUs + syncUs, nowUs + 1);
            }
        }
        for (auto& [id, slot] : port->oNodes) {
            const uint16_t hb = slot.oNode.HeartbeatMs();
            if (hb != slot.nHeartbeatMs) {
                slot.nHeartbeatMs = hb;
                slot.nNextHeartbeatUs = hb != 0 ? nowUs + hb * 1000ll : 0;
            }
            if (hb != 0 && nowUs >= slot.nNextHeartbeatUs) {
                PutOnBus(*port, slot.oNode.Heartbeat(), std::nullopt, nowUs, &out);
                slot.nNextHeartbeatUs = nowUs + hb * 1000ll;
            }
        }
    }
    return out;
}

int64_t Model::NextDueUs(int64_t nowUs) {
    int64_t next = INT64_MAX;
    for (const auto& port : oPorts) {
        if (port->nCanopenMode != 0 && port->nSyncPeriodMs != 0 &&
            port->oConfig.nMode == kModeNormal)
            next = std::min(next, port->nNextSyncUs == 0 ? nowUs : port->nNextSyncUs);
        for (const auto& [id, slot] : port->oNodes) {
            const uint16_t hb = slot.oNode.HeartbeatMs();
            if (hb != slot.nHeartbeatMs) {
                next = nowUs;  // changed by an SDO write: reschedule at once
            } else if (hb != 0) {
                next = std::min(next, slot.nNextHeartbeatUs);
            }
        }
    }
    return next;
}

// ---------------------------------------------------------------- requests

ModelOutcome Model::Handle(size_t connection, uint16_t command, uint16_t id, const uint8_t* data,
                           size_t length, int64_t nowUs) {
    const auto link = oLinks.find(connection);
    if (link == oLinks.end() || (command >> 8) != wire::kDeviceTypeCan)
        return Reply(command, id, kResultFailed);
    PortState* port = FindPort(link->second.nCanPort);
    if (port == nullptr) return Reply(command, id, kResultFailed);
    const uint8_t code = static_cast<uint8_t>(command);
    switch (code) {
        case Code(wire::kCmdInfo):
        case Code(wire::kCmdStatus):
        case Code(wire::kCmdClose):
        case Code(wire::kCmdReadDigital):
        case Code(wire::kCmdWriteDigital):
        case Code(wire::kCmdReadAnalog):
        case Code(wire::kCmdWriteAnalog):
            return HandleDevice(code, command, id, data, length, nowUs);
        case Code(wire::kCmdWrite):
        case Code(wire::kCmdSetConfig):
        case Code(wire::kCmdSetGlobals):
        case Code(wire::kCmdGetGlobals):
        case Code(wire::kCmdSetTime):
        case Code(wire::kCmdGetTime):
        case Code(wire::kCmdSetFilter):
        case Code(wire::kCmdGetFilter):
        case Code(wire::kCmdGetPowerstatus):
        case Code(wire::kCmdSetPowerrelais):
        case Code(wire::kCmdSetPoweractivesupplies):
            return HandleCan(link->second, connection, *port, code, command, id, data, length,
                             nowUs);
        default:
            if (code >= Code(wire::kCmdCanopenSetConfig) && code <= Code(wire::kCmdCanopenSdoWriteBlock))
                return HandleCanopen(connection, *port, code, command, id, data, length, nowUs);
            return Reply(command, id, kResultFailed);
    }
}

ModelOutcome Model::HandleDevice(uint8_t code, uint16_t command, uint16_t id, const uint8_t* d,
                                 size_t length, int64_t) {
    std::vector<uint8_t> payload;
    switch (code) {
        case Code(wire::kCmdInfo): {
            if (length != 0) break;
            AppendU32(&payload, nSerialNumber);
            AppendU16(&payload, kHardwareRevision);
            AppendU16(&payload, kFirmwareVersion);
            payload.insert(payload.end(), std::begin(kDeviceName), std::end(kDeviceName));
            payload.push_back(static_cast<uint8_t>(oPorts.size()));
            payload.push_back(static_cast<uint8_t>(kAnalogChannels));
            payload.push_back(wire::kDeviceTypeCan);
            payload.push_back(static_cast<uint8_t>(kPowerSupplies));
            return Reply(command, id, kResultOk, payload);
        }
        case Code(wire::kCmdStatus): {
            if (length != 0) break;
            const std::string text =
                "TessaraSim ready, " + std::to_string(oLinks.size()) + " connection(s) open";
            return Reply(command, id, kResultOk, std::vector<uint8_t>(text.begin(), text.end()));
        }
        case Code(wire::kCmdClose): {
            if (length != 0) break;
            ModelOutcome o = Reply(command, id, kResultOk);
            o.bRestart = true;
            return o;
        }
        case Code(wire::kCmdReadDigital):
            if (length != 0) break;
            AppendU32(&payload, nDigitalInputs);
            AppendU32(&payload, nDigitalOutputs);
            return Reply(command, id, kResultOk, payload);
        case Code(wire::kCmdWriteDigital):
            if (length != 4) break;
            nDigitalOutputs = GetU32(d);
            return Reply(command, id, kResultOk);
        case Code(wire::kCmdReadAnalog):
            if (length != 0) break;
            // The inputs are wired to the outputs of the same channel.
            AppendU32(&payload, static_cast<uint32_t>(kAnalogChannels));
            for (uint32_t v : oAnalogOutputs) AppendU32(&payload, v);
            return Reply(command, id, kResultOk, payload);
        case Code(wire::kCmdWriteAnalog):
            if (length % 4 != 0 || length / 4 > kAnalogChannels) break;
            for (size_t i = 0; i < length / 4; ++i) oAnalogOutputs[i] = GetU32(d + 4 * i);
            return Reply(command, id, kResultOk);
        default:
            break;
    }
    return Reply(command, id, kResultFailed);
}

std::vector<uint8_t> Model::PowerStatus() const {
    std::vector<uint8_t> p;
    p.push_back(static_cast<uint8_t>(kPowerSupplies));  // ValueCount
    p.push_back(static_cast<uint8_t>(kPowerSupplies));  // FlagCountA
    p.push_back(static_cast<uint8_t>(kPowerSupplies));  // FlagCountB
    size_t powered = 0;
    for (size_t i = 0; i < kPowerSupplies; ++i)
        if (bPowerRelay && (nActiveSupplies >> i & 1) != 0) ++powered;
    AppendU16(&p, kPowerInputMv);
    AppendU16(&p, static_cast<uint32_t>(kPowerIdleMa + kPowerSupplyMa * powered));
    AppendU16(&p, kBoardTemperatureDeciC);
    p.push_back(bPowerRelay ? 1 : 0);
    for (size_t i = 0; i < kPowerSupplies; ++i)
        AppendU16(&p, bPowerRelay && (nActiveSupplies >> i & 1) != 0 ? kPowerNominalMv[i] : 0);
    for (size_t i = 0; i < kPowerSupplies; ++i) p.push_back(nActiveSupplies >> i & 1);
    for (size_t i = 0; i < kPowerSupplies; ++i) p.push_back(0);  // no overload
    return p;
}

ModelOutcome Model::HandleCan(Link& link, size_t connection, PortState& port, uint8_t code,
                              uint16_t command, uint16_t id, const uint8_t* d, size_t length,
                              int64_t nowUs) {
    std::vector<uint8_t> payload;
    PortConfig& config = port.oConfig;
    switch (code) {
        case Code(wire::kCmdWrite): {
            uint8_t result = kResultOk;
            CanFrame f;
            if (length < 5 || length - 5 > kMaxFrameData) {
                result = kResultFailed;
            } else {
                f.nIdentifier = GetU32(d);
                f.cFlags = static_cast<uint8_t>(d[4] & ~kFlagTimestamp);
                f.oData.assign(d + 5, d + length);
                if (!ValidIdentifier(f.nIdentifier, f.cFlags)) {
                    result = kResultFailed;
                } else if (config.nMode != kModeNormal) {
                    result = kResultTransmitError;
                }
            }
            ModelOutcome o;
            const int64_t sentUs = ClockUs(nowUs);
            if (result == kResultOk) PutOnBus(port, f, connection, nowUs, &o);
            if (link.bConfirmData) {
                if (result == kResultOk) {
                    uint32_t seconds = 0, micros = 0;
                    SplitUs(sentUs, &seconds, &micros);
                    AppendU32(&payload, seconds);
                    AppendU32(&payload, micros);
                }
                o.oReply = MakeConfirmation(command, id, result, payload);
            }
            return o;
        }
        case Code(wire::kCmdSetConfig):
            if (length != 2) break;
            link.bConfirmData = d[0] != 0;
            link.bMonitor = d[1] != 0;
            return Reply(command, id, kResultOk);
        case Code(wire::kCmdSetGlobals): {
            if (length != 8 || d[0] > kModeOff) break;
            const uint32_t rate = GetU32(d + 1);
            const bool highSpeed = d[6] != 0;
            const bool supported =
                std::find(std::begin(kSupportedBitRates), std::end(kSupportedBitRates), rate) !=
                std::end(kSupportedBitRates);
            if (!supported || (!highSpeed && rate > kLowSpeedMaxBitRate))
                return Reply(command, id, kResultBadBitRate);
            config.nMode = d[0];
            config.nBitRate = rate;
            config.bTermination = d[5] != 0;
            config.bHighSpeed = highSpeed;
            config.bTimestamp = d[7] != 0;
            return Reply(command, id, kResultOk);
        }
        case Code(wire::kCmdGetGlobals):
            if (length != 0) break;
            payload.push_back(config.nMode);
            AppendU32(&payload, config.nBitRate);
            payload.push_back(config.bTermination ? 1 : 0);
            payload.push_back(config.bHighSpeed ? 1 : 0);
            payload.push_back(config.bTimestamp ? 1 : 0);
            return Reply(command, id, kResultOk, payload);
        case Code(wire::kCmdSetTime): {
            if (length != 8) break;
            const int32_t seconds = static_cast<int32_t>(GetU32(d));
            const int32_t micros = static_cast<int32_t>(GetU32(d + 4));
            if (micros < 0 || micros > 999999) break;
            nClockBaseUs = static_cast<int64_t>(seconds) * 1000000 + micros;
            nClockBaseMonoUs = nowUs;
            bClockSet = true;
            return Reply(command, id, kResultOk);
        }
        case Code(wire::kCmdGetTime): {
            if (length != 0) break;
            uint32_t seconds = 0, micros = 0;
            SplitUs(ClockUs(nowUs), &seconds, &micros);
            payload.push_back(bClockSet ? 1 : 0);
            AppendU32(&payload, seconds);
            AppendU32(&payload, micros);
            return Reply(command, id, kResultOk, payload);
        }
        case Code(wire::kCmdSetFilter):
            if (length != 64) break;
            for (size_t k = 0; k < 16; ++k) port.oFilter[k] = GetU32(d + 4 * k);
            return Reply(command, id, kResultOk);
        case Code(wire::kCmdGetFilter):
            if (length != 0) break;
            for (uint32_t w : port.oFilter) AppendU32(&payload, w);
            return Reply(command, id, kResultOk, payload);
        case Code(wire::kCmdGetPowerstatus):
            if (length != 0) break;
            return Reply(command, id, kResultOk, PowerStatus());
        case Code(wire::kCmdSetPowerrelais):
            if (length != 1) break;
            bPowerRelay = d[0] != 0;
            return Reply(command, id, kResultOk);
        case Code(wire::kCmdSetPoweractivesupplies): {
            if (length != 4) break;
            // Bits of supplies the device does not have are ignored.
            nActiveSupplies = GetU32(d) & ((1u << kPowerSupplies) - 1);
            return Reply(command, id, kResultOk);
        }
        default:
            break;
    }
    return Reply(command, id, kResultFailed);
}

ModelOutcome Model::HandleCanopen(size_t connection, PortState& port, uint8_t code,
                                  uint16_t command, uint16_t id, const uint8_t* d, size_t length,
                                  int64_t nowUs) {
    if (code == Code(wire::kCmdCanopenSetConfig)) {
        if (length != 1 || d[0] > 1) return Reply(command, id, kResultFailed);
        port.nCanopenMode = d[0];
        port.nNextSyncUs = 0;
        return Reply(command, id, kResultOk);
    }
    if (code == Code(wire::kCmdCanopenGetConfig)) {
        if (length != 0) return Reply(command, id, kResultFailed);
        return Reply(command, id, kResultOk, {port.nCanopenMode});
    }
    if (port.nCanopenMode == 0) return Reply(command, id, kResultNotCanopen);

    // Services that put a frame on the bus.
    std::optional<CanFrame> frame;
    switch (code) {
        case Code(wire::kCmdCanopenSyncMode):
            if (length != 2) break;
            port.nSyncPeriodMs = GetU16(d);
            port.nNextSyncUs = 0;
            return Reply(command, id, kResultOk);
        case Code(wire::kCmdCanopenNmt): {
            if (length != 2 || d[0] > 127) break;
            const uint8_t type = d[1];
            if (type != kNmtStart && type != kNmtStop && type != kNmtEnterPreOperational &&
                type != kNmtResetNode && type != kNmtResetCommunication)
                break;
            frame = CanFrame{kCobNmt, 0, {type, d[0]}};
            break;
        }
        case Code(wire::kCmdCanopenSync):
            if (length != 0) break;
            frame = CanFrame{kCobSync, 0, {}};
            break;
        case Code(wire::kCmdCanopenTime): {
            if (length != 6) break;
            const uint16_t day = GetU16(d);
            const uint32_t ms = GetU32(d + 2);
            if (ms >= kMsPerDay) break;
            frame = CanFrame{kCobTime, 0, {}};
            AppendU32(&frame->oData, ms);
            AppendU16(&frame->oData, day);
            break;
        }
        case Code(wire::kCmdCanopenPdo): {
            if (length < 2 || length - 2 > 8) break;
            const uint8_t node = d[0], type = d[1];
            if (node < 1 || node > 127 || type < 1 || type > 8) break;
            frame = CanFrame{PdoBase(type) + node, 0, std::vector<uint8_t>(d + 2, d + length)};
            break;
        }
        default:
            break;
    }
    if (frame) {
        if (port.oConfig.nMode != kModeNormal) return Reply(command, id, kResultTransmitError);
        ModelOutcome o = Reply(command, id, kResultOk);
        PutOnBus(port, *frame, connection, nowUs, &o);
        return o;
    }

    // SDO services: node, then the service's fields; the node answers from
    // its dictionary without delay.
    const bool sdo = code == Code(wire::kCmdCanopenSdoRead) || code == Code(wire::kCmdCanopenSdoWrite) ||
                     code == Code(wire::kCmdCanopenSdoReadBlock) ||
                     code == Code(wire::kCmdCanopenSdoWriteBlock);
    const size_t needed = code == Code(wire::kCmdCanopenSdoWrite) ? 11 : 6;
    const bool exact = code != Code(wire::kCmdCanopenSdoWriteBlock);
    if (!sdo || length < needed || (exact && length != needed) || d[0] < 1 || d[0] > 127)
        return Reply(command, id, kResultFailed);
    const auto slot = port.oNodes.find(d[0]);
    if (slot == port.oNodes.end() || !slot->second.oNode.ServesSdo())
        return Reply(command, id, kResultNodeSilent);
    CanopenNode& node = slot->second.oNode;
    CanopenNode::SdoReply r;
    if (code == Code(wire::kCmdCanopenSdoRead)) {
        r = node.Read(GetU16(d + 1), d[3]);
    } else if (code == Code(wire::kCmdCanopenSdoWrite)) {
        r = node.Write(GetU16(d + 2), d[4], d[1], GetU32(d + 7));
    } else if (code == Code(wire::kCmdCanopenSdoReadBlock)) {
        r = node.ReadBlock(GetU16(d + 1), d[3]);
    } else {
        r = node.WriteBlock(GetU16(d + 1), d[3], d + 6, length - 6);
    }
    std::vector<uint8_t> payload(1 + r.oBytes.size());
    payload[0] = r.cReply;
    std::copy(r.oBytes.begin(), r.oBytes.end(), payload.begin() + 1);
    return Reply(command, id, kResultOk, payload);
}

}  // namespace tes::sim
