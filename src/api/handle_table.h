// Device handles: the process-wide table from handle to client, the open,
// restart and close sequences, and the release of every handle at unload.
// Library interface layer, below the exported functions.
//
// Records are shared: a call in flight keeps its record (and client) alive
// while another thread closes the handle, and the late call then fails with
// the connection's result codes instead of touching freed memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "incoming/client_can_dll.h"
#include "protocol/commands.h"

namespace tes {

struct DeviceHandleRecord;

// The record a thread pins, if any. Each thread that makes calls has one,
// listed from its first call; when the thread ends its hazard is free for
// the next thread that makes calls.
struct ThreadHazard {
    std::atomic<DeviceHandleRecord*> pHeld{nullptr};
    bool bOwned = true;  // guarded by the hazard list's lock
    ThreadHazard* pNext = nullptr;
};

// What a pin reads: PinnedRecord's way is in line in every call. The
// handle table (handle_table.cpp) alone writes these.
namespace pinning {

// A lock-free way to the record of a recently opened handle; handles are
// numbered in sequence, so open handles rarely share a slot.
constexpr size_t kHandleSlots = 256;
using HandleSlot = std::atomic<DeviceHandleRecord*>;
inline HandleSlot& SlotOf(HandleSlot* slots, int32_t handle) {
    return slots[static_cast<uint32_t>(handle) % kHandleSlots];
}

// The part of the handle table a pin reads.
struct PinTable {
    explicit PinTable(bool asymmetric) : bAsymmetric(asymmetric) {}
    HandleSlot oSlots[kHandleSlots] = {};
    // Pins need only a signal fence where the release side can force a
    // barrier on every thread; else they use a full one.
    const bool bAsymmetric;
    // Without the end-of-thread notice there are no hazards: every call
    // takes the locked way. Set once the table is the process's table.
    std::atomic<bool> bHazards{false};
};
// The process's table; null until the first call and after the unload.
extern std::atomic<PinTable*> gTable;
// Counts the times the hazard list was freed (ShutDownDeviceHandles): a
// thread's cached hazard of an earlier generation is gone.
extern std::atomic<uint32_t> gHazardGeneration;

// This thread's hazard, and the generation it belongs to. Plain values: a
// thread-local with a destructor would keep the shared library from being
// unloaded while the thread lives. One object, so that a call finds both
// with one look-up of the thread's storage. __thread rather than
// thread_local: it promises constant initialisation, so that a call reads
// the slot directly instead of asking first whether it must be initialised.
struct MyHazardSlot {
    ThreadHazard* pHazard;
    uint32_t nGeneration;
};
extern __thread MyHazardSlot tMine;

// Finds or makes a hazard for this thread; null when that fails (the caller
// then takes the locked way). A thread's first call only: out of line, so
// that the pin's own way stays short.
[[gnu::noinline]] ThreadHazard* ListMyHazard(uint32_t generation);

inline ThreadHazard* MyHazard() {
    const uint32_t generation = gHazardGeneration.load(std::memory_order_acquire);
    const MyHazardSlot mine = tMine;
    if (mine.pHazard != nullptr && mine.nGeneration == generation) return mine.pHazard;
    return ListMyHazard(generation);
}

}  // namespace pinning

// The record of an open handle for the duration of one call, found without
// the table's lock or a locked instruction: the calling thread announces the
// record in its hazard slot, and a release waits until no thread announces
// it before the record can go. Get() is null when the slot holds another
// handle or none, or when this thread already holds a pin; the caller then
// uses LookupDeviceHandle. Pins are short-lived by contract: a call in
// flight when its handle is closed returns at once, since the close ends the
// link first.
class PinnedRecord {
public:
    explicit PinnedRecord(int32_t handle);
    ~PinnedRecord();
    PinnedRecord(const PinnedRecord&) = delete;
    PinnedRecord& operator=(const PinnedRecord&) = delete;
    DeviceHandleRecord* Get() const { return pRecord; }

private:
    ThreadHazard* pHazard = nullptr;
    DeviceHandleRecord* pRecord = nullptr;
};

struct DeviceHandleRecord {
    std::unique_ptr<CTessaraClientCANDll> pClient;
    std::string sAddress;
    uint16_t nTcpPort = 0;
    int32_t nHandle = 0;
    uint8_t cDeviceType = kDeviceTypeCan;

    ~DeviceHandleRecord();
};

using RecordRef = std::shared_ptr<DeviceHandleRecord>;

inline PinnedRecord::PinnedRecord(int32_t handle) {
    // Before the first call has made the table, the locked way makes it.
    pinning::PinTable* table = pinning::gTable.load(std::memory_order_acquire);
    if (table == nullptr || !table->bHazards.load(std::memory_order_acquire)) return;
    ThreadHazard* hazard = pinning::MyHazard();
    // A second pin on the same thread takes the locked way.
    if (hazard == nullptr || hazard->pHeld.load(std::memory_order_relaxed) != nullptr) return;
    pinning::HandleSlot& slot = pinning::SlotOf(table->oSlots, handle);
    DeviceHandleRecord* record = slot.load(std::memory_order_acquire);
    // Announce, then check that the slot still holds what was announced.
    while (record != nullptr) {
        if (table->bAsymmetric) {
            hazard->pHeld.store(record, std::memory_order_relaxed);
            std::atomic_signal_fence(std::memory_order_seq_cst);
        } else {
            hazard->pHeld.exchange(record, std::memory_order_seq_cst);
        }
        DeviceHandleRecord* again = slot.load(std::memory_order_seq_cst);
        if (again == record) break;
        record = again;
    }
    if (record == nullptr || record->nHandle != handle) {
        hazard->pHeld.store(nullptr, std::memory_order_release);
        return;
    }
    pHazard = hazard;
    pRecord = record;
}

inline PinnedRecord::~PinnedRecord() {
    if (pHazard != nullptr) pHazard->pHeld.store(nullptr, std::memory_order_release);
}

// The record of an open handle, or null.
RecordRef LookupDeviceHandle(int32_t handle);
// Shared by the open paths: port check, handle number, client, connect,
// registration. Writes the handle (or -1) to *handle.
int32_t OpenDeviceHandle(const char* address, int32_t* handle, int32_t timeoutMs, int32_t canPort,
                         int transport, bool linkControl);
// 0, or 0x900000 when the handle is not registered.
int32_t ReleaseDeviceHandle(int32_t handle);

// The open sequence of CANOpenDevice(Ex): OpenDeviceHandle with link control,
// the first telegram id, SET_CONFIG; a failed SET_CONFIG disconnects,
// releases the new handle and writes -1 to *handle.
int32_t OpenDevice(const char* address, int32_t* handle, int32_t timeoutMs, int32_t canPort,
                   int transport, bool confirmData, bool monitor);
// CANRestart: a temporary handle on CAN port 0 without link control, CLOSE,
// and the handle released again (the restarting device ends the link anyway).
int32_t RestartDevice(const char* address, int32_t timeoutMs);
// CANCloseDevice: disconnects (its result does not count) and releases.
int32_t CloseDevice(int32_t handle);
// Closes every open handle, in ascending order (library unload).
void ReleaseAllDeviceHandles();
// ReleaseAllDeviceHandles, then frees the table itself, so that unloading the
// shared library leaves no memory behind. The unload hook's last call.
void ShutDownDeviceHandles();
// Number of open handles (for checks).
size_t OpenHandleCount();
// Number of threads' hazards listed, and of those owned by a live thread
// (for checks).
size_t ListedHazardCount(size_t* owned);

}  // namespace tes
