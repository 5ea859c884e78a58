// Handle table, handle numbering, open and release. Library interface layer.
#include "api/handle_table.h"

#include <atomic>
#include <map>
#include <new>
#include <thread>
#include <vector>

#include "transport/platform.h"
#include "transport/tes_thread.h"
#include "transport/trace.h"

namespace tes {

namespace pinning {

std::atomic<PinTable*> gTable{nullptr};
std::atomic<uint32_t> gHazardGeneration{1};
__thread MyHazardSlot tMine = {nullptr, 0};

}  // namespace pinning

using pinning::gHazardGeneration;
using pinning::gTable;
using pinning::HandleSlot;
using pinning::kHandleSlots;
using pinning::SlotOf;
using pinning::tMine;

namespace {

// The list of hazards. Its lock, head and generation need no construction
// or destruction, so that a thread may end at any time, the process's end
// and the library's unload included. Both sides hold the lock for a few
// instructions: a taker spins, yielding its time slice.
std::atomic<bool> gHazardLock{false};
ThreadHazard* gHazards = nullptr;

class HazardListLock {
public:
    HazardListLock() {
        while (gHazardLock.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
    }
    ~HazardListLock() { gHazardLock.store(false, std::memory_order_release); }
    HazardListLock(const HazardListLock&) = delete;
    HazardListLock& operator=(const HazardListLock&) = delete;
};

// Runs as a thread that made calls ends.
void FreeHazard(void* hazard) {
    HazardListLock lock;
    static_cast<ThreadHazard*>(hazard)->bOwned = false;
}

}  // namespace

ThreadHazard* pinning::ListMyHazard(uint32_t generation) {
    ThreadHazard* hazard = nullptr;
    {
        HazardListLock lock;
        for (ThreadHazard* h = gHazards; h != nullptr; h = h->pNext) {
            if (!h->bOwned) {
                h->bOwned = true;
                hazard = h;
                break;
            }
        }
        if (hazard == nullptr) {
            hazard = new (std::nothrow) ThreadHazard;
            if (hazard == nullptr) return nullptr;
            hazard->pNext = gHazards;
            gHazards = hazard;
        }
    }
    if (!sys::SetThreadExitValue(hazard)) {
        FreeHazard(hazard);
        return nullptr;
    }
    tMine = {hazard, generation};
    return hazard;
}

namespace {

bool IsAnnounced(const DeviceHandleRecord* record) {
    HazardListLock lock;
    for (const ThreadHazard* h = gHazards; h != nullptr; h = h->pNext) {
        if (h->pHeld.load(std::memory_order_acquire) == record) return true;
    }
    return false;
}

// At the unload: no thread-exit notice may run the library's code later,
// and no call holds a pin any more (every record was unslotted).
void FreeHazards() {
    sys::StopThreadExitNotice();
    ThreadHazard* list = nullptr;
    {
        HazardListLock lock;
        list = gHazards;
        gHazards = nullptr;
        gHazardGeneration.fetch_add(1);
    }
    while (list != nullptr) {
        ThreadHazard* next = list->pNext;
        delete list;
        list = next;
    }
}

struct HandleTable : pinning::PinTable {
    HandleTable() : PinTable(sys::StartHeavyBarrier()) {}
    CTesMutex oMutex;
    std::map<int32_t, RecordRef> oRecords;
    std::atomic<int32_t> nCounter{0};
    // Clients whose last reference went on their own receive thread (a
    // callback closed its handle) are destroyed on a thread of their own.
    std::atomic<int32_t> nPendingReaps{0};
    CTesEvent oReapDone;
};

// The table (pinning::gTable) is made on first use and freed only by the
// unload hook (ShutDownDeviceHandles), so that it exists whatever order
// static objects are destroyed in; a call after the unload makes a fresh one.

// The slow way of Table(): its first call, or the first after an unload.
[[gnu::noinline]] HandleTable& MakeTable() {
    pinning::PinTable* table = nullptr;
    HandleTable* fresh = new HandleTable;
    if (gTable.compare_exchange_strong(table, fresh, std::memory_order_acq_rel)) {
        fresh->bHazards.store(sys::StartThreadExitNotice(&FreeHazard), std::memory_order_release);
        return *fresh;
    }
    delete fresh;  // another thread made it first
    return *static_cast<HandleTable*>(table);
}

inline HandleTable& Table() {
    pinning::PinTable* table = gTable.load(std::memory_order_acquire);
    return table != nullptr ? *static_cast<HandleTable*>(table) : MakeTable();
}

void ReapClient(void* client) {
    delete static_cast<CTessaraClientCANDll*>(client);
    // The count goes last: once it is 0 the unload may free the table.
    Table().oReapDone.Signal();
    Table().nPendingReaps.fetch_sub(1);
}

// Takes the record out of its slot (if it is there) and waits until no
// thread announces it: afterwards no call can reach the record through it.
void Unslot(HandleTable& table, DeviceHandleRecord* record) {
    HandleSlot& slot = SlotOf(table.oSlots, record->nHandle);
    DeviceHandleRecord* expected = record;
    if (!slot.compare_exchange_strong(expected, nullptr)) return;
    // A pin that announced the record before this point is seen below; one
    // that announces it later finds the slot empty and lets go.
    if (table.bAsymmetric) sys::HeavyBarrier();
    while (IsAnnounced(record)) std::this_thread::yield();
}

}  // namespace

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
    SlotOf(table.oSlots, number).compare_exchange_strong(empty, raw);
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
    pinning::PinTable* pinned = gTable.load(std::memory_order_acquire);
    auto* table = static_cast<HandleTable*>(pinned);
    // A reaper still running after the wait keeps using the table: then it stays.
    if (table == nullptr || table->nPendingReaps.load() != 0) return;
    if (!gTable.compare_exchange_strong(pinned, nullptr, std::memory_order_acq_rel)) return;
    const bool hazards = table->bHazards.load();
    delete table;
    if (hazards) FreeHazards();
}

size_t OpenHandleCount() {
    HandleTable& table = Table();
    CTesLock lock(table.oMutex);
    return table.oRecords.size();
}

size_t ListedHazardCount(size_t* owned) {
    HazardListLock lock;
    size_t listed = 0;
    *owned = 0;
    for (const ThreadHazard* h = gHazards; h != nullptr; h = h->pNext) {
        ++listed;
        if (h->bOwned) ++*owned;
    }
    return listed;
}

}  // namespace tes
