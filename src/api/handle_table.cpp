// Handle table, handle numbering, open and release. Library interface layer.
#include "api/handle_table.h"

#include <atomic>
#include <map>
#include <new>
#include <thread>
#include <vector>

#include "transport/tes_thread.h"
#include "transport/trace.h"

namespace tes {

namespace {

// A lock-free way to the record of a recently opened handle; handles are
// numbered in sequence, so open handles rarely share a slot.
struct alignas(64) HandleSlot {
    std::atomic<DeviceHandleRecord*> pRecord{nullptr};
    std::atomic<uint32_t> nPins{0};
};
constexpr size_t kHandleSlots = 256;

HandleSlot& SlotOf(HandleSlot* slots, int32_t handle) {
    return slots[static_cast<uint32_t>(handle) % kHandleSlots];
}

struct HandleTable {
    HandleSlot oSlots[kHandleSlots];
    CTesMutex oMutex;
    std::map<int32_t, RecordRef> oRecords;
    std::atomic<int32_t> nCounter{0};
    // Clients whose last reference went on their own receive thread (a
    // callback closed its handle) are destroyed on a thread of their own.
    std::atomic<int32_t> nPendingReaps{0};
    CTesEvent oReapDone;
};

// Made on first use and freed only by the unload hook (ShutDownDeviceHandles),
// so that it exists whatever order static objects are destroyed in; a call
// after the unload makes a fresh one. Constant-initialised: no order problem.
std::atomic<HandleTable*> gTable{nullptr};

HandleTable& Table() {
    HandleTable* table = gTable.load(std::memory_order_acquire);
    if (table != nullptr) return *table;
    HandleTable* fresh = new HandleTable;
    if (gTable.compare_exchange_strong(table, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;  // another thread made it first
    return *table;
}

void ReapClient(void* client) {
    delete static_cast<CTessaraClientCANDll*>(client);
    // The count goes last: once it is 0 the unload may free the table.
    Table().oReapDone.Signal();
    Table().nPendingReaps.fetch_sub(1);
}

// Takes the record out of its slot (if it is there) and waits until no call
// holds the slot: afterwards no call can reach the record through it.
void Unslot(HandleTable& table, DeviceHandleRecord* record) {
    HandleSlot& slot = SlotOf(table.oSlots, record->nHandle);
    DeviceHandleRecord* expected = record;
    if (!slot.pRecord.compare_exchange_strong(expected, nullptr)) return;
    while (slot.nPins.load() != 0) std::this_thread::yield();
}

}  // namespace

PinnedRecord::PinnedRecord(int32_t handle) {
    HandleSlot& slot = SlotOf(Table().oSlots, handle);
    slot.nPins.fetch_add(1);
    pPins = &slot.nPins;
    DeviceHandleRecord* record = slot.pRecord.load();
    if (record != nullptr && record->nHandle == handle) pRecord = record;
}

PinnedRecord::~PinnedRecord() {
    pPins->fetch_sub(1);
}

DeviceHandleRecord::~DeviceHandleRecord() {
    if (!pClient) return;
    if (pClient->Connection().IsReceiveThread()) {
        // Destroying here would join the thread we run on.
        CTessaraClientCANDll* client = pClient.release();
        Table().nPendingReaps.fetch_add(1);
        if (!CTesThread::StartDetached(&ReapClient, client)) {
            Table().nPendingReaps.fetch_sub(1);  // no thread: the client stays (and leaks)
        }
    }
}

RecordRef LookupDeviceHandle(int32_t handle) {
    HandleTable& table = Table();
    CTesLock lock(table.oMutex);
    auto it = table.oRecords.find(handle);
    return it == table.oRecords.end() ? nullptr : it->second;
}

int32_t OpenDeviceHandle(const char* address, int32_t* handle, int32_t timeoutMs, int32_t canPort,
                         int transport, bool linkControl) {
    const uint8_t port = static_cast<uint8_t>(canPort);
    if (port > 99) return kResultInvalidParameter;
    HandleTable& table = Table();
    const int32_t number = table.nCounter.fetch_add(1) + 1;
    // The number is the caller's only once the handle is registered.
    *handle = -1;

    auto record = std::make_shared<DeviceHandleRecord>();
    record->pClient = std::make_unique<CTessaraClientCANDll>(timeoutMs, number);
    record->nTcpPort = static_cast<uint16_t>(5001 + 100 * port);
    record->nHandle = number;
    record->sAddress = address != nullptr ? address : "";
    const int32_t result = record->pClient->ConnectDevice(
        record->nTcpPort, record->sAddress.c_str(), transport, linkControl);
    if (result != kOk) {
        *handle = -1;
        TES_TRACE("OpenDevice failed: RC =" << std::hex << result);
        return result;
    }
    CTesLock lock(table.oMutex);
    DeviceHandleRecord* const raw = record.get();
    table.oRecords.emplace(number, std::move(record));
    DeviceHandleRecord* empty = nullptr;
    SlotOf(table.oSlots, number).pRecord.compare_exchange_strong(empty, raw);
    *handle = number;
    TES_TRACE("Device handle 0x" << std::hex << number << " is allocted.");
    return kOk;
}

int32_t ReleaseDeviceHandle(int32_t handle) {
    RecordRef record;
    {
        HandleTable& table = Table();
        CTesLock lock(table.oMutex);
        auto it = table.oRecords.find(handle);
        if (it == table.oRecords.end()) return kResultInvalidHandle;
        record = std::move(it->second);
        table.oRecords.erase(it);
    }
    Unslot(Table(), record.get());
    TES_TRACE("Device handle 0x" << std::hex << handle << " is closed.");
    // The client goes with the last reference: here, or when a call still in
    // flight on another thread returns.
    return kOk;
}

int32_t OpenDevice(const char* address, int32_t* handle, int32_t timeoutMs, int32_t canPort,
                   int transport, bool confirmData, bool monitor) {
    int32_t result = OpenDeviceHandle(address, handle, timeoutMs, canPort, transport, true);
    if (result != kOk) return result;
    const RecordRef record = LookupDeviceHandle(*handle);
    if (!record) return kResultInvalidHandle;
    CTessaraClientCANDll& client = *record->pClient;
    client.ResetTelegramId();
    // Out of memory the open fails as a whole: no handle stays registered.
    try {
        result = client.SetConfig(confirmData, monitor);
    } catch (const std::bad_alloc&) {
        result = kResultFailed;
    }
    if (result != kOk) {
        client.CloseConnection();
        ReleaseDeviceHandle(*handle);
        *handle = -1;
    }
    return result;
}

int32_t RestartDevice(const char* address, int32_t timeoutMs) {
    int32_t temporary = -1;
    const int32_t opened =
        OpenDeviceHandle(address, &temporary, timeoutMs, 0, sys::kTransportTcp, false);
    if (opened != kOk) return opened;
    int32_t result = kResultInvalidHandle;
    if (const RecordRef record = LookupDeviceHandle(temporary)) {
        result = record->pClient->Restart();
    }
    ReleaseDeviceHandle(temporary);
    return result;
}

int32_t CloseDevice(int32_t handle) {
    if (const RecordRef record = LookupDeviceHandle(handle)) {
        if (record->pClient) record->pClient->CloseConnection();
    }
    return ReleaseDeviceHandle(handle);
}

void ReleaseAllDeviceHandles() {
    HandleTable& table = Table();
    std::map<int32_t, RecordRef> records;
    {
        CTesLock lock(table.oMutex);
        records.swap(table.oRecords);
    }
    for (auto& entry : records) Unslot(table, entry.second.get());
    for (auto& entry : records) {
        entry.second.reset();
        TES_TRACE("Device handle 0x" << std::hex << entry.first << " is closed.");
    }
    // Clients handed to reaper threads must be gone before the code is.
    const int64_t deadline = sys::MonotonicMs() + 10000;
    while (table.nPendingReaps.load() > 0 && sys::MonotonicMs() < deadline) {
        table.oReapDone.Wait(100);
    }
}

void ShutDownDeviceHandles() {
    // A library that was never used (or was shut down already) has no table,
    // and the unload must not make one: it could run out of memory there.
    if (gTable.load(std::memory_order_acquire) == nullptr) return;
    ReleaseAllDeviceHandles();
    HandleTable* table = gTable.load(std::memory_order_acquire);
    // A reaper still running after the wait keeps using the table: then it stays.
    if (table == nullptr || table->nPendingReaps.load() != 0) return;
    if (gTable.compare_exchange_strong(table, nullptr, std::memory_order_acq_rel)) delete table;
}

size_t OpenHandleCount() {
    HandleTable& table = Table();
    CTesLock lock(table.oMutex);
    return table.oRecords.size();
}

}  // namespace tes
