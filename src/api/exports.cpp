// The exported functions: check the caller's pointers, look the handle up,
// call the client or the handle layer, write the outputs back. The open,
// restart and close sequences live in the handle layer. Library interface
// layer.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "TessaraCan.h"
#include "api/handle_table.h"
#include "api/result_codes.h"

using namespace tes;

namespace {

// Nothing may leave an entry point as an exception; running out of memory
// is reported as a failed command.
template <typename F>
int32_t Guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return kResultFailed;
    }
}

// WithClient's way through the table, when the handle's slot holds another
// handle or this thread already pins one. Out of line: the pinned way is
// every call's way and stays short. The body comes as a copy, so that only
// this way lays it out in memory.
template <typename F>
[[gnu::noinline]] int32_t WithLookedUpClient(int handle, F body) {
    const RecordRef record = LookupDeviceHandle(handle);
    if (!record || !record->pClient) return kResultInvalidHandle;
    return body(*record->pClient);
}

// Runs `body(client)` for an open handle, else 0x900000.
template <typename F>
int32_t WithClient(int handle, F&& body) noexcept {
    return Guarded([&]() -> int32_t {
        // A pin that found no record holds nothing, so a close of the
        // handle in the slot never waits for the way through the table.
        const PinnedRecord pinned(handle);
        if (DeviceHandleRecord* record = pinned.Get()) {
            return record->pClient ? body(*record->pClient) : kResultInvalidHandle;
        }
        return WithLookedUpClient(handle, body);
    });
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- open, close

TESSARA_API int TESSARA_CALL CANOpenDevice(int* pHandle, int bConfirmData, int bMonitor,
                                           int nCanPort, const char* pAddress, int nTimeoutMs) {
    return Guarded([&]() -> int32_t {
        if (pHandle == nullptr || pAddress == nullptr) return kResultInvalidParameter;
        return OpenDevice(pAddress, pHandle, nTimeoutMs, nCanPort, sys::kTransportTcp,
                          bConfirmData != 0, bMonitor != 0);
    });
}

TESSARA_API int TESSARA_CALL CANOpenDeviceEx(int* pHandle, int bConfirmData, int bMonitor,
                                             int nCanPort, const char* pAddress, int nTimeoutMs,
                                             int nTransport) {
    return Guarded([&]() -> int32_t {
        if (pHandle == nullptr || pAddress == nullptr) return kResultInvalidParameter;
        return OpenDevice(pAddress, pHandle, nTimeoutMs, nCanPort, nTransport, bConfirmData != 0,
                          bMonitor != 0);
    });
}

TESSARA_API int TESSARA_CALL CANCloseDevice(int nHandle) {
    return Guarded([&]() { return CloseDevice(nHandle); });
}

TESSARA_API int TESSARA_CALL CANRestart(const char* pAddress, int nTimeoutMs) {
    return Guarded([&]() -> int32_t {
        if (pAddress == nullptr) return kResultInvalidParameter;
        return RestartDevice(pAddress, nTimeoutMs);
    });
}

TESSARA_API int TESSARA_CALL CANDeviceConnectState(int nHandle) {
    return WithClient(nHandle, [](CTessaraClientCANDll& c) { return c.Connection().State(); });
}

TESSARA_API int TESSARA_CALL CANStartAlive(int nHandle, int nAliveSeconds) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        c.Connection().StartAlive(static_cast<uint32_t>(nAliveSeconds) * 1000u);
        return kOk;
    });
}

// ---------------------------------------------------------------- port configuration

TESSARA_API int TESSARA_CALL CANSetGlobals(int nHandle, int nBaudrate, int nOperatingMode,
                                           int bTermination, int bHighSpeed, int bTimestampOn) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        return c.SetGlobals(nBaudrate, static_cast<uint8_t>(nOperatingMode), bTermination != 0,
                            bHighSpeed != 0, bTimestampOn != 0);
    });
}

TESSARA_API int TESSARA_CALL CANGetGlobals(int nHandle, int* pBaudrate,
                                           unsigned char* pOperatingMode, int* pTermination,
                                           int* pHighSpeed, int* pTimestampOn) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        int32_t baudrate = 0;
        uint8_t mode = 0;
        bool termination = false, highSpeed = false, timestampOn = false, delivered = false;
        const int32_t result =
            c.GetGlobals(&baudrate, &mode, &termination, &highSpeed, &timestampOn, &delivered);
        if (pBaudrate) *pBaudrate = baudrate;
        if (pTermination) *pTermination = termination;
        if (pHighSpeed) *pHighSpeed = highSpeed;
        if (pTimestampOn) *pTimestampOn = timestampOn;
        if (pOperatingMode && result == kOk && delivered) *pOperatingMode = mode;
        return result;
    });
}

TESSARA_API int TESSARA_CALL CANSetFilter(int nHandle, const int* pFilterTable) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        if (pFilterTable == nullptr) return static_cast<int32_t>(kResultInvalidParameter);
        return c.SetFilter(pFilterTable);
    });
}

TESSARA_API int TESSARA_CALL CANGetFilter(int nHandle, int* pFilterTable) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        if (pFilterTable == nullptr) return static_cast<int32_t>(kResultInvalidParameter);
        return c.GetFilter(pFilterTable);
    });
}

TESSARA_API int TESSARA_CALL CANSetTime(int nHandle, int nSeconds, int nMicroseconds) {
    return WithClient(nHandle,
                      [&](CTessaraClientCANDll& c) { return c.SetTime(nSeconds, nMicroseconds); });
}

TESSARA_API int TESSARA_CALL CANGetTime(int nHandle, int* pTimeFlag, int* pSeconds,
                                        int* pMicroseconds) {
    bool flag = false;
    int32_t seconds = 0, microseconds = 0;
    const int32_t result = WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        return c.GetTime(&flag, &seconds, &microseconds);
    });
    if (pTimeFlag) *pTimeFlag = flag;
    if (pSeconds) *pSeconds = seconds;
    if (pMicroseconds) *pMicroseconds = microseconds;
    return result;
}

TESSARA_API int TESSARA_CALL CANGetPowerStatus(
    int nHandle, int nValueCapacity, unsigned char* pValueCount, int nFlagACapacity,
    unsigned char* pFlagCountA, int nFlagBCapacity, unsigned char* pFlagCountB,
    unsigned short* pPowerWord1, unsigned short* pPowerWord2, unsigned short* pPowerWord3,
    int* pPowerFlag, unsigned short* pPowerValues, int* pPowerFlagsA, int* pPowerFlagsB) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        PowerStatus s;
        s.nValueCapacity = static_cast<uint8_t>(nValueCapacity);
        s.pValues = pPowerValues;
        s.nFlagACapacity = static_cast<uint8_t>(nFlagACapacity);
        s.nFlagBCapacity = static_cast<uint8_t>(nFlagBCapacity);
        std::vector<uint8_t> flagsA(pPowerFlagsA ? s.nFlagACapacity : 0);
        std::vector<uint8_t> flagsB(pPowerFlagsB ? s.nFlagBCapacity : 0);
        s.pFlagsA = pPowerFlagsA ? flagsA.data() : nullptr;
        s.pFlagsB = pPowerFlagsB ? flagsB.data() : nullptr;
        const int32_t result = c.GetPowerStatus(&s);
        if (pValueCount) *pValueCount = s.nValueCount;
        if (pFlagCountA) *pFlagCountA = s.nFlagCountA;
        if (pFlagCountB) *pFlagCountB = s.nFlagCountB;
        if (pPowerWord1) *pPowerWord1 = s.nPowerWord1;
        if (pPowerWord2) *pPowerWord2 = s.nPowerWord2;
        if (pPowerWord3) *pPowerWord3 = s.nPowerWord3;
        if (pPowerFlag) *pPowerFlag = s.bPowerFlag;
        for (size_t i = 0; i < flagsA.size(); ++i) pPowerFlagsA[i] = flagsA[i] != 0;
        for (size_t i = 0; i < flagsB.size(); ++i) pPowerFlagsB[i] = flagsB[i] != 0;
        return result;
    });
}

TESSARA_API int TESSARA_CALL CANSetPowerRelais(int nHandle, int bOn) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) { return c.SetPowerRelais(bOn != 0); });
}

TESSARA_API int TESSARA_CALL CANSetActivePowerSupplies(int nHandle, int nBitmask) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        return c.SetActivePowerSupplies(static_cast<uint32_t>(nBitmask));
    });
}

// ---------------------------------------------------------------- frames

TESSARA_API int TESSARA_CALL CANWrite(int nHandle, int nIdentifier, const char* pData, int nLength,
                                      int nFlags) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        if (pData == nullptr && static_cast<uint8_t>(nLength) != 0) {
            return static_cast<int32_t>(kResultInvalidParameter);
        }
        return c.WriteFrame(static_cast<uint32_t>(nIdentifier),
                            reinterpret_cast<const uint8_t*>(pData), nLength, nFlags, nullptr,
                            nullptr);
    });
}

TESSARA_API int TESSARA_CALL CANWriteEx(int nHandle, int nIdentifier, const char* pData,
                                        int nLength, int nFlags, int* pSeconds,
                                        int* pMicroseconds) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        if (pData == nullptr && static_cast<uint8_t>(nLength) != 0) {
            return static_cast<int32_t>(kResultInvalidParameter);
        }
        return c.WriteFrame(static_cast<uint32_t>(nIdentifier),
                            reinterpret_cast<const uint8_t*>(pData), nLength, nFlags, pSeconds,
                            pMicroseconds);
    });
}

TESSARA_API int TESSARA_CALL CANSetCallback(int nHandle, CanFrameCallback pCallback) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        c.SetCallback(pCallback);
        return kOk;
    });
}

TESSARA_API int TESSARA_CALL CANSetCallbackEx(int nHandle, CanFrameCallbackEx pCallback) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        c.SetCallbackEx(pCallback);
        return kOk;
    });
}

TESSARA_API int TESSARA_CALL CANSetMaxSizePerQueue(int nHandle, int nMaxEntries) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        c.SetMaxSizePerQueue(static_cast<uint32_t>(nMaxEntries));
        return kOk;
    });
}

TESSARA_API int TESSARA_CALL CANGetMessage(int nHandle, int* pAvailable, int* pIdentifier,
                                           char* pData, unsigned char* pLength, int* pFlags,
                                           int* pSeconds, int* pMicroseconds) {
    // The places are captured by value: the call is a polling loop's and
    // builds no closure of their addresses.
    return WithClient(nHandle, [=](CTessaraClientCANDll& c) {
        // Straight from the queue entry into the caller's places.
        const int32_t available = c.TakeFrame([=](uint32_t identifier, uint8_t flags,
                                                  const uint8_t* data, uint8_t length,
                                                  uint32_t seconds, uint32_t microseconds) {
            if (pIdentifier) *pIdentifier = static_cast<int>(identifier);
            if (pLength) *pLength = length;
            if (pFlags) *pFlags = static_cast<int8_t>(flags);  // reported signed here
            if (pSeconds) *pSeconds = static_cast<int>(seconds);
            if (pMicroseconds) *pMicroseconds = static_cast<int>(microseconds);
            if (pData) CopyFrameBytes(reinterpret_cast<uint8_t*>(pData), data, length);
        });
        if (pAvailable) *pAvailable = available;
        return kOk;
    });
}

// ---------------------------------------------------------------- device I/O

TESSARA_API int TESSARA_CALL DeviceInfo(int nHandle, void* pInfoRecord) {
    if (pInfoRecord == nullptr) return kResultInvalidParameter;
    std::memset(pInfoRecord, 0, 20);
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        return c.GetInfo(static_cast<uint8_t*>(pInfoRecord));
    });
}

TESSARA_API int TESSARA_CALL DeviceStatus(int nHandle, char* pBuffer, unsigned int nBufferSize) {
    return Guarded([&]() -> int32_t {
        const RecordRef record = LookupDeviceHandle(nHandle);
        if (!record || !record->pClient) return 1;
        if (pBuffer == nullptr || nBufferSize == 0) return 0;
        std::string text;
        if (record->pClient->GetStatus(&text) != kOk) std::memset(pBuffer, 0, nBufferSize);
        return CopyText(text, pBuffer, nBufferSize);
    });
}

TESSARA_API int TESSARA_CALL CANReadDigital(int nHandle, int* pFirstWord, int* pSecondWord) {
    return WithClient(
        nHandle, [&](CTessaraClientCANDll& c) { return c.ReadDigital(pFirstWord, pSecondWord); });
}

TESSARA_API int TESSARA_CALL CANWriteDigital(int nHandle, int nOutputBits) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        return c.WriteDigital(static_cast<uint32_t>(nOutputBits));
    });
}

TESSARA_API int TESSARA_CALL CANReadAnalog(int nHandle, int* pFirstWord, int* pValues,
                                           unsigned short* pCount) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        uint16_t count = (pCount != nullptr && pValues != nullptr) ? *pCount : 0;
        int32_t first = 0;
        const int32_t result = c.ReadAnalog(pValues, &count, &first);
        if (pCount) *pCount = count;
        if (pFirstWord && result == kOk) *pFirstWord = first;
        return result;
    });
}

TESSARA_API int TESSARA_CALL CANWriteAnalog(int nHandle, const int* pValues, int nCount) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        const uint32_t n = static_cast<uint32_t>(nCount) & 0xFFFF;
        if (pValues == nullptr && n != 0) return static_cast<int32_t>(kResultInvalidParameter);
        return c.WriteAnalog(pValues, n);
    });
}

// ---------------------------------------------------------------- CANopen

TESSARA_API int TESSARA_CALL CANopenSetCallback(int nHandle, PdoCallback pPdo, SyncCallback pSync,
                                                EmcyCallback pEmcy, GuardCallback pGuard,
                                                UndefinedCallback pUndefined) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        c.SetCanopenCallbacks(pPdo, pSync, pEmcy, pGuard, pUndefined);
        return kOk;
    });
}

TESSARA_API int TESSARA_CALL CANopenSetConfig(int nHandle, int nCanOpenMode) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        return c.CanopenSetConfig(static_cast<uint8_t>(nCanOpenMode));
    });
}

TESSARA_API int TESSARA_CALL CANopenGetConfig(int nHandle, unsigned char* pCanOpenMode) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        uint8_t mode = 0;
        const int32_t result = c.CanopenGetConfig(&mode);
        if (pCanOpenMode) *pCanOpenMode = mode;
        return result;
    });
}

TESSARA_API int TESSARA_CALL CANopenSetSYNCMode(int nHandle, int nPeriodTime) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        return c.CanopenSetSyncMode(static_cast<uint16_t>(nPeriodTime));
    });
}

TESSARA_API int TESSARA_CALL CANopenSendNMT(int nHandle, int nNodeId, int nNmtType) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        return c.CanopenSendNmt(static_cast<uint8_t>(nNodeId), static_cast<uint8_t>(nNmtType));
    });
}

TESSARA_API int TESSARA_CALL CANopenSendSYNC(int nHandle) {
    return WithClient(nHandle, [](CTessaraClientCANDll& c) { return c.CanopenSendSync(); });
}

TESSARA_API int TESSARA_CALL CANopenSendTIME(int nHandle, int nDay, int nMs) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        return c.CanopenSendTime(static_cast<uint16_t>(nDay), static_cast<uint32_t>(nMs));
    });
}

TESSARA_API int TESSARA_CALL CANopenSendPDO(int nHandle, int nNodeId, int nPdoType, int nLength,
                                            const char* pData) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        const uint8_t n = static_cast<uint8_t>(nLength);
        if (pData == nullptr && n != 0) return static_cast<int32_t>(kResultInvalidParameter);
        return c.CanopenSendPdo(static_cast<uint8_t>(nNodeId), static_cast<uint8_t>(nPdoType), n,
                                reinterpret_cast<const uint8_t*>(pData));
    });
}

TESSARA_API int TESSARA_CALL CANopenSendSDORead(int nHandle, int nNodeId, int nIndex, int nSubindex,
                                                int nTimeoutMs, unsigned char* pReplyByte,
                                                int* pReplyValue) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        SdoReply reply;
        const int32_t result = c.CanopenSendSdoRead(
            static_cast<uint8_t>(nNodeId), static_cast<uint16_t>(nIndex),
            static_cast<uint8_t>(nSubindex), static_cast<uint16_t>(nTimeoutMs), &reply);
        if (pReplyByte) *pReplyByte = reply.cReplyByte;
        if (pReplyValue) *pReplyValue = static_cast<int>(reply.nValue);
        return result;
    });
}

TESSARA_API int TESSARA_CALL CANopenSendSDOWrite(int nHandle, int nNodeId, int nWriteType,
                                                 int nIndex, int nSubindex, int nTimeoutMs,
                                                 int nWriteValue, unsigned char* pReplyByte,
                                                 int* pReplyValue) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        SdoReply reply;
        const int32_t result = c.CanopenSendSdoWrite(
            static_cast<uint8_t>(nNodeId), static_cast<uint8_t>(nWriteType),
            static_cast<uint16_t>(nIndex), static_cast<uint8_t>(nSubindex),
            static_cast<uint16_t>(nTimeoutMs), static_cast<uint32_t>(nWriteValue), &reply);
        if (pReplyByte) *pReplyByte = reply.cReplyByte;
        if (pReplyValue) *pReplyValue = static_cast<int>(reply.nValue);
        return result;
    });
}

TESSARA_API int TESSARA_CALL CANopenSendSDOReadBlock(int nHandle, int nNodeId, int nIndex,
                                                     int nSubindex, int nTimeoutMs, int nBufferSize,
                                                     unsigned char* pReplyByte, int* pBlockLength,
                                                     char* pBuffer) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        const uint16_t capacity = pBuffer != nullptr ? static_cast<uint16_t>(nBufferSize) : 0;
        uint8_t replyByte = 0;
        uint16_t blockLength = 0;
        const int32_t result = c.CanopenSendSdoReadBlock(
            static_cast<uint8_t>(nNodeId), static_cast<uint16_t>(nIndex),
            static_cast<uint8_t>(nSubindex), static_cast<uint16_t>(nTimeoutMs), capacity,
            reinterpret_cast<uint8_t*>(pBuffer), &replyByte, &blockLength);
        if (result == kOk) {
            if (pReplyByte) *pReplyByte = replyByte;
            if (pBlockLength) *pBlockLength = blockLength;
        }
        return result;
    });
}

TESSARA_API int TESSARA_CALL CANopenSendSDOWriteBlock(int nHandle, int nNodeId, int nIndex,
                                                      int nSubindex, int nTimeoutMs, int nLength,
                                                      const char* pData, unsigned char* pReplyByte,
                                                      int* pReplyValue) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        const uint16_t n = static_cast<uint16_t>(nLength);
        if (pData == nullptr && n != 0) return static_cast<int32_t>(kResultInvalidParameter);
        SdoReply reply;
        const int32_t result = c.CanopenSendSdoWriteBlock(
            static_cast<uint8_t>(nNodeId), static_cast<uint16_t>(nIndex),
            static_cast<uint8_t>(nSubindex), static_cast<uint16_t>(nTimeoutMs), n,
            reinterpret_cast<const uint8_t*>(pData), &reply);
        if (result == kOk) {
            if (pReplyByte && reply.bReplyByteSet) *pReplyByte = reply.cReplyByte;
            if (pReplyValue && reply.bValueSet) *pReplyValue = static_cast<int>(reply.nValue);
        }
        return result;
    });
}

TESSARA_API int TESSARA_CALL CANopenGetPDO(int nHandle, int* pAvailable, unsigned char* pNodeId,
                                           unsigned char* pPdoType, unsigned char* pLength,
                                           char* pData) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        PdoIndication pdo;
        const int32_t available = c.GetPdo(&pdo);
        if (available >= 0) {
            if (pNodeId) *pNodeId = pdo.cNodeId;
            if (pPdoType) *pPdoType = pdo.cPdoType;
            if (pLength) *pLength = pdo.nLength;
            if (pData) std::memcpy(pData, pdo.oData, pdo.nLength);
        }
        if (pAvailable) *pAvailable = available;
        return kOk;
    });
}

TESSARA_API int TESSARA_CALL CANopenGetSYNC(int nHandle, int* pAvailable, unsigned char* pValue) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        uint8_t value = 0;
        const int32_t available = c.GetSync(&value);
        if (available >= 0 && pValue) *pValue = value;
        if (pAvailable) *pAvailable = available;
        return kOk;
    });
}

TESSARA_API int TESSARA_CALL CANopenGetEMCY(int nHandle, int* pAvailable, unsigned char* pNodeId,
                                            unsigned short* pErrorCode,
                                            unsigned char* pErrorRegister, char* pData) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        EmcyIndication emcy;
        const int32_t available = c.GetEmcy(&emcy);
        if (available >= 0) {
            if (pNodeId) *pNodeId = emcy.cNodeId;
            if (pErrorCode) *pErrorCode = emcy.nErrorCode;
            if (pErrorRegister) *pErrorRegister = emcy.cErrorRegister;
            if (pData) std::memcpy(pData, emcy.oData, sizeof emcy.oData);
        }
        if (pAvailable) *pAvailable = available;
        return kOk;
    });
}

TESSARA_API int TESSARA_CALL CANopenGetGUARD(int nHandle, int* pAvailable, unsigned char* pNodeId,
                                             unsigned char* pState) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        GuardIndication guard;
        const int32_t available = c.GetGuard(&guard);
        if (available >= 0) {
            if (pNodeId) *pNodeId = guard.cNodeId;
            if (pState) *pState = guard.cState;
        }
        if (pAvailable) *pAvailable = available;
        return kOk;
    });
}

TESSARA_API int TESSARA_CALL CANopenGetUndefined(int nHandle, int* pAvailable, int* pIdentifier,
                                                 unsigned char* pIdByte0, unsigned char* pIdByte1,
                                                 unsigned char* pLength, char* pData, int* pSeconds,
                                                 int* pMicroseconds) {
    return WithClient(nHandle, [&](CTessaraClientCANDll& c) {
        UndefinedIndication u;
        const int32_t available = c.GetUndefined(&u);
        if (available >= 0) {
            if (pIdentifier) *pIdentifier = static_cast<int>(u.nIdentifier);
            if (pIdByte0) *pIdByte0 = u.cIdByte0;
            if (pIdByte1) *pIdByte1 = u.cIdByte1;
            if (pLength) *pLength = u.nLength;
            if (pData) std::memcpy(pData, u.oData, u.nLength);
            if (pSeconds) *pSeconds = static_cast<int>(u.nSeconds);
            if (pMicroseconds) *pMicroseconds = static_cast<int>(u.nMicroseconds);
        }
        if (pAvailable) *pAvailable = available;
        return kOk;
    });
}

// ---------------------------------------------------------------- texts

TESSARA_API int TESSARA_CALL CANErrorMessage(int nResultCode, char* pBuffer, int nBufferSize) {
    return Guarded(
        [&]() { return CopyText(MessageForResultCode(nResultCode), pBuffer, nBufferSize); });
}

TESSARA_API int TESSARA_CALL DLLInfo(char* pBuffer, int nBufferSize) {
    return Guarded([&]() { return CopyText(kVersionText, pBuffer, nBufferSize); });
}

}  // extern "C"
