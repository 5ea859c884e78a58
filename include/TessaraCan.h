/* TessaraCan.h: the flat C interface of the Tessara CAN gateway client library.
 * Every function and callback type is documented below; `cmake --build
 * --target docs` turns these comments into the HTML reference. */

/**
 * @file TessaraCan.h
 * @brief The flat C interface of the Tessara CAN gateway client library:
 *        46 functions and 7 callback types.
 *
 * @mainpage Tessara CAN library API reference
 *
 * An application opens a connection to one CAN port of a gateway
 * (CANOpenDevice()), configures the port, writes frames, receives frames by
 * callback or from bounded queues, drives the device's I/O and power
 * supplies, runs CANopen services through the gateway's manager and closes
 * the connection again (CANCloseDevice()). The modules list the functions by
 * topic: @ref tessara_open, @ref tessara_config, @ref tessara_frames,
 * @ref tessara_io, @ref tessara_canopen, @ref tessara_callbacks and
 * @ref tessara_texts.
 *
 * @section tessara_results Result codes
 *
 * Every function returns a result code, 0 for success, unless its
 * documentation says otherwise (CANDeviceConnectState(), DeviceStatus(),
 * CANErrorMessage() and DLLInfo() return other values). CANErrorMessage()
 * turns any code into an English text. No function throws; running out of
 * memory inside the library is reported as 0xFF.
 *
 * | Code | Meaning |
 * |---|---|
 * | 0 | success |
 * | 0x1 | the gateway refused the link: its maximum number of connections is reached |
 * | 0x20000 | socket error: a socket call failed, or an unknown transport was asked for |
 * | 0x30000 | not connected: no connection could be made, or the link is (or went) down |
 * | 0x40000 | time-out: the request could not be sent, or no confirmation came, in time |
 * | 0x50000 | the link is in a state that does not allow the request (opening or closing) |
 * | 0x60000 | the socket stack could not be initialised |
 * | 0xA0000 | the confirmation's checksum is wrong |
 * | 0xB0000 | the telegram with the request's id is not its confirmation |
 * | 0xC0200 | the confirmation carries no result byte (or ends inside its lists) |
 * | 0x900000 | the handle is not open |
 * | 0x920000 | an invalid argument the library itself rejects (named per function) |
 * | 0x200 + r | the gateway refused the request with result byte r (below) |
 * | 0xFF | the library ran out of memory |
 *
 * The gateway's result bytes include 0x221 transmit error, 0x224 bit rate
 * not supported, 0x2FC CANopen block time-out, 0x2FD CANopen node does not
 * answer, 0x2FE CANopen mode not switched on and 0x2FF command failed or
 * value rejected.
 *
 * @section tessara_requests Requests, time-outs and blocking
 *
 * Most functions are @e requests: they send one telegram to the gateway on
 * the calling thread and block until its confirmation arrives. The time-out
 * given to CANOpenDevice() (@c nTimeoutMs, milliseconds) bounds both halves:
 * the send (which only waits when the socket cannot take the bytes) and the
 * wait for the confirmation. The four SDO transfers wait twice their own
 * time-out argument instead. A request whose link goes down while it waits
 * returns 0x30000 at once; a send that cannot complete within the time-out
 * returns 0x40000 and ends the link (the handle's state becomes 1). Every
 * request can therefore return, besides its
 * own codes: 0x20000, 0x30000, 0x40000, 0x50000, 0x60000, 0xA0000, 0xB0000,
 * 0xC0200, 0x200 + r, 0x900000 and 0xFF. Functions that are not requests say
 * so and do not block (or say how long they can).
 *
 * The library checks almost none of the values it forwards: the gateway
 * judges them and answers a value it rejects with its result byte. Value
 * ranges given below as "the gateway accepts" are those of the gateway and of
 * the simulator @c tessara-sim; the library passes the low bits of each value
 * named per parameter.
 *
 * @section tessara_threads Threads
 *
 * Every function may be called from any thread. Requests on one handle are
 * serialised by the library: a second thread's request waits until the first
 * one's exchange has ended. Calls on different handles do not wait for each
 * other. A handle may be closed while another thread still uses it; that call
 * then fails with a code, and the connection goes when the last call on it
 * returns.
 *
 * Each open handle has one receive thread, which reads everything the
 * gateway sends and runs the application's callbacks (@ref tessara_callbacks),
 * one telegram at a time in the order of arrival; while a callback runs, no
 * further telegram of that connection is read, confirmations included. With
 * keep-alive on (CANStartAlive()), a second thread watches the link.
 *
 * @section tessara_conventions Calling conventions
 *
 * On 32-bit Windows the entry points use the C convention (TessaraCan.dll)
 * or, with @c TESSARA_STDCALL defined by the including application, the
 * standard convention with decorated names (TessaraCanVB6.dll); every
 * application callback is called with the standard convention in both. The
 * 64-bit and Linux builds have one convention. All integers stay 32-bit in
 * the 64-bit builds; only pointers widen.
 */
#ifndef TESSARA_CAN_H
#define TESSARA_CAN_H

/**
 * @def TESSARA_API
 * @brief Marks an exported function: imported from the DLL on Windows,
 *        default visibility on Linux.
 * @def TESSARA_CALL
 * @brief The calling convention of the entry points: @c __cdecl in
 *        TessaraCan.dll, @c __stdcall in TessaraCanVB6.dll (the application
 *        defines @c TESSARA_STDCALL), empty elsewhere.
 * @def TESSARA_CALLBACK
 * @brief The calling convention of application callbacks: @c __stdcall in
 *        both 32-bit Windows builds, empty elsewhere. Declare every callback
 *        with it.
 */
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

/**
 * @defgroup tessara_callbacks Callbacks
 * @brief Functions the application gives the library, called on the
 *        connection's receive thread.
 *
 * Each callback runs on the receive thread of the handle it was installed
 * on, one telegram at a time, in the order the telegrams arrived; while it
 * runs, that connection reads nothing else (confirmations included), so keep
 * it short and hand longer work to a thread of your own. Pointers passed to
 * a callback are valid only during the call: copy what you keep.
 *
 * From inside a callback the application may call: CANWrite() and
 * CANWriteEx() on a handle opened without frame confirmation, the queue
 * reads (CANGetMessage(), CANopenGetPDO() ...), the callback setters,
 * CANSetMaxSizePerQueue(), CANDeviceConnectState(), CANErrorMessage(),
 * DLLInfo(), any function on @e other handles, and CANCloseDevice() on its
 * own handle (the connection is then torn down on a thread of the library's
 * own after the callback returns). It must not call a request on the
 * callback's own handle: the confirmation would have to be read by the very
 * thread that waits for it, so such a call fails with 0x40000 after the
 * handle's time-out.
 *
 * In the 32-bit Windows builds every callback is called with the standard
 * convention (@ref TESSARA_CALLBACK) and each argument takes one 32-bit slot;
 * 8-bit arguments carry their value in the low 8 bits of their slot.
 * A callback set on a handle takes effect from the next telegram on; a
 * callback that is set wins over the queue of its kind. Telegrams queued
 * before a callback takes over are in their queues by the time it first
 * runs, so a program that moves from polling to a callback empties the
 * queue from there and misses nothing older.
 * @{
 */

/**
 * @brief A received CAN frame (installed with CANSetCallback()).
 * @param nIdentifier CAN identifier as received: 11 bits (0..0x7FF) or, with
 *        bit 0 of @p nFlags, 29 bits (0..0x1FFFFFFF).
 * @param pData The frame's data bytes, @p nLength of them; valid only during
 *        the call.
 * @param nLength Number of data bytes, 0..64.
 * @param nFlags The frame's flags byte, 0..255: bit 0 extended identifier,
 *        bit 1 remote frame, bit 2 the gateway time-stamped the frame (the
 *        stamp is passed only to CanFrameCallbackEx); other bits as the
 *        gateway sent them.
 * @param nHandle The handle the frame arrived on.
 */
typedef void(TESSARA_CALLBACK *CanFrameCallback)(int nIdentifier, const char *pData, int nLength,
                                                 int nFlags, int nHandle);
/**
 * @brief A received CAN frame with its time stamp (installed with
 *        CANSetCallbackEx()).
 * @param nIdentifier CAN identifier, as for CanFrameCallback.
 * @param pData The data bytes; valid only during the call.
 * @param nLength Number of data bytes, 0..64.
 * @param nFlags Flags byte 0..255, as for CanFrameCallback.
 * @param nHandle The handle the frame arrived on.
 * @param nSeconds The gateway's time stamp, seconds on the device clock
 *        (CANSetTime()); 0 when bit 2 of @p nFlags is clear (the port sends
 *        no time stamps, see CANSetGlobals()).
 * @param nMicroseconds Microseconds of the time stamp, 0..999999; 0 without
 *        a time stamp.
 */
typedef void(TESSARA_CALLBACK *CanFrameCallbackEx)(int nIdentifier, const char *pData, int nLength,
                                                   int nFlags, int nHandle, int nSeconds,
                                                   int nMicroseconds);
/**
 * @brief A CANopen PDO indication (installed with CANopenSetCallback()).
 * @param cNodeId The node that sent the PDO, 1..127.
 * @param cPdoType PDO type: 1..4 transmit PDO 1..4 of the node, 5..8 receive
 *        PDO 1..4.
 * @param cLength Number of data bytes at @p pData (the gateway's length,
 *        limited to the bytes that arrived), normally 0..8.
 * @param pData The PDO data; valid only during the call.
 * @param nHandle The handle the indication arrived on.
 * @param nReserved1 Always 0.
 * @param nReserved2 Always 0.
 */
typedef void(TESSARA_CALLBACK *PdoCallback)(unsigned char cNodeId, unsigned char cPdoType,
                                            unsigned char cLength, const char *pData, int nHandle,
                                            int nReserved1, int nReserved2);
/**
 * @brief A CANopen SYNC indication (installed with CANopenSetCallback()).
 * @param cValue The SYNC frame's first data byte (its counter), 0 when the
 *        frame had none.
 * @param nHandle The handle the indication arrived on.
 * @param nReserved1 Always 0.
 * @param nReserved2 Always 0.
 */
typedef void(TESSARA_CALLBACK *SyncCallback)(unsigned char cValue, int nHandle, int nReserved1,
                                             int nReserved2);
/**
 * @brief A CANopen emergency (EMCY) indication (installed with
 *        CANopenSetCallback()).
 * @param cNodeId The node that sent the emergency message, 1..127.
 * @param nErrorCode The emergency error code, 0..0xFFFF.
 * @param cErrorRegister The node's error register (object 0x1001).
 * @param pData The 5 manufacturer-specific bytes; a copy valid only during
 *        the call.
 * @param nHandle The handle the indication arrived on.
 * @param nReserved1 Always 0.
 * @param nReserved2 Always 0.
 */
typedef void(TESSARA_CALLBACK *EmcyCallback)(unsigned char cNodeId, int nErrorCode,
                                             unsigned char cErrorRegister, const char *pData,
                                             int nHandle, int nReserved1, int nReserved2);
/**
 * @brief A CANopen node guarding, heartbeat or boot-up indication (installed
 *        with CANopenSetCallback()).
 * @param cNodeId The node, 1..127.
 * @param cState The node's state byte as sent: 0x00 boot-up, 0x04 stopped,
 *        0x05 operational, 0x7F pre-operational; bit 7 is the guarding toggle
 *        bit in a guarding reply.
 * @param nHandle The handle the indication arrived on.
 * @param nReserved1 Always 0.
 * @param nReserved2 Always 0.
 */
typedef void(TESSARA_CALLBACK *GuardCallback)(unsigned char cNodeId, unsigned char cState,
                                              int nHandle, int nReserved1, int nReserved2);
/**
 * @brief A frame that the gateway's CANopen manager could not assign to a
 *        service (installed with CANopenSetCallback()).
 * @param nIdentifier The frame's CAN identifier.
 * @param cIdByte0 Bits 0..7 of the identifier.
 * @param cIdByte1 Bits 8..15 of the identifier.
 * @param cLength Number of data bytes at @p pData, as many as arrived
 *        (normally 0..64; not limited to 8, unlike CANopenGetUndefined()).
 * @param pData The data bytes; valid only during the call.
 * @param nHandle The handle the indication arrived on.
 * @param nSeconds The gateway's time stamp in seconds, 0 without one.
 * @param nMicroseconds Microseconds of the time stamp, 0 without one.
 */
typedef void(TESSARA_CALLBACK *UndefinedCallback)(int nIdentifier, unsigned char cIdByte0,
                                                  unsigned char cIdByte1, unsigned char cLength,
                                                  const char *pData, int nHandle, int nSeconds,
                                                  int nMicroseconds);
/** @} */

/**
 * @defgroup tessara_open Open, close, restart, keep-alive
 * @brief Connections to a gateway's CAN port and their state.
 * @{
 */

/**
 * @brief Opens a TCP connection to one CAN port of a gateway and configures
 *        it for this application.
 *
 * Connects to TCP port 5001 + 100 × @p nCanPort of the gateway, exchanges the
 * link's connect handshake, then sends the connection's configuration
 * (@p bConfirmData, @p bMonitor). Handles are numbered from 1 upwards and
 * never reused in a process; an open that fails after the port check still
 * uses a number up. Equivalent to CANOpenDeviceEx() with transport 1.
 *
 * Blocks for the connection and its handshake, together at most
 * @p nTimeoutMs, then for the configuration request, at most @p nTimeoutMs
 * again. It starts the connection's receive thread.
 *
 * @param[out] pHandle Receives the new handle (1 or more) on success and -1
 *        on any failure after the port check; left untouched when
 *        @p nCanPort is above 99 or an argument is null.
 * @param bConfirmData Non-zero: the gateway confirms every frame written on
 *        this connection, so CANWrite() waits for the confirmation and
 *        reports the gateway's result and time stamp; 0: frames are sent
 *        without waiting.
 * @param bMonitor Non-zero: this connection also receives the frames it
 *        writes itself.
 * @param nCanPort The gateway's CAN port, 0..99 (only the low 8 bits are
 *        used, so 256 is port 0).
 * @param pAddress The gateway's numeric IPv4 or IPv6 address or host name,
 *        zero-terminated.
 * @param nTimeoutMs The handle's time-out in milliseconds, 1..2147483647:
 *        for connecting, for every request's send and confirmation wait, and
 *        for closing.
 * @retval 0 Open; @p *pHandle holds the handle.
 * @retval 0x1 The gateway refused the link: its maximum number of
 *         connections is reached.
 * @retval 0x20000 A socket call failed.
 * @retval 0x30000 No connection: the name could not be resolved, nothing
 *         accepted the connection within @p nTimeoutMs, or the gateway
 *         answered the handshake with a refusal other than "full".
 * @retval 0x40000 Connected, but the handshake was not answered within
 *         @p nTimeoutMs.
 * @retval 0x920000 @p nCanPort (low 8 bits) above 99, or @p pHandle or
 *         @p pAddress null.
 * @return Any other code of a request (@ref tessara_requests) when the
 *         configuration request fails; the link is then closed again.
 */
TESSARA_API int TESSARA_CALL CANOpenDevice(int *pHandle, int bConfirmData, int bMonitor,
                                           int nCanPort, const char *pAddress, int nTimeoutMs);
/**
 * @brief As CANOpenDevice(), over a transport of the caller's choice.
 *
 * UDP carries the same telegrams as datagrams to UDP port
 * 5001 + 100 × @p nCanPort.
 *
 * @param[out] pHandle As for CANOpenDevice().
 * @param bConfirmData As for CANOpenDevice().
 * @param bMonitor As for CANOpenDevice().
 * @param nCanPort As for CANOpenDevice(), 0..99.
 * @param pAddress As for CANOpenDevice().
 * @param nTimeoutMs As for CANOpenDevice(), milliseconds.
 * @param nTransport 1 TCP, 2 UDP.
 * @retval 0x20000 Also for a @p nTransport other than 1 or 2
 *         (@p *pHandle = -1).
 * @return The results of CANOpenDevice().
 */
TESSARA_API int TESSARA_CALL CANOpenDeviceEx(int *pHandle, int bConfirmData, int bMonitor,
                                             int nCanPort, const char *pAddress, int nTimeoutMs,
                                             int nTransport);
/**
 * @brief Disconnects and releases a handle.
 *
 * Sends the link's disconnect request and waits up to the handle's time-out
 * for its answer, closes the socket and ends the connection's threads.
 * Queued frames and indications are lost. Called from one of the handle's
 * own callbacks it does not wait for the answer, and the connection is torn
 * down on a thread of the library's own after the callback returns. The
 * handle number is never issued again.
 *
 * @param nHandle A handle from CANOpenDevice() or CANOpenDeviceEx().
 * @retval 0 Released, also when the link was already down or the gateway
 *         did not answer the disconnect request.
 * @retval 0x900000 The handle is not open (for instance closed already).
 */
TESSARA_API int TESSARA_CALL CANCloseDevice(int nHandle);
/**
 * @brief Asks a gateway to restart.
 *
 * Opens a connection of its own to TCP port 5001 (CAN port 0) without the
 * link's handshake, sends the restart request, waits for its confirmation
 * and closes that connection again; the gateway then restarts and drops
 * every connection. Uses up one handle number, which the caller never sees.
 * Blocks for the connection (at most @p nTimeoutMs) and the request (at most
 * @p nTimeoutMs).
 *
 * @param pAddress The gateway's address or host name, zero-terminated.
 * @param nTimeoutMs Time-out in milliseconds for connecting and for the
 *        confirmation.
 * @retval 0 The gateway confirmed the request.
 * @retval 0x920000 @p pAddress is null.
 * @return The connection's codes (0x20000, 0x30000, as for CANOpenDevice())
 *         and those of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANRestart(const char *pAddress, int nTimeoutMs);
/**
 * @brief The connection state of a handle. Not a request: does not block.
 *
 * A link that the gateway closed, that the keep-alive watch ended or whose
 * send timed out stays registered with state 1; calls on it then fail with
 * 0x30000 until the handle is closed. There is no automatic reconnect.
 *
 * @param nHandle An open handle.
 * @retval 1 Closed (the link went down).
 * @retval 2 Connecting.
 * @retval 3 Connected.
 * @retval 4 Disconnecting.
 * @retval 6 The socket stack could not be initialised.
 * @retval 0x900000 The handle is not open.
 */
TESSARA_API int TESSARA_CALL CANDeviceConnectState(int nHandle);
/**
 * @brief Starts or stops the keep-alive watch of a connection.
 *
 * With a period P the library sends an alive request whenever it has sent
 * or received nothing for three quarters of P, and ends the link when
 * nothing at all arrived for one and a quarter P (the handle's state becomes
 * 1 and further calls fail with 0x30000). The requests go out from a thread
 * of its own; the receive thread watches for the silence. The gateway may
 * also start a watch itself; the library answers its
 * alive requests in any case.
 *
 * Sends the alive request without waiting for an answer; only the send can
 * block, when the socket does not take the bytes, for at most the period
 * (1000 ms when stopping).
 *
 * @param nHandle An open handle.
 * @param nAliveSeconds The period in seconds, 1..4294967 (taken unsigned);
 *        0 stops the watch.
 * @retval 0 Always for an open handle, also when the link is down or the
 *         request could not be sent.
 * @retval 0x900000 The handle is not open.
 */
TESSARA_API int TESSARA_CALL CANStartAlive(int nHandle, int nAliveSeconds);
/** @} */

/**
 * @defgroup tessara_config Port configuration
 * @brief Bit rate, mode, transceiver, acceptance filter, device clock and
 *        power supplies. Each function is a request (@ref tessara_requests):
 *        it blocks for at most the handle's time-out.
 *
 * The port's settings belong to the gateway's CAN port, so every connection
 * to that port sees a change.
 * @{
 */

/**
 * @brief Sets the port's bit rate, operating mode, termination, transceiver
 *        and time stamping.
 * @param nHandle An open handle.
 * @param nBaudrate Bit rate in bit/s; the gateway accepts 10000, 20000,
 *        50000, 100000, 125000, 250000, 500000, 800000 and 1000000 (at most
 *        125000 with the low-speed transceiver), else 0x224.
 * @param nOperatingMode 0 normal, 1 listen-only (receives, sends nothing),
 *        2 off; low 8 bits used.
 * @param bTermination Non-zero: bus termination on.
 * @param bHighSpeed Non-zero: high-speed transceiver; 0: low-speed
 *        fault-tolerant transceiver.
 * @param bTimestampOn Non-zero: frames received on the port carry the
 *        gateway's time stamp (flag bit 2, see CanFrameCallbackEx).
 * @retval 0 Set.
 * @retval 0x224 The gateway does not support the bit rate.
 * @retval 0x2FF The gateway rejected a value (an unknown mode).
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANSetGlobals(int nHandle, int nBaudrate, int nOperatingMode,
                                           int bTermination, int bHighSpeed, int bTimestampOn);
/**
 * @brief Reads the port's bit rate, operating mode, termination, transceiver
 *        and time stamping.
 *
 * For an open handle the bit rate and the three flags are written whatever
 * the result: the gateway's values on success, 0 for what the reply did not
 * carry or when the request failed. The operating mode is written only on
 * success with a complete reply. Null pointers are skipped.
 *
 * @param nHandle An open handle.
 * @param[out] pBaudrate Bit rate in bit/s.
 * @param[out] pOperatingMode 0 normal, 1 listen-only, 2 off.
 * @param[out] pTermination 1 termination on, else 0.
 * @param[out] pHighSpeed 1 high-speed transceiver, else 0.
 * @param[out] pTimestampOn 1 time stamps on, else 0.
 * @retval 0 Read (also for a reply too short to carry the values: then all
 *         outputs but the mode are 0).
 * @return The codes of a request (@ref tessara_requests); nothing is written
 *         for an invalid handle.
 */
TESSARA_API int TESSARA_CALL CANGetGlobals(int nHandle, int *pBaudrate,
                                           unsigned char *pOperatingMode, int *pTermination,
                                           int *pHighSpeed, int *pTimestampOn);
/**
 * @brief Sets the port's acceptance filter for received CAN frames.
 *
 * The table has 8 entries of two words; entry i is words 2i and 2i + 1.
 * First word: bit 31 entry in use, bit 30 entry for extended identifiers,
 * bits 0..28 the identifier. Second word: the mask of identifier bits that
 * must match. With no entry in use every frame passes; otherwise a frame
 * passes when an entry in use is of its identifier kind and
 * (frame identifier XOR identifier) AND mask is 0. The filter applies to CAN
 * frames, not to CANopen indications.
 *
 * @param nHandle An open handle.
 * @param pFilterTable 16 32-bit words, sent unchanged.
 * @retval 0 Set.
 * @retval 0x920000 @p pFilterTable is null.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANSetFilter(int nHandle, const int *pFilterTable);
/**
 * @brief Reads the port's acceptance filter (layout as for CANSetFilter()).
 * @param nHandle An open handle.
 * @param[out] pFilterTable 16 32-bit words; written only on success with a
 *        complete reply, else left as it was.
 * @retval 0 Read (the table is untouched when the reply was too short).
 * @retval 0x920000 @p pFilterTable is null.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANGetFilter(int nHandle, int *pFilterTable);
/**
 * @brief Sets the gateway's device clock, which stamps received frames.
 * @param nHandle An open handle.
 * @param nSeconds Seconds since 1970-01-01 00:00 UTC (the clock's epoch is
 *        the caller's; the library converts nothing).
 * @param nMicroseconds Microseconds, 0..999999.
 * @retval 0 Set.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANSetTime(int nHandle, int nSeconds, int nMicroseconds);
/**
 * @brief Reads the gateway's device clock.
 *
 * Unlike the other functions it writes its three outputs whatever happens,
 * also for an invalid handle: the clock on success, else 0. Null pointers
 * are skipped.
 *
 * @param nHandle An open handle.
 * @param[out] pTimeFlag 1 when the clock was set (CANSetTime()) since the
 *        gateway started, else 0.
 * @param[out] pSeconds Seconds of the clock.
 * @param[out] pMicroseconds Microseconds of the clock, 0..999999.
 * @retval 0 Read (outputs 0 when the reply was too short).
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANGetTime(int nHandle, int *pTimeFlag, int *pSeconds,
                                        int *pMicroseconds);
/**
 * @brief Reads the status of the device's power supplies.
 *
 * For an open handle the counts, words and @p pPowerFlag are written
 * whatever the result (0 when the request failed); every output pointer may
 * be null and is then skipped. A flag list that is given is written over its
 * whole capacity as 0/1 entries (0 past the announced count); of
 * @p pPowerValues only the announced entries below the capacity are written.
 * The meaning of the words and lists is the gateway's.
 *
 * @param nHandle An open handle.
 * @param nValueCapacity Entries @p pPowerValues holds, 0..255 (low 8 bits).
 * @param[out] pValueCount Entries the gateway announced for the values list
 *        (may exceed the capacity).
 * @param nFlagACapacity Entries @p pPowerFlagsA holds, 0..255 (low 8 bits).
 * @param[out] pFlagCountA Entries announced for flag list A.
 * @param nFlagBCapacity Entries @p pPowerFlagsB holds, 0..255 (low 8 bits).
 * @param[out] pFlagCountB Entries announced for flag list B.
 * @param[out] pPowerWord1 First status word.
 * @param[out] pPowerWord2 Second status word.
 * @param[out] pPowerWord3 Third status word.
 * @param[out] pPowerFlag 0/1: the power flag (relay state).
 * @param[out] pPowerValues The values list, 16-bit entries.
 * @param[out] pPowerFlagsA Flag list A, 0/1 entries.
 * @param[out] pPowerFlagsB Flag list B, 0/1 entries.
 * @retval 0 Read (all zero when the reply was shorter than its fixed part).
 * @retval 0xC0200 The reply ended inside its lists; what arrived is written.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANGetPowerStatus(int nHandle, int nValueCapacity,
                                               unsigned char *pValueCount, int nFlagACapacity,
                                               unsigned char *pFlagCountA, int nFlagBCapacity,
                                               unsigned char *pFlagCountB,
                                               unsigned short *pPowerWord1,
                                               unsigned short *pPowerWord2,
                                               unsigned short *pPowerWord3, int *pPowerFlag,
                                               unsigned short *pPowerValues, int *pPowerFlagsA,
                                               int *pPowerFlagsB);
/**
 * @brief Switches the device's power relay.
 * @param nHandle An open handle.
 * @param bOn Non-zero: relay closed (on); 0: open.
 * @retval 0 Switched.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANSetPowerRelais(int nHandle, int bOn);
/**
 * @brief Chooses the active power supplies.
 * @param nHandle An open handle.
 * @param nBitmask Bit i set: supply i active (sent unchanged; the gateway
 *        uses the bits it has supplies for).
 * @retval 0 Set.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANSetActivePowerSupplies(int nHandle, int nBitmask);
/** @} */

/**
 * @defgroup tessara_frames CAN frames
 * @brief Writing frames, and receiving them by callback or from a queue.
 *
 * A received frame goes to the callback set with CANSetCallback() or
 * CANSetCallbackEx(); with neither set it goes to the frame queue when
 * queueing is on (CANSetMaxSizePerQueue()), else it is dropped. Queueing is
 * off on a new handle.
 * @{
 */

/**
 * @brief Writes one CAN frame.
 *
 * On a handle opened with @c bConfirmData this is a request: it waits up to
 * the handle's time-out for the gateway's confirmation and returns the
 * gateway's result. Otherwise it only sends, and returns as soon as the
 * socket took the frame (blocking only when the socket's buffer is full, for
 * at most the handle's time-out); a refusal by the gateway is then not
 * reported.
 *
 * @param nHandle An open handle.
 * @param nIdentifier CAN identifier: 0..0x7FF standard, 0..0x1FFFFFFF with
 *        the extended flag.
 * @param pData The data bytes; may be null when @p nLength is 0.
 * @param nLength Number of data bytes, 0..64 for the gateway (low 8 bits
 *        used).
 * @param nFlags Bit 0 extended identifier, bit 1 remote frame; low 8 bits
 *        sent.
 * @retval 0 Sent (and, with confirmation, transmitted).
 * @retval 0x221 The gateway could not transmit the frame (for instance in
 *         listen-only mode); with confirmation only.
 * @retval 0x2FF The gateway rejected the frame (identifier out of range, more
 *         than 64 bytes); with confirmation only.
 * @retval 0x920000 @p pData is null with a non-zero length.
 * @return Without confirmation 0x20000, 0x30000, 0x40000; with it the codes
 *         of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANWrite(int nHandle, int nIdentifier, const char *pData, int nLength,
                                      int nFlags);
/**
 * @brief As CANWrite(), and reports the frame's time stamp.
 *
 * With confirmation the stamp is the gateway's (device clock when it sent the
 * frame), written whenever the confirmation carried one, even with a
 * non-zero result. Without confirmation it is the computer's local wall
 * clock when the frame was handed to the socket, as seconds since
 * 1970-01-01 00:00 local time, written whatever the send returned.
 *
 * @param nHandle An open handle.
 * @param nIdentifier As for CANWrite().
 * @param pData As for CANWrite().
 * @param nLength As for CANWrite(), 0..64.
 * @param nFlags As for CANWrite().
 * @param[out] pSeconds Seconds of the time stamp; may be null.
 * @param[out] pMicroseconds Microseconds of the time stamp, 0..999999; may
 *        be null.
 * @return The results of CANWrite().
 */
TESSARA_API int TESSARA_CALL CANWriteEx(int nHandle, int nIdentifier, const char *pData,
                                        int nLength, int nFlags, int *pSeconds,
                                        int *pMicroseconds);
/**
 * @brief Sets the frame callback and clears one set by CANSetCallbackEx().
 *
 * Not a request: does not block. Takes effect from the next received frame;
 * frames already queued stay in the queue.
 *
 * @param nHandle An open handle.
 * @param pCallback Called on the receive thread for every received frame;
 *        null switches callback delivery off (frames then go to the queue
 *        when queueing is on).
 * @retval 0 Set.
 * @retval 0x900000 The handle is not open.
 */
TESSARA_API int TESSARA_CALL CANSetCallback(int nHandle, CanFrameCallback pCallback);
/**
 * @brief Sets the frame callback with time stamp and clears one set by
 *        CANSetCallback().
 *
 * Not a request: does not block. Takes effect from the next received frame.
 *
 * @param nHandle An open handle.
 * @param pCallback Called on the receive thread for every received frame;
 *        null switches callback delivery off.
 * @retval 0 Set.
 * @retval 0x900000 The handle is not open.
 */
TESSARA_API int TESSARA_CALL CANSetCallbackEx(int nHandle, CanFrameCallbackEx pCallback);
/**
 * @brief Turns the receive queues on with a maximum size, or off.
 *
 * Applies to all six queues of the handle: CAN frames and the five CANopen
 * indications. A full queue drops the newest telegram and keeps the older
 * ones; entries beyond a lowered maximum stay. Not a request: does not
 * block (it waits only for the queues' own short locks).
 *
 * @param nHandle An open handle.
 * @param nMaxEntries Entries each queue holds at most, taken unsigned (a
 *        negative value means practically unlimited); 0 empties every queue
 *        and turns queueing off.
 * @retval 0 Set.
 * @retval 0x900000 The handle is not open.
 */
TESSARA_API int TESSARA_CALL CANSetMaxSizePerQueue(int nHandle, int nMaxEntries);
/**
 * @brief Takes the oldest frame from the frame queue. Not a request: does
 *        not block and never waits for a frame.
 *
 * Any pointer may be null and is then skipped. When the queue was empty
 * only @p pAvailable is written.
 *
 * @param nHandle An open handle.
 * @param[out] pAvailable -1 when the queue was empty, else the number of
 *        frames still queued after this one.
 * @param[out] pIdentifier The frame's CAN identifier.
 * @param[out] pData The data bytes; must hold 64 bytes, of which exactly
 *        @p *pLength are written.
 * @param[out] pLength Number of data bytes, 0..64.
 * @param[out] pFlags The flags byte as a signed 8-bit value (-128..127: a
 *        flags byte of 0x80 or more is reported negative, unlike the
 *        callbacks' 0..255).
 * @param[out] pSeconds The gateway's time stamp in seconds, 0 without one.
 * @param[out] pMicroseconds Microseconds of the time stamp, 0 without one.
 * @retval 0 Also when the queue was empty.
 * @retval 0x900000 The handle is not open (nothing written).
 */
TESSARA_API int TESSARA_CALL CANGetMessage(int nHandle, int *pAvailable, int *pIdentifier,
                                           char *pData, unsigned char *pLength, int *pFlags,
                                           int *pSeconds, int *pMicroseconds);
/** @} */

/**
 * @defgroup tessara_io Device information and I/O
 * @brief The device record, the status text, digital and analog I/O. Each
 *        function is a request (@ref tessara_requests): it blocks for at
 *        most the handle's time-out.
 * @{
 */

/**
 * @brief Reads the device's 20-byte information record.
 *
 * Zeroes the whole record first, also for an invalid handle; for an open
 * handle it then sets byte 18 to the device type (2) and, on success,
 * copies up to 20 bytes from the gateway over it. The layout is the
 * gateway's (serial number, versions, ports).
 *
 * @param nHandle An open handle.
 * @param[out] pInfoRecord 20 bytes.
 * @retval 0 Read.
 * @retval 0x920000 @p pInfoRecord is null (nothing written).
 * @retval 0x900000 The handle is not open (record zeroed).
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL DeviceInfo(int nHandle, void *pInfoRecord);
/**
 * @brief Reads the gateway's status text.
 *
 * Returns a byte count, not a result code: the request's own result is not
 * reported. When the request fails the whole buffer is first filled with
 * zero bytes and an empty text is written. A text longer than the buffer is
 * cut to @p nBufferSize - 1 bytes.
 *
 * @param nHandle An open handle.
 * @param[out] pBuffer Receives the zero-terminated text.
 * @param nBufferSize Size of @p pBuffer in bytes.
 * @return The bytes written including the terminator (1 for an empty text);
 *         1 for an invalid handle (buffer untouched); 0 for a null buffer or
 *         a size of 0 (nothing written, nothing sent).
 */
TESSARA_API int TESSARA_CALL DeviceStatus(int nHandle, char *pBuffer, unsigned int nBufferSize);
/**
 * @brief Reads the digital inputs and outputs.
 *
 * Both words are written whenever the reply carried them, even with a
 * non-zero result byte; otherwise they are left as they were. Null pointers
 * are skipped.
 *
 * @param nHandle An open handle.
 * @param[out] pFirstWord The digital inputs, one bit per input.
 * @param[out] pSecondWord The digital outputs, one bit per output.
 * @retval 0 Read.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANReadDigital(int nHandle, int *pFirstWord, int *pSecondWord);
/**
 * @brief Sets the digital outputs.
 * @param nHandle An open handle.
 * @param nOutputBits Bit i: output i on; sent unchanged.
 * @retval 0 Set.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANWriteDigital(int nHandle, int nOutputBits);
/**
 * @brief Reads the analog channels.
 *
 * @param nHandle An open handle.
 * @param[out] pFirstWord The reply's first word (channel information);
 *        written only on success; may be null.
 * @param[out] pValues Receives the values, at most @p *pCount of them.
 * @param[in,out] pCount In: the capacity of @p pValues, 0..65535 (0 when
 *        @p pValues is null). Out: the number of values the gateway sent,
 *        which may exceed the capacity; 0 when the request failed. May be
 *        null.
 * @retval 0 Read.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANReadAnalog(int nHandle, int *pFirstWord, int *pValues,
                                           unsigned short *pCount);
/**
 * @brief Sets analog outputs 0 .. @p nCount - 1.
 * @param nHandle An open handle.
 * @param pValues The output values, in the gateway's units; may be null when
 *        @p nCount is 0.
 * @param nCount Number of values, 0..16382 (low 16 bits used).
 * @retval 0 Set.
 * @retval 0x920000 @p pValues is null with a non-zero count, or more than
 *         16382 values.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANWriteAnalog(int nHandle, const int *pValues, int nCount);
/** @} */

/**
 * @defgroup tessara_canopen CANopen
 * @brief The gateway's CANopen manager: mode, NMT, SYNC, TIME, PDO and SDO
 *        transfers, and the queues of CANopen indications.
 *
 * The services need the port's CANopen mode (CANopenSetConfig() with 1);
 * outside it the gateway answers them with 0x2FE. The senders are requests
 * (@ref tessara_requests) that block for at most the handle's time-out; the
 * four SDO transfers wait twice their own @c nTimeoutMs instead. The five
 * get functions read queues and never block. Indications reach the
 * callbacks of CANopenSetCallback() or, without a callback of their kind and
 * with queueing on (CANSetMaxSizePerQueue()), the queue of their kind.
 * @{
 */

/**
 * @brief Sets the five CANopen indication callbacks at once.
 *
 * Not a request: does not block. Each takes effect from the next indication
 * of its kind; a null pointer switches that callback off, and its kind then
 * goes to its queue when queueing is on.
 *
 * @param nHandle An open handle.
 * @param pPdo PDO indications, or null.
 * @param pSync SYNC indications, or null.
 * @param pEmcy Emergency messages, or null.
 * @param pGuard Node guarding, heartbeat and boot-up, or null.
 * @param pUndefined Frames that fit no CANopen service, or null.
 * @retval 0 Set.
 * @retval 0x900000 The handle is not open.
 */
TESSARA_API int TESSARA_CALL CANopenSetCallback(int nHandle, PdoCallback pPdo, SyncCallback pSync,
                                                EmcyCallback pEmcy, GuardCallback pGuard,
                                                UndefinedCallback pUndefined);
/**
 * @brief Switches the port's CANopen manager on or off.
 * @param nHandle An open handle.
 * @param nCanOpenMode 0 off, 1 CANopen manager on (low 8 bits used).
 * @retval 0 Switched.
 * @retval 0x2FF The gateway does not know the mode.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANopenSetConfig(int nHandle, int nCanOpenMode);
/**
 * @brief Reads the port's CANopen mode.
 * @param nHandle An open handle.
 * @param[out] pCanOpenMode 0 off, 1 on; written for every open handle (0
 *        when the request failed or the reply carried no mode); may be null.
 * @retval 0 Read.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANopenGetConfig(int nHandle, unsigned char *pCanOpenMode);
/**
 * @brief Sets the period of the SYNC messages the gateway sends.
 * @param nHandle An open handle.
 * @param nPeriodTime Period in milliseconds, 0..65535 (low 16 bits); 0 stops
 *        the cyclic SYNC.
 * @retval 0 Set.
 * @retval 0x2FE The port is not in CANopen mode.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANopenSetSYNCMode(int nHandle, int nPeriodTime);
/**
 * @brief Sends an NMT command.
 * @param nHandle An open handle.
 * @param nNodeId The node, 1..127, or 0 for all nodes (low 8 bits).
 * @param nNmtType 0x01 start (operational), 0x02 stop, 0x80 enter
 *        pre-operational, 0x81 reset node, 0x82 reset communication (low 8
 *        bits).
 * @retval 0 Sent.
 * @retval 0x2FE The port is not in CANopen mode.
 * @retval 0x2FF The gateway does not know the command.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANopenSendNMT(int nHandle, int nNodeId, int nNmtType);
/**
 * @brief Sends one SYNC message.
 * @param nHandle An open handle.
 * @retval 0 Sent.
 * @retval 0x2FE The port is not in CANopen mode.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANopenSendSYNC(int nHandle);
/**
 * @brief Sends a TIME message (time of day).
 * @param nHandle An open handle.
 * @param nDay Days since 1984-01-01, 0..65535 (low 16 bits).
 * @param nMs Milliseconds since midnight, 0..86399999.
 * @retval 0 Sent.
 * @retval 0x2FE The port is not in CANopen mode.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANopenSendTIME(int nHandle, int nDay, int nMs);
/**
 * @brief Sends a PDO.
 * @param nHandle An open handle.
 * @param nNodeId The node the PDO belongs to, 1..127 (low 8 bits).
 * @param nPdoType 5..8 receive PDO 1..4 of the node (what a master sends),
 *        1..4 transmit PDO 1..4 (low 8 bits).
 * @param nLength Number of data bytes, 0..8 for the gateway (low 8 bits
 *        sent).
 * @param pData The data; may be null when @p nLength is 0.
 * @retval 0 Sent.
 * @retval 0x2FE The port is not in CANopen mode.
 * @retval 0x2FF The gateway rejected the PDO type or length.
 * @retval 0x920000 @p pData is null with a non-zero length.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANopenSendPDO(int nHandle, int nNodeId, int nPdoType, int nLength,
                                            const char *pData);
/**
 * @brief Reads an object dictionary entry of a node by expedited SDO upload.
 *
 * Waits up to 2 × @p nTimeoutMs for the gateway's confirmation (the
 * handle's time-out applies to the send only). Both outputs are written for
 * every open handle; those the reply did not carry, or all of them when the
 * request failed, are 0.
 *
 * @param nHandle An open handle.
 * @param nNodeId The node, 1..127 (low 8 bits).
 * @param nIndex Object index, 0..0xFFFF (low 16 bits).
 * @param nSubindex Subindex, 0..255 (low 8 bits).
 * @param nTimeoutMs The SDO time-out in milliseconds the gateway waits for
 *        the node, 0..65535 (low 16 bits); 0 leaves the library no time to
 *        wait (0x40000 unless the answer was already there).
 * @param[out] pReplyByte The command byte of the node's SDO response: 0x4F,
 *        0x4B, 0x47, 0x43 for 1, 2, 3, 4 value bytes; 0x41 the entry is
 *        longer than 4 bytes (read it with CANopenSendSDOReadBlock()); 0x80
 *        aborted.
 * @param[out] pReplyValue The value, zero-extended from its bytes; the
 *        entry's size for 0x41; the abort code for 0x80.
 * @retval 0 The node answered (check @p *pReplyByte for an abort).
 * @retval 0x2FD The node does not answer (absent or stopped).
 * @retval 0x2FE The port is not in CANopen mode.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANopenSendSDORead(int nHandle, int nNodeId, int nIndex,
                                                int nSubindex, int nTimeoutMs,
                                                unsigned char *pReplyByte, int *pReplyValue);
/**
 * @brief Writes an object dictionary entry of a node by expedited SDO
 *        download.
 *
 * Waits up to 2 × @p nTimeoutMs for the confirmation. Both outputs are
 * written for every open handle (0 for what the reply did not carry).
 *
 * @param nHandle An open handle.
 * @param nNodeId The node, 1..127 (low 8 bits).
 * @param nWriteType Number of value bytes to write, 1..4 (the low bytes of
 *        @p nWriteValue), or 0 for the entry's own size (low 8 bits).
 * @param nIndex Object index, 0..0xFFFF (low 16 bits).
 * @param nSubindex Subindex, 0..255 (low 8 bits).
 * @param nTimeoutMs SDO time-out in milliseconds, 0..65535 (low 16 bits).
 * @param nWriteValue The value, sent as 4 bytes.
 * @param[out] pReplyByte 0x60 written; 0x80 aborted.
 * @param[out] pReplyValue The abort code for 0x80.
 * @retval 0 The node answered (check @p *pReplyByte for an abort).
 * @retval 0x2FD The node does not answer.
 * @retval 0x2FE The port is not in CANopen mode.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANopenSendSDOWrite(int nHandle, int nNodeId, int nWriteType,
                                                 int nIndex, int nSubindex, int nTimeoutMs,
                                                 int nWriteValue, unsigned char *pReplyByte,
                                                 int *pReplyValue);
/**
 * @brief Reads an object dictionary entry of any length by SDO block upload.
 *
 * Waits up to 2 × @p nTimeoutMs for the confirmation. The outputs are
 * written only on success; data beyond @p nBufferSize is dropped, which the
 * caller sees as @p *pBlockLength equal to @p nBufferSize.
 *
 * @param nHandle An open handle.
 * @param nNodeId The node, 1..127 (low 8 bits).
 * @param nIndex Object index, 0..0xFFFF (low 16 bits).
 * @param nSubindex Subindex, 0..255 (low 8 bits).
 * @param nTimeoutMs SDO time-out in milliseconds, 0..65535 (low 16 bits).
 * @param nBufferSize Size of @p pBuffer in bytes, 0..65535 (low 16 bits).
 * @param[out] pReplyByte 0xC1 read complete; 0x80 aborted (the data then
 *        holds the abort code).
 * @param[out] pBlockLength Bytes written to @p pBuffer.
 * @param[out] pBuffer Receives the entry's bytes; may be null (nothing is
 *        copied).
 * @retval 0 The node answered.
 * @retval 0x2FC The block transfer timed out at the gateway.
 * @retval 0x2FD The node does not answer.
 * @retval 0x2FE The port is not in CANopen mode.
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANopenSendSDOReadBlock(int nHandle, int nNodeId, int nIndex,
                                                     int nSubindex, int nTimeoutMs,
                                                     int nBufferSize, unsigned char *pReplyByte,
                                                     int *pBlockLength, char *pBuffer);
/**
 * @brief Writes an object dictionary entry of any length by SDO block
 *        download.
 *
 * Waits up to 2 × @p nTimeoutMs for the confirmation. The outputs are
 * written only on success, and each only when the reply carried it.
 *
 * @param nHandle An open handle.
 * @param nNodeId The node, 1..127 (low 8 bits).
 * @param nIndex Object index, 0..0xFFFF (low 16 bits).
 * @param nSubindex Subindex, 0..255 (low 8 bits).
 * @param nTimeoutMs SDO time-out in milliseconds, 0..65535 (low 16 bits).
 * @param nLength Number of data bytes, 0..65524 (low 16 bits used).
 * @param pData The data; may be null when @p nLength is 0.
 * @param[out] pReplyByte 0xA1 write complete; 0x80 aborted.
 * @param[out] pReplyValue The abort code for 0x80.
 * @retval 0 The node answered.
 * @retval 0x2FC The block transfer timed out at the gateway.
 * @retval 0x2FD The node does not answer.
 * @retval 0x2FE The port is not in CANopen mode.
 * @retval 0x920000 @p pData is null with a non-zero length, or the data
 *         does not fit one telegram (more than 65524 bytes).
 * @return The codes of a request (@ref tessara_requests).
 */
TESSARA_API int TESSARA_CALL CANopenSendSDOWriteBlock(int nHandle, int nNodeId, int nIndex,
                                                      int nSubindex, int nTimeoutMs, int nLength,
                                                      const char *pData,
                                                      unsigned char *pReplyByte,
                                                      int *pReplyValue);
/**
 * @brief Takes the oldest PDO indication from its queue. Does not block.
 *
 * Any pointer may be null and is then skipped; when the queue was empty only
 * @p pAvailable is written.
 *
 * @param nHandle An open handle.
 * @param[out] pAvailable -1 when the queue was empty, else the entries still
 *        queued after this one.
 * @param[out] pNodeId The node, 1..127.
 * @param[out] pPdoType 1..4 transmit PDO, 5..8 receive PDO.
 * @param[out] pLength Number of data bytes, 0..8 (longer PDOs are cut to 8).
 * @param[out] pData Receives the data; must hold 8 bytes.
 * @retval 0 Also when the queue was empty.
 * @retval 0x900000 The handle is not open (nothing written).
 */
TESSARA_API int TESSARA_CALL CANopenGetPDO(int nHandle, int *pAvailable, unsigned char *pNodeId,
                                           unsigned char *pPdoType, unsigned char *pLength,
                                           char *pData);
/**
 * @brief Takes the oldest SYNC indication from its queue. Does not block.
 * @param nHandle An open handle.
 * @param[out] pAvailable -1 when the queue was empty, else the entries still
 *        queued; may be null.
 * @param[out] pValue The SYNC counter byte (0 without one); may be null.
 * @retval 0 Also when the queue was empty.
 * @retval 0x900000 The handle is not open (nothing written).
 */
TESSARA_API int TESSARA_CALL CANopenGetSYNC(int nHandle, int *pAvailable, unsigned char *pValue);
/**
 * @brief Takes the oldest emergency indication from its queue. Does not
 *        block.
 *
 * Any pointer may be null and is then skipped; when the queue was empty only
 * @p pAvailable is written.
 *
 * @param nHandle An open handle.
 * @param[out] pAvailable -1 when the queue was empty, else the entries still
 *        queued.
 * @param[out] pNodeId The node, 1..127.
 * @param[out] pErrorCode The emergency error code, 0..0xFFFF.
 * @param[out] pErrorRegister The node's error register.
 * @param[out] pData Receives the 5 manufacturer-specific bytes; must hold 5
 *        bytes.
 * @retval 0 Also when the queue was empty.
 * @retval 0x900000 The handle is not open (nothing written).
 */
TESSARA_API int TESSARA_CALL CANopenGetEMCY(int nHandle, int *pAvailable, unsigned char *pNodeId,
                                            unsigned short *pErrorCode,
                                            unsigned char *pErrorRegister, char *pData);
/**
 * @brief Takes the oldest guarding, heartbeat or boot-up indication from its
 *        queue. Does not block.
 * @param nHandle An open handle.
 * @param[out] pAvailable -1 when the queue was empty, else the entries still
 *        queued; may be null.
 * @param[out] pNodeId The node, 1..127; may be null.
 * @param[out] pState The state byte, as for GuardCallback; may be null.
 * @retval 0 Also when the queue was empty.
 * @retval 0x900000 The handle is not open (nothing written).
 */
TESSARA_API int TESSARA_CALL CANopenGetGUARD(int nHandle, int *pAvailable, unsigned char *pNodeId,
                                             unsigned char *pState);
/**
 * @brief Takes the oldest undefined-frame indication from its queue. Does
 *        not block.
 *
 * Any pointer may be null and is then skipped; when the queue was empty only
 * @p pAvailable is written.
 *
 * @param nHandle An open handle.
 * @param[out] pAvailable -1 when the queue was empty, else the entries still
 *        queued.
 * @param[out] pIdentifier The frame's CAN identifier.
 * @param[out] pIdByte0 Bits 0..7 of the identifier.
 * @param[out] pIdByte1 Bits 8..15 of the identifier.
 * @param[out] pLength Number of data bytes, 0..8 (longer frames are cut to
 *        8).
 * @param[out] pData Receives the data; must hold 8 bytes.
 * @param[out] pSeconds The gateway's time stamp in seconds, 0 without one.
 * @param[out] pMicroseconds Microseconds of the time stamp, 0 without one.
 * @retval 0 Also when the queue was empty.
 * @retval 0x900000 The handle is not open (nothing written).
 */
TESSARA_API int TESSARA_CALL CANopenGetUndefined(int nHandle, int *pAvailable, int *pIdentifier,
                                                 unsigned char *pIdByte0, unsigned char *pIdByte1,
                                                 unsigned char *pLength, char *pData,
                                                 int *pSeconds, int *pMicroseconds);
/** @} */

/**
 * @defgroup tessara_texts Texts
 * @brief Result messages and the library's version. Neither takes a handle
 *        or blocks; both may be called from anywhere, callbacks included.
 * @{
 */

/**
 * @brief The English message of a result code.
 *
 * A code that is not listed falls back to the message of its low byte with
 * bits 8..15 cleared (0x2FF gives the text of 0xFF, "Tessara command
 * failed"), else to "Unknown error code: " and the code in decimal. A text
 * longer than the buffer is cut to @p nBufferSize - 1 characters.
 *
 * @param nResultCode Any value a function of the library returned.
 * @param[out] pBuffer Receives the zero-terminated text.
 * @param nBufferSize Size of @p pBuffer in bytes; 128 holds every message.
 * @return The bytes written including the terminator; 0 (nothing written)
 *         for a null buffer or a size of 0 or less.
 */
TESSARA_API int TESSARA_CALL CANErrorMessage(int nResultCode, char *pBuffer, int nBufferSize);
/**
 * @brief The library's version text, "Tessara CAN DLL V1.11-2.13".
 * @param[out] pBuffer Receives the zero-terminated text, cut to
 *        @p nBufferSize - 1 characters when longer.
 * @param nBufferSize Size of @p pBuffer in bytes; 27 holds the whole text.
 * @return The bytes written including the terminator (27 for the whole
 *         text); 0 (nothing written) for a null buffer or a size of 0 or
 *         less.
 */
TESSARA_API int TESSARA_CALL DLLInfo(char *pBuffer, int nBufferSize);
/** @} */

#ifdef __cplusplus
}
#endif

#endif /* TESSARA_CAN_H */
