// Request and confirmation engine: sending, waiting, the confirmation store
// and the evaluation of result bytes.
#include "protocol/client.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "protocol/commands.h"
#include "transport/trace.h"

namespace tes {

namespace {

// A requester may wait for its reply by spinning kReplySpinUs before it
// sleeps: on a fast link with a free core the wake-up of a sleeping thread
// costs more than such a spin. Spinning goes on only while the spins catch
// the replies, that is while a reply comes during the spin rather than
// before its first look. When a spin runs out (a slow link, or a busy
// machine where the spinner keeps the peer or the receive thread off its
// core) or finds the reply there at once (the peer ran on this core before
// the look), the requester sleeps at once, and tries one spin again after
// a number of replies that came within kFastReplyUs: kSpinProbeFirst at
// first, twice as many after each probe that ran out, up to kSpinProbeMost,
// so that where spins never help (one CPU) they cost next to nothing.
constexpr int32_t kReplySpinUs = 50;
constexpr int64_t kFastReplyUs = 150;
constexpr uint32_t kSpinProbeMost = 2048;

// Keeps what the request's spin came to; a spin is tried once per request.
void NoteSpin(sys::SpinResult spun, sys::SpinResult* outcome, int32_t* spinNow) {
    if (*spinNow <= 0) return;
    *outcome = spun;
    *spinNow = 0;
}

// What one stored confirmation costs beyond its data: the telegram object
// and the store's node, roughly.
constexpr size_t kEntryOverheadBytes = sizeof(CTessaraMsg) + 64;

}  // namespace

void CTessaraClient::CConnection::OnConnectionChanged(bool connected) {
    pOwner->OnConnectionChanged(connected);
}

void CTessaraClient::CConnection::OnTelegram(const uint8_t* bytes, uint32_t length) {
    pOwner->OnReceive(bytes, length);
}

void CTessaraClient::CConnection::OnReceiveBatch(bool starting) {
    pOwner->OnReceiveBatch(starting);
}

void CTessaraClient::OnReceiveBatch(bool starting) {
    (void)starting;
}

void CTessaraClient::PublishIndications() {}

CTessaraClient::CTessaraClient(int32_t deviceType, int32_t timeoutMs)
    : oConnection(this), nTimeout(timeoutMs), nDeviceType(deviceType) {}

CTessaraClient::~CTessaraClient() {
    StopReception();
    CTesLock lock(oMutex);
    oConfirmations.clear();
}

void CTessaraClient::StopReception() {
    if (oConnection.State() == kStateConnected) oConnection.Disconnect(nTimeout);
    oConnection.StopThreads();
}

int32_t CTessaraClient::SendTelegram(const CTessaraMsg& request) {
    // A usual request (consistent, small) is laid out on the stack as ToBytes
    // would lay it out, stored checksum included; anything else takes ToBytes.
    uint8_t bytes[256 + kTelegramOverhead];
    if (const size_t length = LayOutTelegram(request, bytes, sizeof bytes)) {
        return SendBytes(bytes, length);
    }
    const std::vector<uint8_t> whole = request.ToBytes();
    return SendBytes(whole.data(), whole.size());
}

int32_t CTessaraClient::ResetTelegramId() {
    nNextTelegramId.store(2);
    return kOk;
}

int32_t CTessaraClient::CloseConnection() {
    return MapTransportResult(oConnection.Disconnect(nTimeout));
}

int32_t CTessaraClient::ConnectDevice(uint16_t port, const char* host, int transport,
                                      bool linkControl) {
    if (port == 0) port = static_cast<uint16_t>(nDeviceType == 0 ? 5099 : nDeviceType + 4999);
    return MapTransportResult(oConnection.Connect(static_cast<uint8_t>(nDeviceType), {}, host, port,
                                                  static_cast<uint32_t>(nTimeout), transport,
                                                  linkControl));
}

void CTessaraClient::OnConnectionChanged(bool connected) {
    bLinkUp.store(connected);
    // A waiting request learns at once that no confirmation can come any more.
    if (!connected) oEvent.Signal();
}

bool CTessaraClient::DispatchIndication(const TelegramView& telegram) {
    (void)telegram;
    return false;
}

int32_t CTessaraClient::EvaluateConfirmation(const CTessaraMsg& confirmation) const {
    if (confirmation.oData.empty()) return kResultNoResultByte | (nDeviceType << 8);
    const uint8_t r = confirmation.oData[0];
    return r == 0 ? kOk : ((nDeviceType << 8) | r);
}

void CTessaraClient::OnReceive(const uint8_t* bytes, uint32_t length) {
    TelegramView view;
    if (!view.Parse(bytes, length)) {
        TES_TRACE("invalid incoming telegram from parter is discarded.");
        return;
    }
    if ((view.nCommand & kConfirmationFlag) == 0) {
        DispatchIndication(view);
        return;
    }
    StoreConfirmation(view);
}

// Out of line: indications, every received frame among them, take the
// short way above.
[[gnu::noinline]] void CTessaraClient::StoreConfirmation(const TelegramView& view) {
    // Whatever came before the confirmation is in its queue before the
    // requester can return.
    PublishIndications();
    ConfirmationEntry entry;
    entry.pTelegram = std::make_unique<CTessaraMsg>(view);
    entry.nArrivalMs = sys::MonotonicMs();
    entry.nBytes = view.nDataLength + kEntryOverheadBytes;
    {
        CTesLock lock(oMutex);
        entry.nSequence = nNextSequence++;
        // The order first: should the store's node then fail, the order
        // holds only an entry that is skipped.
        oArrivals.push_back(Arrival{entry.nSequence, view.nTelegramId});
        // A later confirmation with the same id replaces an unclaimed earlier one.
        ConfirmationEntry& slot = oConfirmations[view.nTelegramId];
        nStoredBytes -= slot.nBytes;
        nStoredBytes += entry.nBytes;
        slot = std::move(entry);
        TrimConfirmations();
    }
    // Signalled outside the lock: the woken requester takes the store's lock
    // at once and must not find it still held.
    oEvent.Signal();
}

std::unique_ptr<CTessaraMsg> CTessaraClient::TakeConfirmation(uint16_t telegramId) {
    CTesLock lock(oMutex);
    auto it = oConfirmations.find(telegramId);
    if (it == oConfirmations.end()) return nullptr;
    std::unique_ptr<CTessaraMsg> telegram = std::move(it->second.pTelegram);
    EraseConfirmation(it);
    return telegram;
}

void CTessaraClient::EraseConfirmation(std::map<uint16_t, ConfirmationEntry>::iterator it) {
    nStoredBytes -= it->second.nBytes;
    oConfirmations.erase(it);
    if (oConfirmations.empty()) {
        oArrivals.clear();
    } else if (oArrivals.size() > 2 * oConfirmations.size() + 64) {
        // Claimed entries pile up in the order while others stay unclaimed:
        // sweep them out in place (no allocation).
        const auto stale = [this](const Arrival& a) {
            const auto entry = oConfirmations.find(a.nTelegramId);
            return entry == oConfirmations.end() || entry->second.nSequence != a.nSequence;
        };
        oArrivals.erase(std::remove_if(oArrivals.begin(), oArrivals.end(), stale), oArrivals.end());
    }
}

void CTessaraClient::TrimConfirmations() {
    const int32_t awaited = nAwaitedId.load();
    bool keepAwaited = false;
    Arrival awaitedArrival{0, 0};
    while (nStoredBytes > kConfirmationBudgetBytes && !oArrivals.empty()) {
        const Arrival oldest = oArrivals.front();
        oArrivals.pop_front();
        const auto it = oConfirmations.find(oldest.nTelegramId);
        if (it == oConfirmations.end() || it->second.nSequence != oldest.nSequence) continue;
        if (static_cast<int32_t>(oldest.nTelegramId) == awaited) {
            keepAwaited = true;
            awaitedArrival = oldest;
            continue;
        }
        nStoredBytes -= it->second.nBytes;
        oConfirmations.erase(it);
        nDroppedConfirmations.fetch_add(1, std::memory_order_relaxed);
        TES_TRACE("confirmation telegram dropped: store full");
    }
    // Back to the front: popping freed room there, so this cannot allocate.
    if (keepAwaited) oArrivals.push_front(awaitedArrival);
}

void CTessaraClient::PurgeConfirmations() {
    const int64_t limit =
        sys::MonotonicMs() - static_cast<int64_t>(static_cast<uint32_t>(nTimeout) / 100) * 1000;
    CTesLock lock(oMutex);
    for (auto it = oConfirmations.begin(); it != oConfirmations.end();) {
        if (it->second.nArrivalMs < limit) {
            TES_TRACE("deleting obsolete confirmation telegram from parter");
            nStoredBytes -= it->second.nBytes;
            it = oConfirmations.erase(it);
        } else {
            ++it;
        }
    }
    if (oConfirmations.empty()) oArrivals.clear();
}

size_t CTessaraClient::StoredConfirmations() {
    CTesLock lock(oMutex);
    return oConfirmations.size();
}

size_t CTessaraClient::StoredConfirmationBytes() {
    CTesLock lock(oMutex);
    return nStoredBytes;
}

std::unique_ptr<CTessaraMsg> CTessaraClient::WaitConfirmation(uint16_t telegramId,
                                                              const int32_t* overrideMs,
                                                              CReadRole& role) {
    int64_t left = overrideMs != nullptr ? *overrideMs : nTimeout;
    const int64_t deadline = sys::MonotonicMs() + left;
    const int64_t startUs = sys::MonotonicUs();
    const int32_t spinUs = nReplySpinUs.load(std::memory_order_relaxed);
    // One spin per request: after the first, the waits sleep at once.
    int32_t spinNow = spinUs;
    sys::SpinResult outcome = sys::SpinResult::kAtOnce;
    bool waited = false;
    std::unique_ptr<CTessaraMsg> telegram = TakeConfirmation(telegramId);
    // Reading in place: what this thread reads, it hands on itself, so a
    // confirmation is in the store when ReadAsWaiter returns.
    while (telegram == nullptr && role.Held() && left >= 0 && bLinkUp.load()) {
        waited = true;
        sys::SpinResult spun = sys::SpinResult::kAtOnce;
        const auto read = oConnection.ReadAsWaiter(static_cast<int32_t>(left), spinNow, &spun);
        NoteSpin(spun, &outcome, &spinNow);
        if (read == CTesIPConnection::WaiterRead::kGiveUp) role.Return();
        telegram = TakeConfirmation(telegramId);
        left = read == CTesIPConnection::WaiterRead::kTimeout ? -1 : deadline - sys::MonotonicMs();
    }
    role.Return();
    // Waiting for the receive thread to store it.
    while (telegram == nullptr && left >= 0 && bLinkUp.load()) {
        waited = true;
        sys::SpinResult spun = sys::SpinResult::kAtOnce;
        const bool signalled = oEvent.SpinThenWait(spinNow, left, &spun);
        NoteSpin(spun, &outcome, &spinNow);
        if (!signalled) break;
        telegram = TakeConfirmation(telegramId);
        if (telegram != nullptr) break;
        left = deadline - sys::MonotonicMs();
    }
    if (telegram != nullptr && waited) {
        const int64_t tookUs = sys::MonotonicUs() - startUs;
        bool spin = false;
        if (spinUs > 0) {
            spin = outcome == sys::SpinResult::kCaught;
            const uint32_t every = nSpinProbeEvery.load(std::memory_order_relaxed);
            if (spin) {
                nSpinProbeEvery.store(kSpinProbeFirst, std::memory_order_relaxed);
            } else if (outcome == sys::SpinResult::kRanOut && every < kSpinProbeMost) {
                nSpinProbeEvery.store(every * 2, std::memory_order_relaxed);
            }
        } else if (tookUs <= kFastReplyUs) {
            spin = nSpinProbe.fetch_add(1, std::memory_order_relaxed) + 1 >=
                   nSpinProbeEvery.load(std::memory_order_relaxed);
        }
        if (spin != (spinUs > 0)) nSpinProbe.store(0, std::memory_order_relaxed);
        nReplySpinUs.store(spin ? kReplySpinUs : 0, std::memory_order_relaxed);
    }
    PurgeConfirmations();
    return telegram;
}

int32_t CTessaraClient::Exchange(const CTessaraMsg& request,
                                 std::unique_ptr<CTessaraMsg>* confirmation,
                                 const int32_t* overrideMs) {
    CTesLock exchange(oExchangeMutex);
    confirmation->reset();
    oEvent.Reset();
    // Known before the request leaves, since the reply may come at once; so
    // is who reads it.
    nAwaitedId.store(request.nTelegramId);
    CReadRole role(oConnection);
    int32_t result = SendTelegram(request);
    if (result == kOk) {
        *confirmation = WaitConfirmation(request.nTelegramId, overrideMs, role);
        const std::unique_ptr<CTessaraMsg>& c = *confirmation;
        if (c == nullptr) {
            result = bLinkUp.load() ? kResultTimeout : kResultNotConnected;
        } else if (c->CalcChecksum() != c->cChecksum) {
            result = kResultBadChecksum;
        } else if (c->nCommand != (request.nCommand | kConfirmationFlag)) {
            result = kResultNotConfirmed;
        }
    }
    nAwaitedId.store(-1);
    TES_TRACE(": 0x" << std::hex << result);
    return result;
}

int32_t CTessaraClient::QueryCommand(uint16_t command, const uint8_t* data, uint16_t length,
                                     std::unique_ptr<CTessaraMsg>* confirmation,
                                     const int32_t* overrideMs) {
    const CTessaraMsg request(data, length, command, TakeTelegramId());
    int32_t result = Exchange(request, confirmation, overrideMs);
    if (result == kOk) result = EvaluateConfirmation(**confirmation);
    return result;
}

int32_t CTessaraClient::SimpleCommand(uint16_t command, const uint8_t* data, uint16_t length) {
    std::unique_ptr<CTessaraMsg> confirmation;
    return QueryCommand(command, data, length, &confirmation);
}

}  // namespace tes
