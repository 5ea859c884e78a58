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

struct ThreadHazard;

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
