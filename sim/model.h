// The simulated gateway's device model: CAN port configuration, the device
// clock, digital and analog I/O, power supplies, the virtual CAN bus and the
// CANopen manager with its nodes. No I/O and no locks: the Gateway calls it
// under its own mutex and sends what it returns. Simulator layer.
// Every `nowUs` below is a time of MonotonicUs (wire.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "wire.h"

namespace tes::sim {

// Telegram bytes the model wants sent to one connection.
struct Delivery {
    size_t nConnection = 0;
    std::vector<uint8_t> oBytes;
};

// What the model makes of one request or event.
struct ModelOutcome {
    std::optional<std::vector<uint8_t>> oReply;  // to the requesting connection, first
    std::vector<Delivery> oDeliveries;           // then these, in order
    bool bCloseConnection = false;               // close the requester after the reply
    bool bRestart = false;                       // the device restarts after the reply
};

// Bit rates (bit/s) that SET_GLOBALS accepts; anything else gets 0x24.
inline constexpr uint32_t kSupportedBitRates[] = {10000,  20000,  50000,  100000, 125000,
                                                  250000, 500000, 800000, 1000000};
// Highest bit rate of the low-speed (fault-tolerant) transceiver.
constexpr uint32_t kLowSpeedMaxBitRate = 125000;

// Operating modes of a CAN port (SET_GLOBALS byte 0).
constexpr uint8_t kModeNormal = 0;      // sends and receives
constexpr uint8_t kModeListenOnly = 1;  // receives; transmitting gives 0x21
constexpr uint8_t kModeOff = 2;         // neither; transmitting gives 0x21

// Result bytes the model answers with.
constexpr uint8_t kResultOk = 0x00;
constexpr uint8_t kResultTransmitError = 0x21;
constexpr uint8_t kResultBadBitRate = 0x24;
constexpr uint8_t kResultNodeSilent = 0xFD;
constexpr uint8_t kResultNotCanopen = 0xFE;
constexpr uint8_t kResultFailed = 0xFF;

constexpr size_t kAnalogChannels = 4;
constexpr size_t kPowerSupplies = 3;

// Configuration of one CAN port as GET_GLOBALS reports it.
struct PortConfig {
    uint8_t nMode = kModeNormal;
    uint32_t nBitRate = 500000;
    bool bTermination = false;
    bool bHighSpeed = true;
    bool bTimestamp = false;
};

class Model {
public:
    Model(const std::vector<uint8_t>& canPorts, uint32_t serialNumber);
    ~Model();
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // Back to the power-up state, as after a restart: port configuration,
    // filters, CANopen mode, clock and I/O. Connections and nodes stay.
    void Restart();

    // Wires two CAN ports to one bus (and with it every port already wired
    // to either): a frame on it reaches the connections and nodes of all of
    // them, each port receiving by its own mode, filter and time stamps.
    // Restarts keep the wiring. False for an unknown port or a == b.
    bool Bridge(uint8_t a, uint8_t b);

    void OpenConnection(size_t connection, uint8_t canPort);
    void CloseConnection(size_t connection);

    // One request (not link control) from a connection; `data` holds
    // `length` bytes.
    ModelOutcome Handle(size_t connection, uint16_t command, uint16_t telegramId,
                        const uint8_t* data, size_t length, int64_t nowUs);

    // A frame that appears on a port's bus from outside (tests, tools).
    // False for an unknown port.
    bool InjectFrame(uint8_t canPort, const CanFrame& frame, int64_t nowUs, ModelOutcome* out);

    // Hosts a CANopen node on a port's bus; it boots (boot-up message) at
    // once. False (nothing changes) for an unknown port, a node id outside
    // 1..127 or one that is already there.
    bool AddNode(uint8_t canPort, uint8_t nodeId, int64_t nowUs, ModelOutcome* out);
    // Makes a node send an emergency message (its error register takes
    // `errorRegister`) or one of its transmit PDOs 1..4 (up to 8 bytes).
    bool EmitEmcy(uint8_t canPort, uint8_t nodeId, uint16_t errorCode, uint8_t errorRegister,
                  const uint8_t (&vendor)[5], int64_t nowUs, ModelOutcome* out);
    bool EmitPdo(uint8_t canPort, uint8_t nodeId, uint8_t pdoNumber,
                 const std::vector<uint8_t>& data, int64_t nowUs, ModelOutcome* out);

    // Periodic work that is due at `nowUs`: SYNC of the SYNC mode, node
    // heartbeats.
    ModelOutcome Tick(int64_t nowUs);
    // When Tick has work next; INT64_MAX for never.
    int64_t NextDueUs(int64_t nowUs);

    void SetDigitalInputs(uint32_t bits) { nDigitalInputs = bits; }
    uint32_t DigitalOutputs() const { return nDigitalOutputs; }
    std::optional<PortConfig> Port(uint8_t canPort) const;
    bool CanopenMode(uint8_t canPort) const;
    // NMT state of a node (0x04 stopped, 0x05 operational, 0x7F
    // pre-operational), nullopt when there is no such node.
    std::optional<uint8_t> NodeState(uint8_t canPort, uint8_t nodeId) const;

private:
    struct PortState;
    struct Link {
        uint8_t nCanPort = 0;
        bool bConfirmData = false;
        bool bMonitor = false;
    };

    PortState* FindPort(uint8_t canPort);
    const PortState* FindPort(uint8_t canPort) const;
    // Device clock in microseconds since 1970.
    int64_t ClockUs(int64_t nowUs) const;

    // Puts a frame on a port's bus: every open connection of the ports on
    // that bus other than `source` (and `source` too when its Monitor flag
    // is set) gets it, and the nodes react; their answers go round the bus
    // as well.
    void PutOnBus(PortState& port, const CanFrame& frame, std::optional<size_t> source,
                  int64_t nowUs, ModelOutcome* out);
    // The telegram a connection of the port receives for a bus frame, or
    // nullopt when its filter holds the frame back.
    std::optional<std::vector<uint8_t>> IndicationFor(const PortState& port, const CanFrame& frame,
                                                      int64_t clockUs) const;

    ModelOutcome HandleDevice(uint8_t code, uint16_t command, uint16_t id, const uint8_t* data,
                              size_t length, int64_t nowUs);
    ModelOutcome HandleCan(Link& link, size_t connection, PortState& port, uint8_t code,
                           uint16_t command, uint16_t id, const uint8_t* data, size_t length,
                           int64_t nowUs);
    ModelOutcome HandleCanopen(size_t connection, PortState& port, uint8_t code, uint16_t command,
                               uint16_t id, const uint8_t* data, size_t length, int64_t nowUs);
    std::vector<uint8_t> PowerStatus() const;

    std::vector<std::unique_ptr<PortState>> oPorts;
    std::map<size_t, Link> oLinks;
    uint32_t nSerialNumber;

    // Device clock: microseconds since 1970 at the monotonic instant
    // nClockBaseMonoUs; it runs with monotonic time.
    int64_t nClockBaseUs = 0;
    int64_t nClockBaseMonoUs = 0;
    bool bClockSet = false;

    uint32_t nDigitalInputs = 0;
    uint32_t nDigitalOutputs = 0;
    uint32_t oAnalogOutputs[kAnalogChannels] = {};
    bool bPowerRelay = false;
    uint32_t nActiveSupplies = 0;
};

}  // namespace tes::sim
