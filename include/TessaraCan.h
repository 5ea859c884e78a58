/* TessaraCan.h: the flat C interface of the Tessara CAN gateway client library.
 *
 * Every function returns a result code (0 = success; CANErrorMessage turns
 * any code into an English text) unless its comment says otherwise. A handle
 * that is not open gives 0x900000 ("Device handle is invalid") and writes no
 * output, except where noted. Functions never raise exceptions.
 *
 * Conventions per build: on 32-bit Windows the entry points use the C
 * convention (TessaraCan.dll) or, with TESSARA_STDCALL defined by the
 * including application, the standard convention (TessaraCanVB6.dll); every
 * application callback is called with the standard convention there. The
 * 64-bit and Linux builds have one convention.
 */
#ifndef TESSARA_CAN_H
#define TESSARA_CAN_H

#if defined(_WIN32)
#  if defined(TESSARA_BUILDING_LIBRARY)
/* The DLLs export exactly the names of their .def file (decorated ones in
 * TessaraCanVB6), so nothing is marked for export in the sources. */
#    define TESSARA_API
#  else
#    define TESSARA_API __declspec(dllimport)
#  endif
#  if defined(_WIN64)
#    define TESSARA_CALL
#    define TESSARA_CALLBACK
#  else
#    if defined(TESSARA_STDCALL) || defined(TESSARA_STDCALL_EXPORTS)
#      define TESSARA_CALL __stdcall
#    else
#      define TESSARA_CALL __cdecl
#    endif
#    define TESSARA_CALLBACK __stdcall
#  endif
#else
#  define TESSARA_API __attribute__((visibility("default")))
#  define TESSARA_CALL
#  define TESSARA_CALLBACK
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- callbacks, called on the connection's receive thread ---- */

/* A received CAN frame; pData is valid only during the call; nLength 0..64,
 * nFlags 0..255 (bit 2: the gateway time-stamped the frame). */
typedef void(TESSARA_CALLBACK *CanFrameCallback)(int nIdentifier, const char *pData, int nLength,
                                                 int nFlags, int nHandle);
/* As CanFrameCallback, with the gateway's time stamp (0, 0 when absent). */
typedef void(TESSARA_CALLBACK *CanFrameCallbackEx)(int nIdentifier, const char *pData, int nLength,
                                                   int nFlags, int nHandle, int nSeconds,
                                                   int nMicroseconds);
/* CANopen indications; the two trailing arguments of the first four are 0. */
typedef void(TESSARA_CALLBACK *PdoCallback)(unsigned char cNodeId, unsigned char cPdoType,
                                            unsigned char cLength, const char *pData, int nHandle,
                                            int nReserved1, int nReserved2);
typedef void(TESSARA_CALLBACK *SyncCallback)(unsigned char cValue, int nHandle, int nReserved1,
                                             int nReserved2);
typedef void(TESSARA_CALLBACK *EmcyCallback)(unsigned char cNodeId, int nErrorCode,
                                             unsigned char cErrorRegister, const char *pData,
                                             int nHandle, int nReserved1, int nReserved2);
typedef void(TESSARA_CALLBACK *GuardCallback)(unsigned char cNodeId, unsigned char cState,
                                              int nHandle, int nReserved1, int nReserved2);
typedef void(TESSARA_CALLBACK *UndefinedCallback)(int nIdentifier, unsigned char cIdByte0,
                                                  unsigned char cIdByte1, unsigned char cLength,
                                                  const char *pData, int nHandle, int nSeconds,
                                                  int nMicroseconds);

/* ---- open, close, restart ---- */

/* Opens a TCP connection to CAN port nCanPort (0..99, low byte used) of the
 * gateway at pAddress (numeric address or host name), TCP port
 * 5001 + 100 * nCanPort, and configures it (bConfirmData: the gateway
 * confirms every frame written; bMonitor is passed to the gateway).
 * On success *pHandle receives the new handle; on failure -1, except for a
 * CAN port above 99 (0x920000), which leaves *pHandle untouched.
 * Results: 0; 0x1 connection refused (gateway full); 0x20000 .. 0x60000
 * transport failures; a SET_CONFIG failure; 0x920000. */
TESSARA_API int TESSARA_CALL CANOpenDevice(int *pHandle, int bConfirmData, int bMonitor,
                                           int nCanPort, const char *pAddress, int nTimeoutMs);
/* As CANOpenDevice; nTransport 1 = TCP, 2 = UDP, anything else 0x20000. */
TESSARA_API int TESSARA_CALL CANOpenDeviceEx(int *pHandle, int bConfirmData, int bMonitor,
                                             int nCanPort, const char *pAddress, int nTimeoutMs,
                                             int nTransport);
/* Disconnects and releases the handle: 0, or 0x900000. */
TESSARA_API int TESSARA_CALL CANCloseDevice(int nHandle);
/* Asks the gateway at pAddress (TCP port 5001) to restart. */
TESSARA_API int TESSARA_CALL CANRestart(const char *pAddress, int nTimeoutMs);
/* The connection state: 1 closed, 2 connecting, 3 connected, 4 disconnecting,
 * 6 socket stack not initialised; or 0x900000. */
TESSARA_API int TESSARA_CALL CANDeviceConnectState(int nHandle);
/* Starts (seconds > 0) or stops (0) the keep-alive watch; returns 0 for any
 * open handle, 0x900000 otherwise. */
TESSARA_API int TESSARA_CALL CANStartAlive(int nHandle, int nAliveSeconds);

/* ---- port configuration ---- */

TESSARA_API int TESSARA_CALL CANSetGlobals(int nHandle, int nBaudrate, int nOperatingMode,
                                           int bTermination, int bHighSpeed, int bTimestampOn);
/* Baud rate and the three flags are written whenever the handle is open (0 for
 * what the reply did not carry); the operating mode only on success. */
TESSARA_API int TESSARA_CALL CANGetGlobals(int nHandle, int *pBaudrate,
                                           unsigned char *pOperatingMode, int *pTermination,
                                           int *pHighSpeed, int *pTimestampOn);
/* Filter table: 16 32-bit words (8 entries of two words). */
TESSARA_API int TESSARA_CALL CANSetFilter(int nHandle, const int *pFilterTable);
TESSARA_API int TESSARA_CALL CANGetFilter(int nHandle, int *pFilterTable);
TESSARA_API int TESSARA_CALL CANSetTime(int nHandle, int nSeconds, int nMicroseconds);
/* Writes its three outputs also for an invalid handle (then 0). */
TESSARA_API int TESSARA_CALL CANGetTime(int nHandle, int *pTimeFlag, int *pSeconds,
                                        int *pMicroseconds);
/* Every output pointer may be null. Flag lists are written as 0/1 entries over
 * their whole capacity. */
TESSARA_API int TESSARA_CALL CANGetPowerStatus(int nHandle, int nValueCapacity,
                                               unsigned char *pValueCount, int nFlagACapacity,
                                               unsigned char *pFlagCountA, int nFlagBCapacity,
                                               unsigned char *pFlagCountB,
                                               unsigned short *pPowerWord1,
                                               unsigned short *pPowerWord2,
                                               unsigned short *pPowerWord3, int *pPowerFlag,
                                               unsigned short *pPowerValues, int *pPowerFlagsA,
                                               int *pPowerFlagsB);
TESSARA_API int TESSARA_CALL CANSetPowerRelais(int nHandle, int bOn);
TESSARA_API int TESSARA_CALL CANSetActivePowerSupplies(int nHandle, int nBitmask);

/* ---- frames ---- */

/* Writes one frame (nLength low 8 bits used, nFlags low 8 bits). */
TESSARA_API int TESSARA_CALL CANWrite(int nHandle, int nIdentifier, const char *pData, int nLength,
                                      int nFlags);
/* As CANWrite, with the frame's time stamp: the gateway's when frames are
 * confirmed, else the local wall clock (seconds since 1970 local time). */
TESSARA_API int TESSARA_CALL CANWriteEx(int nHandle, int nIdentifier, const char *pData,
                                        int nLength, int nFlags, int *pSeconds,
                                        int *pMicroseconds);
/* Set one frame callback (the other is cleared); null switches it off. */
TESSARA_API int TESSARA_CALL CANSetCallback(int nHandle, CanFrameCallback pCallback);
TESSARA_API int TESSARA_CALL CANSetCallbackEx(int nHandle, CanFrameCallbackEx pCallback);
/* Maximum entries of each of the six receive queues; 0 empties them and turns
 * queueing off. */
TESSARA_API int TESSARA_CALL CANSetMaxSizePerQueue(int nHandle, int nMaxEntries);
/* Takes the oldest queued frame. *pAvailable: -1 when the queue was empty,
 * else the entries left. pData must hold 64 bytes. Any pointer may be null. */
TESSARA_API int TESSARA_CALL CANGetMessage(int nHandle, int *pAvailable, int *pIdentifier,
                                           char *pData, unsigned char *pLength, int *pFlags,
                                           int *pSeconds, int *pMicroseconds);

/* ---- device I/O ---- */

/* Zeroes the 20-byte record first (also for an invalid handle); a null record
 * gives 0x920000. */
TESSARA_API int TESSARA_CALL DeviceInfo(int nHandle, void *pInfoRecord);
/* Returns the bytes written including the terminator; 1 for an invalid handle
 * (buffer untouched). */
TESSARA_API int TESSARA_CALL DeviceStatus(int nHandle, char *pBuffer, unsigned int nBufferSize);
TESSARA_API int TESSARA_CALL CANReadDigital(int nHandle, int *pFirstWord, int *pSecondWord);
TESSARA_API int TESSARA_CALL CANWriteDigital(int nHandle, int nOutputBits);
/* *pCount: in the capacity of pValues, out the values in the reply. */
TESSARA_API int TESSARA_CALL CANReadAnalog(int nHandle, int *pFirstWord, int *pValues,
                                           unsigned short *pCount);
TESSARA_API int TESSARA_CALL CANWriteAnalog(int nHandle, const int *pValues, int nCount);

/* ---- CANopen ---- */

TESSARA_API int TESSARA_CALL CANopenSetCallback(int nHandle, PdoCallback pPdo, SyncCallback pSync,
                                                EmcyCallback pEmcy, GuardCallback pGuard,
                                                UndefinedCallback pUndefined);
TESSARA_API int TESSARA_CALL CANopenSetConfig(int nHandle, int nCanOpenMode);
TESSARA_API int TESSARA_CALL CANopenGetConfig(int nHandle, unsigned char *pCanOpenMode);
TESSARA_API int TESSARA_CALL CANopenSetSYNCMode(int nHandle, int nPeriodTime);
TESSARA_API int TESSARA_CALL CANopenSendNMT(int nHandle, int nNodeId, int nNmtType);
TESSARA_API int TESSARA_CALL CANopenSendSYNC(int nHandle);
TESSARA_API int TESSARA_CALL CANopenSendTIME(int nHandle, int nDay, int nMs);
TESSARA_API int TESSARA_CALL CANopenSendPDO(int nHandle, int nNodeId, int nPdoType, int nLength,
                                            const char *pData);
TESSARA_API int TESSARA_CALL CANopenSendSDORead(int nHandle, int nNodeId, int nIndex,
                                                int nSubindex, int nTimeoutMs,
                                                unsigned char *pReplyByte, int *pReplyValue);
TESSARA_API int TESSARA_CALL CANopenSendSDOWrite(int nHandle, int nNodeId, int nWriteType,
                                                 int nIndex, int nSubindex, int nTimeoutMs,
                                                 int nWriteValue, unsigned char *pReplyByte,
                                                 int *pReplyValue);
TESSARA_API int TESSARA_CALL CANopenSendSDOReadBlock(int nHandle, int nNodeId, int nIndex,
                                                     int nSubindex, int nTimeoutMs,
                                                     int nBufferSize, unsigned char *pReplyByte,
                                                     int *pBlockLength, char *pBuffer);
TESSARA_API int TESSARA_CALL CANopenSendSDOWriteBlock(int nHandle, int nNodeId, int nIndex,
                                                      int nSubindex, int nTimeoutMs, int nLength,
                                                      const char *pData,
                                                      unsigned char *pReplyByte,
                                                      int *pReplyValue);
/* The five CANopen queues; *pAvailable as for CANGetMessage. */
TESSARA_API int TESSARA_CALL CANopenGetPDO(int nHandle, int *pAvailable, unsigned char *pNodeId,
                                           unsigned char *pPdoType, unsigned char *pLength,
                                           char *pData);
TESSARA_API int TESSARA_CALL CANopenGetSYNC(int nHandle, int *pAvailable, unsigned char *pValue);
TESSARA_API int TESSARA_CALL CANopenGetEMCY(int nHandle, int *pAvailable, unsigned char *pNodeId,
                                            unsigned short *pErrorCode,
                                            unsigned char *pErrorRegister, char *pData);
TESSARA_API int TESSARA_CALL CANopenGetGUARD(int nHandle, int *pAvailable, unsigned char *pNodeId,
                                             unsigned char *pState);
TESSARA_API int TESSARA_CALL CANopenGetUndefined(int nHandle, int *pAvailable, int *pIdentifier,
                                                 unsigned char *pIdByte0, unsigned char *pIdByte1,
                                                 unsigned char *pLength, char *pData,
                                                 int *pSeconds, int *pMicroseconds);

/* ---- texts ---- */

/* Both return the bytes written including the terminator, or 0 (and write
 * nothing) for a null buffer or a size of 0 or less. */
TESSARA_API int TESSARA_CALL CANErrorMessage(int nResultCode, char *pBuffer, int nBufferSize);
TESSARA_API int TESSARA_CALL DLLInfo(char *pBuffer, int nBufferSize);

#ifdef __cplusplus
}
#endif

#endif /* TESSARA_CAN_H */
