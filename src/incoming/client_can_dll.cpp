// Dispatch of unsolicited telegrams to callbacks or queues, and the polling
// of the queues. Incoming data layer.
#include "incoming/client_can_dll.h"

#include <algorithm>
#include <cstring>

#include "protocol/commands.h"
#include "transport/trace.h"

namespace tes {

namespace {

constexpr uint16_t kWordFrame = CommandWord(Cmd::CAN_FRAME_IND);
constexpr uint16_t kWordSync = CommandWord(Cmd::CANOPEN_SYNC_IND);
constexpr uint16_t kWordEmcy = CommandWord(Cmd::CANOPEN_EMCY_IND);
constexpr uint16_t kWordPdo = CommandWord(Cmd::CANOPEN_PDO_IND);
constexpr uint16_t kWordGuard = CommandWord(Cmd::CANOPEN_GUARD_IND);
constexpr uint16_t kWordUndefined = CommandWord(Cmd::CANOPEN_UNDEFINED_IND);

// Fixed part of each indication's payload; shorter ones are dropped.
constexpr uint32_t kPdoPart = 3;
constexpr uint32_t kEmcyPart = 9;
constexpr uint32_t kGuardPart = 2;

// A frame indication's payload: identifier, flags, at most kMaxFrameData
// bytes once the time stamp (if any) is split off into *split.
bool SplitFramePayload(const TelegramView& t, FrameSplit* split) {
    if (t.nDataLength < kFramePart) return false;
    *split = SplitTimestamp(t.pData[4], t.nDataLength - kFramePart, t.pData + kFramePart);
    return split->nLength <= kMaxFrameData;
}

}  // namespace

CTessaraClientCANDll::CTessaraClientCANDll(int32_t timeoutMs, int32_t handle)
    : CTessaraClientCAN(timeoutMs), nHandle(handle) {}

CTessaraClientCANDll::~CTessaraClientCANDll() {
    // Reception ends before callbacks and queues go, so no telegram can reach them.
    StopReception();
    SetCallback(nullptr);
    SetCanopenCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr);
}

void CTessaraClientCANDll::SetCallback(CanFrameCallback callback) {
    pFrameCallbackEx.store(nullptr);
    pFrameCallback.store(callback);
}

void CTessaraClientCANDll::SetCallbackEx(CanFrameCallbackEx callback) {
    pFrameCallback.store(nullptr);
    pFrameCallbackEx.store(callback);
}

void CTessaraClientCANDll::SetCanopenCallbacks(PdoCallback pdo, SyncCallback sync,
                                               EmcyCallback emcy, GuardCallback guard,
                                               UndefinedCallback undefined) {
    pPdoCallback.store(pdo);
    pSyncCallback.store(sync);
    pEmcyCallback.store(emcy);
    pGuardCallback.store(guard);
    pUndefinedCallback.store(undefined);
}

void CTessaraClientCANDll::SetMaxSizePerQueue(uint32_t maximum) {
    if (maximum == 0) {
        bQueueing.store(false);
        for (CReceiveQueue& q : oQueues) q.Clear();
        return;
    }
    for (CReceiveQueue& q : oQueues) q.SetMaximum(maximum);
    bQueueing.store(true);
}

bool CTessaraClientCANDll::DispatchIndication(const TelegramView& t) {
    // Most telegrams are frames staged for their queue, a way that calls
    // nothing and so saves no registers; all else takes DispatchOther.
    if (t.nCommand == kWordFrame && StageFrame(t)) return false;
    return DispatchOther(t);
}

inline bool CTessaraClientCANDll::StageFrame(const TelegramView& t) {
    if (!bStaging || !bQueueing.load(std::memory_order_relaxed)) return false;
    FrameSplit split;
    if (!SplitFramePayload(t, &split)) return false;
    if (pFrameCallback.load(std::memory_order_acquire) != nullptr ||
        pFrameCallbackEx.load(std::memory_order_acquire) != nullptr) {
        return false;
    }
    if (!oQueues[kQueueFrame].StageInBlock(t)) return false;
    bStagedSome = true;
    return true;
}

[[gnu::noinline]] bool CTessaraClientCANDll::DispatchOther(const TelegramView& t) {
    switch (t.nCommand) {
        case kWordFrame:
            DispatchFrame(t);
            break;
        case kWordPdo:
            DispatchPdo(t);
            break;
        case kWordSync:
            DispatchSync(t);
            break;
        case kWordEmcy:
            DispatchEmcy(t);
            break;
        case kWordGuard:
            DispatchGuard(t);
            break;
        case kWordUndefined:
            DispatchUndefined(t);
            break;
        default:
            break;
    }
    return false;  // the caller keeps the telegram; queues hold copies
}

void CTessaraClientCANDll::Enqueue(Queue q, const TelegramView& t) {
    if (!bQueueing.load(std::memory_order_relaxed)) return;
    if (bStaging) {
        // A queue that must publish takes the others along, so that the
        // order across the queues holds.
        if (oQueues[q].StageFull()) PublishIndications();
        oQueues[q].Stage(t);
        bStagedSome = true;
    } else {
        oQueues[q].Push(t);
    }
}

void CTessaraClientCANDll::OnReceiveBatch(bool starting) {
    bStaging = starting;
    if (!starting) PublishIndications();
}

void CTessaraClientCANDll::PublishIndications() {
    // Queueing switched off meanwhile emptied the queues: what was staged
    // before goes the same way.
    const bool keep = bQueueing.load(std::memory_order_relaxed);
    CReceiveQueue::PublishAll(oQueues, kQueueCount, keep);
    bStagedSome = false;
}

void CTessaraClientCANDll::DispatchFrame(const TelegramView& t) {
    FrameSplit split;
    if (!SplitFramePayload(t, &split)) {
        TES_TRACE("Invalid CAN-Telegram received.");
        return;
    }
    const uint32_t identifier = GetU32(t.pData);
    const uint8_t flags = t.pData[4];
    const uint8_t* data = t.pData + kFramePart;
    const auto* bytes = reinterpret_cast<const char*>(data);
    if (CanFrameCallback cb = pFrameCallback.load(std::memory_order_acquire)) {
        PublishBeforeCallback();
        cb(static_cast<int>(identifier), bytes, static_cast<int>(split.nLength), flags, nHandle);
    } else if (CanFrameCallbackEx cbx = pFrameCallbackEx.load(std::memory_order_acquire)) {
        PublishBeforeCallback();
        cbx(static_cast<int>(identifier), bytes, static_cast<int>(split.nLength), flags, nHandle,
            static_cast<int>(split.nSeconds), static_cast<int>(split.nMicroseconds));
    } else {
        Enqueue(kQueueFrame, t);
    }
}

void CTessaraClientCANDll::DispatchPdo(const TelegramView& t) {
    TES_TRACE("PDO Indication.");
    if (t.nDataLength < kPdoPart) return;
    if (PdoCallback cb = pPdoCallback.load(std::memory_order_acquire)) {
        PublishBeforeCallback();
        // The length byte is believed only as far as the bytes that came.
        const uint8_t length =
            static_cast<uint8_t>(std::min<uint32_t>(t.pData[2], t.nDataLength - kPdoPart));
        cb(t.pData[0], t.pData[1], length, reinterpret_cast<const char*>(t.pData + kPdoPart),
           nHandle, 0, 0);
    } else {
        Enqueue(kQueuePdo, t);
    }
}

void CTessaraClientCANDll::DispatchSync(const TelegramView& t) {
    TES_TRACE("SYNC Indication.");
    if (t.nDataLength < 1) return;
    if (SyncCallback cb = pSyncCallback.load(std::memory_order_acquire)) {
        PublishBeforeCallback();
        cb(t.pData[0], nHandle, 0, 0);
    } else {
        Enqueue(kQueueSync, t);
    }
}

void CTessaraClientCANDll::DispatchEmcy(const TelegramView& t) {
    TES_TRACE("EMCY Indication.");
    if (t.nDataLength < kEmcyPart) return;
    if (EmcyCallback cb = pEmcyCallback.load(std::memory_order_acquire)) {
        PublishBeforeCallback();
        char manufacturer[5];
        std::memcpy(manufacturer, t.pData + 4, sizeof manufacturer);
        cb(t.pData[0], static_cast<int>(GetU16(t.pData + 1)), t.pData[3], manufacturer, nHandle, 0,
           0);
    } else {
        Enqueue(kQueueEmcy, t);
    }
}

void CTessaraClientCANDll::DispatchGuard(const TelegramView& t) {
    TES_TRACE("GUARD Indication.");
    if (t.nDataLength < kGuardPart) return;
    if (GuardCallback cb = pGuardCallback.load(std::memory_order_acquire)) {
        PublishBeforeCallback();
        cb(t.pData[0], t.pData[1], nHandle, 0, 0);
    } else {
        Enqueue(kQueueGuard, t);
    }
}

void CTessaraClientCANDll::DispatchUndefined(const TelegramView& t) {
    TES_TRACE("UNDEFINED Indication.");
    if (t.nDataLength < kFramePart) return;
    if (UndefinedCallback cb = pUndefinedCallback.load(std::memory_order_acquire)) {
        PublishBeforeCallback();
        const FrameSplit split =
            SplitTimestamp(t.pData[4], t.nDataLength - kFramePart, t.pData + kFramePart);
        cb(static_cast<int>(GetU32(t.pData)), t.pData[0], t.pData[1],
           static_cast<uint8_t>(split.nLength), reinterpret_cast<const char*>(t.pData + kFramePart),
           nHandle, static_cast<int>(split.nSeconds), static_cast<int>(split.nMicroseconds));
    } else {
        Enqueue(kQueueUndefined, t);
    }
}

// The readers below run under the queue's lock: they only copy. Only
// telegrams that passed the dispatch checks are queued; the length checks
// guard against a queue entry of another shape all the same.

int32_t CTessaraClientCANDll::GetMessage(CanFrame* frame) {
    return TakeFrame([frame](uint32_t identifier, uint8_t flags, const uint8_t* data,
                             uint8_t length, uint32_t seconds, uint32_t microseconds) {
        frame->nIdentifier = identifier;
        frame->cFlags = flags;
        frame->nLength = length;
        CopyFrameBytes(frame->oData, data, length);
        frame->nSeconds = seconds;
        frame->nMicroseconds = microseconds;
    });
}

int32_t CTessaraClientCANDll::GetPdo(PdoIndication* out) {
    return Take(kQueuePdo, [out](const CQueuedTelegram& t) {
        if (t.DataLength() < kPdoPart) return;
        const uint8_t* d = t.Data();
        out->cNodeId = d[0];
        out->cPdoType = d[1];
        out->nLength = static_cast<uint8_t>(
            std::min<size_t>({d[2], sizeof out->oData, t.DataLength() - kPdoPart}));
        std::memcpy(out->oData, d + kPdoPart, out->nLength);
    });
}

int32_t CTessaraClientCANDll::GetSync(uint8_t* value) {
    return Take(kQueueSync, [value](const CQueuedTelegram& t) {
        if (t.DataLength() != 0) *value = t.Data()[0];
    });
}

int32_t CTessaraClientCANDll::GetEmcy(EmcyIndication* out) {
    return Take(kQueueEmcy, [out](const CQueuedTelegram& t) {
        if (t.DataLength() < kEmcyPart) return;
        const uint8_t* d = t.Data();
        out->cNodeId = d[0];
        out->nErrorCode = GetU16(d + 1);
        out->cErrorRegister = d[3];
        std::memcpy(out->oData, d + 4, sizeof out->oData);
    });
}

int32_t CTessaraClientCANDll::GetGuard(GuardIndication* out) {
    return Take(kQueueGuard, [out](const CQueuedTelegram& t) {
        if (t.DataLength() < kGuardPart) return;
        out->cNodeId = t.Data()[0];
        out->cState = t.Data()[1];
    });
}

int32_t CTessaraClientCANDll::GetUndefined(UndefinedIndication* out) {
    return Take(kQueueUndefined, [out](const CQueuedTelegram& t) {
        if (t.DataLength() < kFramePart) return;
        const uint8_t* d = t.Data();
        out->nIdentifier = GetU32(d);
        out->cIdByte0 = d[0];
        out->cIdByte1 = d[1];
        const FrameSplit split = SplitTimestamp(d[4], t.DataLength() - kFramePart, d + kFramePart);
        out->nLength = static_cast<uint8_t>(std::min<uint32_t>(split.nLength, sizeof out->oData));
        std::memcpy(out->oData, d + kFramePart, out->nLength);
        out->nSeconds = split.nSeconds;
        out->nMicroseconds = split.nMicroseconds;
    });
}

}  // namespace tes
