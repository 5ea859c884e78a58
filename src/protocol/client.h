// Request and confirmation engine: one client per connection issues telegram
// ids, sends requests and matches the confirmations that the receive thread
// stores; the device commands live here too. Protocol layer.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "protocol/result_codes.h"
#include "protocol/telegram.h"
#include "transport/ip_connection.h"
#include "transport/trace.h"

namespace tes {

// Transport result to library result: 1 → 0, 7 → 0x1, n → n << 16.
inline int32_t MapTransportResult(int transportResult) {
    const int n = transportResult & 0xFF;
    if (n == sys::kTrOk) return kOk;
    if (n == sys::kTrRefused) return kResultRefused;
    return static_cast<int32_t>(n) << 16;
}

class CTessaraClient {
public:
    class CConnection : public CTesIPConnection {
    public:
        explicit CConnection(CTessaraClient* owner) : pOwner(owner) {}

    protected:
        void OnConnectionChanged(bool connected) override;
        void OnTelegram(const uint8_t* bytes, uint32_t length) override;
        void OnReceiveBatch(bool starting) override;

    private:
        CTessaraClient* pOwner;
    };

    CTessaraClient(int32_t deviceType, int32_t timeoutMs);
    virtual ~CTessaraClient();
    CTessaraClient(const CTessaraClient&) = delete;
    CTessaraClient& operator=(const CTessaraClient&) = delete;

    // Serialises and sends without waiting.
    virtual int32_t SendTelegram(const CTessaraMsg& request);
    virtual int32_t ResetTelegramId();
    virtual int32_t CloseConnection();
    // Every telegram the connection does not handle itself (receive thread).
    virtual void OnReceive(const uint8_t* bytes, uint32_t length);
    virtual void OnConnectionChanged(bool connected);
    // An unsolicited telegram, read in place; valid only during the call.
    virtual bool DispatchIndication(const TelegramView& telegram);
    // Result byte to result code: empty data 0xC0000 | type << 8, r ≠ 0 type << 8 | r.
    virtual int32_t EvaluateConfirmation(const CTessaraMsg& confirmation) const;
    // Brackets the telegrams of one receive (receive thread); does nothing here.
    virtual void OnReceiveBatch(bool starting);
    // Makes visible what the receive thread has held back of the telegrams
    // before a confirmation, which is called first so that a request never
    // returns ahead of them (receive thread); does nothing here.
    virtual void PublishIndications();

    // Bytes the confirmations not yet claimed may hold per client. Beyond
    // it the oldest are dropped (and counted), except the one a waiting
    // request needs; a gateway cannot make a client hold more.
    static constexpr size_t kConfirmationBudgetBytes = size_t{1} << 20;

    // Port 0 means the device type's default port (type + 4999, 5099 for 0).
    int32_t ConnectDevice(uint16_t port, const char* host, int transport, bool linkControl);
    // Sends `request` and waits for its confirmation (`overrideMs` replaces the
    // time-out for the wait only). The confirmation, when one came, is handed
    // out also with results 0xA0000 and 0xB0000. Exchanges of one client run
    // one at a time.
    int32_t Exchange(const CTessaraMsg& request, std::unique_ptr<CTessaraMsg>* confirmation,
                     const int32_t* overrideMs = nullptr);
    // Sends already serialised bytes (the frame-streaming path: inline, so
    // that a frame crosses as few calls as it can on its way to the socket).
    int32_t SendBytes(const uint8_t* bytes, size_t length) {
        const int32_t result = MapTransportResult(oConnection.Send(bytes, length, nTimeout));
        TES_TRACE("data sended RC=" << result);
        return result;
    }

    uint16_t TakeTelegramId() { return nNextTelegramId.fetch_add(1, std::memory_order_relaxed); }
    uint16_t PeekTelegramId() const { return nNextTelegramId.load(std::memory_order_relaxed); }
    int32_t DeviceType() const { return nDeviceType; }
    int32_t Timeout() const { return nTimeout; }
    CConnection& Connection() { return oConnection; }
    const std::string& PeerAddressText() const { return oConnection.PeerAddressText(); }
    size_t StoredConfirmations();
    // What the stored confirmations count against the budget.
    size_t StoredConfirmationBytes();
    // Confirmations dropped unclaimed to stay within the budget.
    uint64_t DroppedConfirmations() const {
        return nDroppedConfirmations.load(std::memory_order_relaxed);
    }

    // Device commands (every device type answers them).
    int32_t GetInfo(uint8_t* record20);
    int32_t GetStatus(std::string* text);
    int32_t ReadDigital(int32_t* first, int32_t* second);
    int32_t WriteDigital(uint32_t word);
    int32_t ReadAnalog(int32_t* values, uint16_t* count, int32_t* first);
    int32_t WriteAnalog(const int32_t* values, uint32_t count);
    int32_t Restart();

protected:
    // Disconnects a connected link and stops the connection's threads; the
    // most derived destructor calls it first so that no telegram reaches a
    // part of the object that is already gone.
    void StopReception();
    // Runs one request with no reply data: id, exchange, evaluation.
    int32_t SimpleCommand(uint16_t command, const uint8_t* data, uint16_t length);
    // Runs one request and hands out a positive confirmation for unpacking.
    int32_t QueryCommand(uint16_t command, const uint8_t* data, uint16_t length,
                         std::unique_ptr<CTessaraMsg>* confirmation,
                         const int32_t* overrideMs = nullptr);

private:
    struct ConfirmationEntry {
        std::unique_ptr<CTessaraMsg> pTelegram;
        int64_t nArrivalMs = 0;
        uint64_t nSequence = 0;  // arrival order
        size_t nBytes = 0;       // counted against the budget
    };
    struct Arrival {
        uint64_t nSequence;
        uint16_t nTelegramId;
    };

    // Waits for the confirmation with `telegramId`; with the reading role
    // held the waiting thread reads the link itself until the role has to
    // go back to the receive thread.
    std::unique_ptr<CTessaraMsg> WaitConfirmation(uint16_t telegramId, const int32_t* overrideMs,
                                                  CReadRole& role);
    std::unique_ptr<CTessaraMsg> TakeConfirmation(uint16_t telegramId);
    // OnReceive's way for a confirmation (receive thread): stores it and
    // wakes the requesters.
    void StoreConfirmation(const TelegramView& view);
    void PurgeConfirmations();
    // oMutex held: drops the oldest unclaimed confirmations until the store
    // is within its budget again.
    void TrimConfirmations();
    // oMutex held: erases one entry and its bytes.
    void EraseConfirmation(std::map<uint16_t, ConfirmationEntry>::iterator it);

    CConnection oConnection;
    const int32_t nTimeout;
    std::map<uint16_t, ConfirmationEntry> oConfirmations;
    // Arrival order of the stored confirmations, oldest first. Holds also
    // entries that were claimed or replaced since (told apart by their
    // sequence); they are skipped and, when they pile up, swept out.
    std::deque<Arrival> oArrivals;
    size_t nStoredBytes = 0;
    uint64_t nNextSequence = 0;
    CTesMutex oMutex;  // guards oConfirmations, oArrivals, nStoredBytes, nNextSequence
    std::atomic<uint64_t> nDroppedConfirmations{0};
    // Telegram id the request in progress waits for; -1 when none waits.
    std::atomic<int32_t> nAwaitedId{-1};
    std::atomic<uint16_t> nNextTelegramId{0};
    const int32_t nDeviceType;
    CTesEvent oEvent;          // signalled for each stored confirmation
    CTesMutex oExchangeMutex;  // one exchange at a time per client
    std::atomic<bool> bLinkUp{false};
    std::atomic<int32_t> nReplySpinUs{0};  // how long the next wait spins, from the last reply
    std::atomic<uint32_t> nSpinProbe{0};   // fast replies since spinning last stopped
    // Fast replies between two trial spins; starts at kSpinProbeFirst.
    static constexpr uint32_t kSpinProbeFirst = 32;
    std::atomic<uint32_t> nSpinProbeEvery{kSpinProbeFirst};
};

}  // namespace tes
