// Gateway simulator, requests and link control: what each received telegram
// gets (script, link control, the device model), answers with their delay,
// and the timer that sends ALIVE requests and the model's timed traffic.
// Simulator layer.
#include <algorithm>

#include "gateway_impl.h"
#include "wire/telegram.h"

namespace tes::sim {

// An answer to a request: the configured delay, then the bytes.
void Gateway::Impl::Reply(const ConnPtr& c, const std::vector<uint8_t>& bytes) {
    uint32_t delay;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        delay = oOptions.nReplyDelayMs;
    }
    if (delay > 0 && !Pause(delay)) return;
    if (!Send(c, bytes)) return;
    ConnectionInfo info;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        if (!oHook) return;
        info = c->oInfo;
    }
    Emit(GatewayEvent::Kind::kAnswered, info, &bytes);
}

void Gateway::Impl::Deliver(const std::vector<Delivery>& deliveries) {
    for (const Delivery& d : deliveries) {
        ConnPtr c;
        {
            std::lock_guard<std::mutex> lock(oMutex);
            c = Find(d.nConnection);
        }
        if (c) Send(c, d.oBytes);
    }
}

void Gateway::Impl::HandleTelegram(const ConnPtr& c, const uint8_t* bytes, size_t length) {
    Telegram logged;
    logged.nTimeMs = sys::MonotonicMs();
    logged.oBytes.assign(bytes, bytes + length);
    wire::View view;
    wire::Decode(bytes, length, &view);
    const bool parsed = view.bFramed;
    ScriptFunction script;
    ConnectionInfo info;
    bool drop = false;
    bool freeze = false;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        if (c->bFrozen) return;  // read before the freeze: never handled
        ++c->nTelegrams;
        drop = oOptions.nDropAfterTelegrams != 0 && c->nTelegrams >= oOptions.nDropAfterTelegrams;
        if (oOptions.nFreezeAfterTelegrams != 0 &&
            c->nTelegrams >= oOptions.nFreezeAfterTelegrams) {
            freeze = true;
            c->bFrozen = c->bStopReading = true;
        }
        logged.nConnection = c->oInfo.nIndex;
        oLog.push_back(logged);
        if (oOptions.nMaxLogEntries != 0 && oLog.size() > oOptions.nMaxLogEntries) oLog.pop_front();
        if (parsed) {
            const auto it = oScripts.find(view.nCommand);
            if (it != oScripts.end()) script = it->second;
        }
        info = c->oInfo;
        Changed();
    }
    Emit(GatewayEvent::Kind::kTelegram, info, &logged.oBytes);
    if (drop) {
        Close(c);
        return;
    }
    if (freeze) return;
    if (!parsed) return;  // fewer than 7 bytes: nothing to answer

    Request request;
    request.nConnection = info.nIndex;
    request.nCanPort = info.nCanPort;
    request.nTransport = info.nTransport;
    request.nCommand = view.nCommand;
    request.nTelegramId = view.nId;
    request.oData.assign(view.pData, view.pData + view.nDataLength);
    request.oRaw = std::move(logged.oBytes);
    request.bChecksumOk = view.bWellFormed;

    if (script) {
        const std::optional<std::vector<uint8_t>> reply = script(request);
        if (reply) Reply(c, *reply);
    } else if (request.bChecksumOk) {
        // A corrupted telegram is dropped without an answer, as the device does.
        Answer(c, request);
    }
    std::lock_guard<std::mutex> lock(oMutex);
    Changed();
}

void Gateway::Impl::Answer(const ConnPtr& c, const Request& r) {
    const uint16_t word = r.nCommand;
    if (word == wire::ConfirmationOf(wire::kCmdDisconnect)) {
        Close(c);  // the client confirmed the gateway's DISCONNECT
        return;
    }
    if ((word & wire::kConfirmation) != 0) return;  // answers to the gateway's own requests
    if (word == wire::kCmdConnect) {
        std::optional<uint8_t> answer;
        {
            std::lock_guard<std::mutex> lock(oMutex);
            answer = oOptions.oConnectAnswer;
            if (answer == uint8_t{0} && oOptions.nMaxLinksPerPort != 0 && !c->oInfo.bLinked &&
                LinkedOnPort(c->oInfo.nCanPort) >= oOptions.nMaxLinksPerPort) {
                answer = 1;  // maximum number of connections reached
            }
            if (answer == uint8_t{0}) c->oInfo.bLinked = true;
        }
        if (answer) Reply(c, MakeConfirmation(r, *answer));
        return;
    }
    if (word == wire::kCmdDisconnect) {
        std::optional<uint8_t> answer;
        {
            std::lock_guard<std::mutex> lock(oMutex);
            answer = oOptions.oDisconnectAnswer;
        }
        if (!answer) return;  // a silent gateway also keeps the connection
        Reply(c, MakeConfirmation(r, *answer));
        Close(c);
        return;
    }
    if (word == wire::kCmdAlive) {
        uint8_t result = 0xFF;  // no period in the request
        if (r.oData.size() >= 4) {
            result = 0;
            std::lock_guard<std::mutex> lock(oMutex);
            c->oInfo.nClientAliveMs = GetU32(r.oData.data());
        }
        Reply(c, MakeConfirmation(r, result));
        return;
    }

    ModelOutcome outcome;
    {
        std::lock_guard<std::mutex> lock(oMutex);
        if (!pModel) return;
        outcome = pModel->Handle(c->oInfo.nIndex, word, r.nTelegramId, r.oData.data(),
                                 r.oData.size(), MonotonicUs());
        if (outcome.bRestart) {
            // Counted before the confirmation leaves, so that a client that
            // has it already sees the restart.
            ++nRestarts;
            pModel->Restart();
        }
        Rescheduled();
    }
    if (outcome.oReply) Reply(c, *outcome.oReply);
    Deliver(outcome.oDeliveries);
    if (outcome.bCloseConnection) Close(c);
    if (outcome.bRestart) CloseAll();
}

void Gateway::Impl::TimerLoop() {
    std::unique_lock<std::mutex> lock(oMutex);
    while (!bStopping) {
        const int64_t nowMs = sys::MonotonicMs();
        const int64_t nowUs = MonotonicUs();
        int64_t nextUs = nowUs + 1000000;
        std::vector<Delivery> out;
        try {
            if (oOptions.nAliveMs != 0) {
                if (nowMs >= nNextAliveMs) {
                    const std::vector<uint8_t> request =
                        MakeTelegram(wire::kCmdAlive, 0, U32Bytes(oOptions.nAliveMs));
                    for (const ConnPtr& c : oConns)
                        if (c->oInfo.bOpen) out.push_back(Delivery{c->oInfo.nIndex, request});
                    nNextAliveMs = nowMs + std::max<int64_t>(oOptions.nAliveMs / 2, 10);
                }
                nextUs = std::min(nextUs, nowUs + (nNextAliveMs - nowMs) * 1000);
            }
            ModelOutcome outcome = pModel->Tick(nowUs);
            for (Delivery& d : outcome.oDeliveries) out.push_back(std::move(d));
            nextUs = std::min(nextUs, pModel->NextDueUs(nowUs));
        } catch (...) {
            out.clear();  // out of memory: try again on the next pass
        }
        const uint64_t seen = nSchedule;
        if (!out.empty()) {
            lock.unlock();
            Deliver(out);
            lock.lock();
        }
        const int64_t waitUs = std::max<int64_t>(nextUs - MonotonicUs(), 0);
        oCond.wait_for(lock, std::chrono::microseconds(waitUs),
                       [&] { return bStopping || nSchedule != seen; });
    }
}

}  // namespace tes::sim
