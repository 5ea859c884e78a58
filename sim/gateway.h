// Gateway simulator: takes the CAN gateway's place for tests, demos and the
// tessara-sim program. Listens on the CAN ports' TCP and UDP endpoints, speaks
// link control, answers requests from its device model, and lets tests script
// replies, log every received byte and break connections on purpose.
// Simulator layer; uses only the platform contract, the wire oracle
// (testing/wire) and the standard library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "wire.h"
#include "wire_tap.h"

namespace tes::sim {

struct GatewayOptions {
    // Numeric IPv4 or IPv6 address the endpoints bind to.
    std::string sBindAddress = "127.0.0.1";
    // CAN ports 0..99; each has its endpoints at nBasePort + 100 * port.
    std::vector<uint8_t> oCanPorts = {0};
    bool bTcp = true;
    bool bUdp = true;
    // 0 lets the system choose every endpoint's port (see TcpPort, UdpPort).
    uint16_t nBasePort = 5001;
    // Result byte of the CONNECT confirmation; nullopt: CONNECT is not answered.
    std::optional<uint8_t> oConnectAnswer = 0;
    // Result byte of the DISCONNECT confirmation; nullopt: neither answered
    // nor closed.
    std::optional<uint8_t> oDisconnectAnswer = 0;
    // Accepted CONNECTs per CAN port; a CONNECT beyond it is answered with 1
    // (maximum number of connections reached). 0: no limit.
    uint32_t nMaxLinksPerPort = 0;
    // Non-zero: the gateway sends ALIVE requests carrying this period to
    // every open connection, one every half period.
    uint32_t nAliveMs = 0;
    // Wait before every answer the gateway sends to a request.
    uint32_t nReplyDelayMs = 0;
    // Non-zero: the gateway closes a connection when the N-th telegram
    // arrives on it, leaving that one unanswered (a link that breaks in the
    // middle of a request). Counts every telegram, link control included.
    uint32_t nDropAfterTelegrams = 0;
    // Non-zero: the gateway freezes a connection when the N-th telegram
    // arrives on it, leaving that one unanswered: the socket stays open but
    // nothing more is read, answered or sent on it (a peer that lost power
    // or whose cable was pulled). Counts as nDropAfterTelegrams does.
    uint32_t nFreezeAfterTelegrams = 0;
    // Pairs of served CAN ports wired to one virtual bus: a frame on it
    // reaches the connections and nodes of both ports.
    std::vector<std::pair<uint8_t, uint8_t>> oBridges;
    // Received telegrams kept in the log, oldest dropped first; 0: all.
    size_t nMaxLogEntries = 0;
    // Serial number in the INFO record.
    uint32_t nSerialNumber = 0x00012345;
};

// One telegram as the gateway cut it from a connection's byte stream.
struct Telegram {
    size_t nConnection = 0;
    int64_t nTimeMs = 0;  // arrival, MonotonicMs scale
    std::vector<uint8_t> oBytes;

    // Header fields; 0 where the bytes are too short to hold them.
    uint16_t Command() const;
    uint16_t Id() const;
    // The data part (bytes 6 .. size-2); empty below 7 bytes.
    std::vector<uint8_t> Data() const;
    // At least 7 bytes, the length field agrees and the checksum matches.
    bool IsWellFormed() const;
};

// A parsed request handed to a script.
struct Request {
    size_t nConnection = 0;
    uint8_t nCanPort = 0;
    int nTransport = 0;  // tes::sys::kTransportTcp or kTransportUdp
    uint16_t nCommand = 0;
    uint16_t nTelegramId = 0;
    std::vector<uint8_t> oData;
    std::vector<uint8_t> oRaw;
    bool bChecksumOk = false;
};

// Confirmation of `request`: its command word with the confirmation flag, its
// telegram id, the result byte, then `payload`; length and checksum correct.
std::vector<uint8_t> MakeConfirmation(const Request& request, uint8_t result,
                                      const std::vector<uint8_t>& payload = {});

// Full raw reply bytes to send, or nullopt to send nothing.
using ScriptFunction = std::function<std::optional<std::vector<uint8_t>>(const Request&)>;

struct ConnectionInfo {
    size_t nIndex = 0;
    uint8_t nCanPort = 0;
    int nTransport = 0;
    std::string sPeer;  // numeric address of the client
    bool bOpen = false;
    bool bLinked = false;         // a CONNECT was accepted
    uint32_t nClientAliveMs = 0;  // period of the client's last ALIVE request
};

// Notification for observers such as the tessara-sim program.
struct GatewayEvent {
    // kTelegram: received, before it is answered; kAnswered: the answer to a
    // request (model or script) has been sent.
    enum class Kind { kOpened, kClosed, kTelegram, kAnswered };
    Kind eKind = Kind::kTelegram;
    ConnectionInfo oConnection;
    std::vector<uint8_t> oBytes;  // kTelegram, kAnswered: the telegram's bytes
};

class Gateway {
public:
    Gateway();
    ~Gateway();  // Stop()
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Binds every endpoint and starts serving. Clears the log and the
    // connections of an earlier run and puts the model into its power-up
    // state. False with the reason in *error (nothing left open) when any
    // endpoint cannot be bound, an option is out of range, or it is running.
    bool Start(const GatewayOptions& options, std::string* error);
    // Closes every endpoint and connection and joins every thread; returns
    // promptly. Idempotent. The log stays readable. Must not be called from
    // a script or an event hook.
    void Stop();
    bool Running() const;

    // Bound port of a CAN port's endpoint; 0 when there is none.
    uint16_t TcpPort(uint8_t canPort) const;
    uint16_t UdpPort(uint8_t canPort) const;
    std::string BindAddress() const;

    // ---- link control
    void SetConnectAnswer(std::optional<uint8_t> result);
    void SetDisconnectAnswer(std::optional<uint8_t> result);
    void SetReplyDelay(uint32_t ms);
    // Periodic ALIVE requests as GatewayOptions::nAliveMs; 0 stops them.
    void SetAliveRequests(uint32_t periodMs);
    // Gateway-initiated link control telegrams (telegram id 0; CONNECT id 1).
    // False when the connection is not open or the send failed.
    bool SendAliveRequest(size_t connection, uint32_t periodMs);
    bool SendDisconnectRequest(size_t connection);
    bool SendConnectRequest(size_t connection, const std::vector<uint8_t>& data = {});

    // ---- what arrived
    std::vector<Telegram> Log() const;
    std::vector<Telegram> Received(size_t connection) const;
    void ClearLog();
    // Calls `predicate` (without any lock held, so it may call this object)
    // whenever something arrives or changes, until it returns true or
    // `timeoutMs` passes. Returns the last result of the predicate.
    bool WaitFor(const std::function<bool()>& predicate, int64_t timeoutMs);
    // The `nth` (0-based) logged telegram with this command word, waited for.
    std::optional<Telegram> WaitForCommand(uint16_t command, int64_t timeoutMs, size_t nth = 0);
    size_t CountCommand(uint16_t command) const;

    // ---- scripted behaviour
    // From now on telegrams with this command word (requests as well as
    // confirmations, link control included) are answered by `script`
    // instead of the model, also when their checksum is wrong. An empty
    // function removes the script. Scripts run on the connection's thread.
    void Script(uint16_t command, ScriptFunction script);
    void ClearScripts();

    // ---- sending and breaking
    // Sends raw bytes, cut at the given offsets into separate writes (TCP)
    // or datagrams (UDP), waiting `delayMsBetween` between them.
    bool SendRaw(size_t connection, const std::vector<uint8_t>& bytes,
                 std::vector<size_t> splitPoints = {}, uint32_t delayMsBetween = 0);
    bool SendTelegram(size_t connection, uint16_t command, uint16_t telegramId,
                      const std::vector<uint8_t>& data = {});
    // Closes a connection from the gateway's side. False if it was not open.
    bool DropConnection(size_t connection);
    void DropAll();
    // While set, the gateway reads nothing more from the connection (TCP:
    // the client's sends fill the buffers and block; UDP: its datagrams
    // are discarded).
    void SetStopReading(size_t connection, bool stop);
    // Freezes a connection for good: its socket stays open, but the gateway
    // reads nothing more from it and sends nothing on it (no answers, no
    // ALIVE requests, no frames), as a peer that vanished without closing.
    // Telegrams already read and not yet handled are ignored. False if it
    // was not open. Stop, DropConnection and DropAll still close it.
    bool FreezeConnection(size_t connection);

    // ---- connections; indices count from 0 in accept order and stay valid
    size_t ConnectionCount() const;  // ever accepted
    size_t OpenConnectionCount() const;
    std::optional<ConnectionInfo> Connection(size_t connection) const;
    bool WaitForConnections(size_t count, int64_t timeoutMs);
    bool WaitForClosed(size_t connection, int64_t timeoutMs);
    // Waits until no connection is open and every TCP connection's thread
    // has let its socket go (descriptors counted by a test are closed).
    bool WaitForIdle(int64_t timeoutMs);
    // Restarts executed (CLOSE requests).
    size_t RestartCount() const;

    // Called on the gateway's threads, without a lock, one call at a time
    // per thread; set it before Start.
    void SetEventHook(std::function<void(const GatewayEvent&)> hook);
    // Every byte received and sent, per connection (captures); set it before
    // Start. Null: none.
    void SetWireTap(std::shared_ptr<WireTap> tap);

    // ---- the model's bus and nodes; false for an unknown port or node
    bool InjectFrame(uint8_t canPort, uint32_t id, uint8_t flags, const std::vector<uint8_t>& data);
    // A node stays configured across restarts, Stop and Start (each Start
    // boots it afresh); it may be added before Start.
    bool AddNode(uint8_t nodeId, uint8_t canPort = 0);
    bool EmitEmcy(uint8_t nodeId, uint16_t errorCode, uint8_t errorRegister,
                  const std::array<uint8_t, 5>& vendorBytes, uint8_t canPort = 0);
    bool EmitPdo(uint8_t nodeId, uint8_t pdoNumber, const std::vector<uint8_t>& data,
                 uint8_t canPort = 0);
    std::optional<uint8_t> NodeState(uint8_t nodeId, uint8_t canPort = 0) const;
    void SetDigitalInputs(uint32_t bits);
    uint32_t DigitalOutputs() const;
    bool CanopenMode(uint8_t canPort = 0) const;

private:
    struct Impl;
    std::unique_ptr<Impl> p;
};

}  // namespace tes::sim
