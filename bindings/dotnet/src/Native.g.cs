// Native.g.cs: P/Invoke declarations of the library's 46 functions and seven
// callback types; the binding's lowest layer. Written by generate.py from
// include/TessaraCan.h and src/exports/exports.txt: edit those, not this file.
using System;
using System.Runtime.InteropServices;

namespace Tessara.Can
{
    // Callbacks run on the connection's receive thread. Both 32-bit Windows
    // builds call them with the standard convention, whichever convention their
    // entry points use; elsewhere there is one convention and this is ignored.
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void CanFrameCallback(int nIdentifier, IntPtr pData, int nLength, int nFlags, int nHandle);
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void CanFrameCallbackEx(int nIdentifier, IntPtr pData, int nLength, int nFlags, int nHandle, int nSeconds, int nMicroseconds);
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void PdoCallback(byte cNodeId, byte cPdoType, byte cLength, IntPtr pData, int nHandle, int nReserved1, int nReserved2);
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void SyncCallback(byte cValue, int nHandle, int nReserved1, int nReserved2);
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void EmcyCallback(byte cNodeId, int nErrorCode, byte cErrorRegister, IntPtr pData, int nHandle, int nReserved1, int nReserved2);
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void GuardCallback(byte cNodeId, byte cState, int nHandle, int nReserved1, int nReserved2);
    [UnmanagedFunctionPointer(CallingConvention.StdCall)]
    public delegate void UndefinedCallback(int nIdentifier, byte cIdByte0, byte cIdByte1, byte cLength, IntPtr pData, int nHandle, int nSeconds, int nMicroseconds);

    /// <summary>The 46 functions of one library file, as instance methods, so
    /// that the layer above runs unchanged on every build.</summary>
    public interface ITessaraApi
    {
        /// <summary>The library file the methods call into.</summary>
        string LibraryName { get; }
        int CANOpenDevice(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs);
        int CANOpenDeviceEx(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs, int nTransport);
        int CANCloseDevice(int nHandle);
        int CANRestart([MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs);
        int CANDeviceConnectState(int nHandle);
        int CANStartAlive(int nHandle, int nAliveSeconds);
        int CANSetGlobals(int nHandle, int nBaudrate, int nOperatingMode, int bTermination, int bHighSpeed, int bTimestampOn);
        int CANGetGlobals(int nHandle, out int pBaudrate, out byte pOperatingMode, out int pTermination, out int pHighSpeed, out int pTimestampOn);
        int CANSetFilter(int nHandle, [In] int[] pFilterTable);
        int CANGetFilter(int nHandle, [In, Out] int[] pFilterTable);
        int CANSetTime(int nHandle, int nSeconds, int nMicroseconds);
        int CANGetTime(int nHandle, out int pTimeFlag, out int pSeconds, out int pMicroseconds);
        int CANGetPowerStatus(int nHandle, int nValueCapacity, out byte pValueCount, int nFlagACapacity, out byte pFlagCountA, int nFlagBCapacity, out byte pFlagCountB, out ushort pPowerWord1, out ushort pPowerWord2, out ushort pPowerWord3, out int pPowerFlag, [In, Out] ushort[] pPowerValues, [In, Out] int[] pPowerFlagsA, [In, Out] int[] pPowerFlagsB);
        int CANSetPowerRelais(int nHandle, int bOn);
        int CANSetActivePowerSupplies(int nHandle, int nBitmask);
        int CANWrite(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags);
        int CANWriteEx(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags, out int pSeconds, out int pMicroseconds);
        int CANSetCallback(int nHandle, CanFrameCallback pCallback);
        int CANSetCallbackEx(int nHandle, CanFrameCallbackEx pCallback);
        int CANSetMaxSizePerQueue(int nHandle, int nMaxEntries);
        int CANGetMessage(int nHandle, out int pAvailable, out int pIdentifier, [In, Out] byte[] pData, out byte pLength, out int pFlags, out int pSeconds, out int pMicroseconds);
        int DeviceInfo(int nHandle, [In, Out] byte[] pInfoRecord);
        int DeviceStatus(int nHandle, [In, Out] byte[] pBuffer, uint nBufferSize);
        int CANReadDigital(int nHandle, out int pFirstWord, out int pSecondWord);
        int CANWriteDigital(int nHandle, int nOutputBits);
        int CANReadAnalog(int nHandle, out int pFirstWord, [In, Out] int[] pValues, ref ushort pCount);
        int CANWriteAnalog(int nHandle, [In] int[] pValues, int nCount);
        int CANopenSetCallback(int nHandle, PdoCallback pPdo, SyncCallback pSync, EmcyCallback pEmcy, GuardCallback pGuard, UndefinedCallback pUndefined);
        int CANopenSetConfig(int nHandle, int nCanOpenMode);
        int CANopenGetConfig(int nHandle, out byte pCanOpenMode);
        int CANopenSetSYNCMode(int nHandle, int nPeriodTime);
        int CANopenSendNMT(int nHandle, int nNodeId, int nNmtType);
        int CANopenSendSYNC(int nHandle);
        int CANopenSendTIME(int nHandle, int nDay, int nMs);
        int CANopenSendPDO(int nHandle, int nNodeId, int nPdoType, int nLength, [In] byte[] pData);
        int CANopenSendSDORead(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, out byte pReplyByte, out int pReplyValue);
        int CANopenSendSDOWrite(int nHandle, int nNodeId, int nWriteType, int nIndex, int nSubindex, int nTimeoutMs, int nWriteValue, out byte pReplyByte, out int pReplyValue);
        int CANopenSendSDOReadBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nBufferSize, out byte pReplyByte, out int pBlockLength, [In, Out] byte[] pBuffer);
        int CANopenSendSDOWriteBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nLength, [In] byte[] pData, out byte pReplyByte, out int pReplyValue);
        int CANopenGetPDO(int nHandle, out int pAvailable, out byte pNodeId, out byte pPdoType, out byte pLength, [In, Out] byte[] pData);
        int CANopenGetSYNC(int nHandle, out int pAvailable, out byte pValue);
        int CANopenGetEMCY(int nHandle, out int pAvailable, out byte pNodeId, out ushort pErrorCode, out byte pErrorRegister, [In, Out] byte[] pData);
        int CANopenGetGUARD(int nHandle, out int pAvailable, out byte pNodeId, out byte pState);
        int CANopenGetUndefined(int nHandle, out int pAvailable, out int pIdentifier, out byte pIdByte0, out byte pIdByte1, out byte pLength, [In, Out] byte[] pData, out int pSeconds, out int pMicroseconds);
        int CANErrorMessage(int nResultCode, [In, Out] byte[] pBuffer, int nBufferSize);
        int DLLInfo([In, Out] byte[] pBuffer, int nBufferSize);
    }

    /// <summary>libTessaraCan.so.1 on Linux: the platform's single convention.</summary>
    public sealed class LinuxLibrary : ITessaraApi
    {
        public const string FileName = "libTessaraCan.so.1";
        public string LibraryName { get { return FileName; } }

        /// <summary>The entry points themselves. A delegate passed here directly
        /// must be kept alive by the caller for as long as it is set.</summary>
        public static class Native
        {
            [DllImport(FileName, EntryPoint = "CANOpenDevice", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANOpenDevice(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs);
            [DllImport(FileName, EntryPoint = "CANOpenDeviceEx", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANOpenDeviceEx(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs, int nTransport);
            [DllImport(FileName, EntryPoint = "CANCloseDevice", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANCloseDevice(int nHandle);
            [DllImport(FileName, EntryPoint = "CANRestart", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANRestart([MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs);
            [DllImport(FileName, EntryPoint = "CANDeviceConnectState", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANDeviceConnectState(int nHandle);
            [DllImport(FileName, EntryPoint = "CANStartAlive", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANStartAlive(int nHandle, int nAliveSeconds);
            [DllImport(FileName, EntryPoint = "CANSetGlobals", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetGlobals(int nHandle, int nBaudrate, int nOperatingMode, int bTermination, int bHighSpeed, int bTimestampOn);
            [DllImport(FileName, EntryPoint = "CANGetGlobals", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetGlobals(int nHandle, out int pBaudrate, out byte pOperatingMode, out int pTermination, out int pHighSpeed, out int pTimestampOn);
            [DllImport(FileName, EntryPoint = "CANSetFilter", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetFilter(int nHandle, [In] int[] pFilterTable);
            [DllImport(FileName, EntryPoint = "CANGetFilter", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetFilter(int nHandle, [In, Out] int[] pFilterTable);
            [DllImport(FileName, EntryPoint = "CANSetTime", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetTime(int nHandle, int nSeconds, int nMicroseconds);
            [DllImport(FileName, EntryPoint = "CANGetTime", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetTime(int nHandle, out int pTimeFlag, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "CANGetPowerStatus", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetPowerStatus(int nHandle, int nValueCapacity, out byte pValueCount, int nFlagACapacity, out byte pFlagCountA, int nFlagBCapacity, out byte pFlagCountB, out ushort pPowerWord1, out ushort pPowerWord2, out ushort pPowerWord3, out int pPowerFlag, [In, Out] ushort[] pPowerValues, [In, Out] int[] pPowerFlagsA, [In, Out] int[] pPowerFlagsB);
            [DllImport(FileName, EntryPoint = "CANSetPowerRelais", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetPowerRelais(int nHandle, int bOn);
            [DllImport(FileName, EntryPoint = "CANSetActivePowerSupplies", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetActivePowerSupplies(int nHandle, int nBitmask);
            [DllImport(FileName, EntryPoint = "CANWrite", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANWrite(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags);
            [DllImport(FileName, EntryPoint = "CANWriteEx", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANWriteEx(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "CANSetCallback", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetCallback(int nHandle, CanFrameCallback pCallback);
            [DllImport(FileName, EntryPoint = "CANSetCallbackEx", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetCallbackEx(int nHandle, CanFrameCallbackEx pCallback);
            [DllImport(FileName, EntryPoint = "CANSetMaxSizePerQueue", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetMaxSizePerQueue(int nHandle, int nMaxEntries);
            [DllImport(FileName, EntryPoint = "CANGetMessage", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetMessage(int nHandle, out int pAvailable, out int pIdentifier, [In, Out] byte[] pData, out byte pLength, out int pFlags, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "DeviceInfo", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int DeviceInfo(int nHandle, [In, Out] byte[] pInfoRecord);
            [DllImport(FileName, EntryPoint = "DeviceStatus", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int DeviceStatus(int nHandle, [In, Out] byte[] pBuffer, uint nBufferSize);
            [DllImport(FileName, EntryPoint = "CANReadDigital", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANReadDigital(int nHandle, out int pFirstWord, out int pSecondWord);
            [DllImport(FileName, EntryPoint = "CANWriteDigital", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANWriteDigital(int nHandle, int nOutputBits);
            [DllImport(FileName, EntryPoint = "CANReadAnalog", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANReadAnalog(int nHandle, out int pFirstWord, [In, Out] int[] pValues, ref ushort pCount);
            [DllImport(FileName, EntryPoint = "CANWriteAnalog", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANWriteAnalog(int nHandle, [In] int[] pValues, int nCount);
            [DllImport(FileName, EntryPoint = "CANopenSetCallback", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSetCallback(int nHandle, PdoCallback pPdo, SyncCallback pSync, EmcyCallback pEmcy, GuardCallback pGuard, UndefinedCallback pUndefined);
            [DllImport(FileName, EntryPoint = "CANopenSetConfig", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSetConfig(int nHandle, int nCanOpenMode);
            [DllImport(FileName, EntryPoint = "CANopenGetConfig", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetConfig(int nHandle, out byte pCanOpenMode);
            [DllImport(FileName, EntryPoint = "CANopenSetSYNCMode", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSetSYNCMode(int nHandle, int nPeriodTime);
            [DllImport(FileName, EntryPoint = "CANopenSendNMT", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendNMT(int nHandle, int nNodeId, int nNmtType);
            [DllImport(FileName, EntryPoint = "CANopenSendSYNC", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSYNC(int nHandle);
            [DllImport(FileName, EntryPoint = "CANopenSendTIME", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendTIME(int nHandle, int nDay, int nMs);
            [DllImport(FileName, EntryPoint = "CANopenSendPDO", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendPDO(int nHandle, int nNodeId, int nPdoType, int nLength, [In] byte[] pData);
            [DllImport(FileName, EntryPoint = "CANopenSendSDORead", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSDORead(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, out byte pReplyByte, out int pReplyValue);
            [DllImport(FileName, EntryPoint = "CANopenSendSDOWrite", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSDOWrite(int nHandle, int nNodeId, int nWriteType, int nIndex, int nSubindex, int nTimeoutMs, int nWriteValue, out byte pReplyByte, out int pReplyValue);
            [DllImport(FileName, EntryPoint = "CANopenSendSDOReadBlock", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSDOReadBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nBufferSize, out byte pReplyByte, out int pBlockLength, [In, Out] byte[] pBuffer);
            [DllImport(FileName, EntryPoint = "CANopenSendSDOWriteBlock", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSDOWriteBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nLength, [In] byte[] pData, out byte pReplyByte, out int pReplyValue);
            [DllImport(FileName, EntryPoint = "CANopenGetPDO", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetPDO(int nHandle, out int pAvailable, out byte pNodeId, out byte pPdoType, out byte pLength, [In, Out] byte[] pData);
            [DllImport(FileName, EntryPoint = "CANopenGetSYNC", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetSYNC(int nHandle, out int pAvailable, out byte pValue);
            [DllImport(FileName, EntryPoint = "CANopenGetEMCY", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetEMCY(int nHandle, out int pAvailable, out byte pNodeId, out ushort pErrorCode, out byte pErrorRegister, [In, Out] byte[] pData);
            [DllImport(FileName, EntryPoint = "CANopenGetGUARD", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetGUARD(int nHandle, out int pAvailable, out byte pNodeId, out byte pState);
            [DllImport(FileName, EntryPoint = "CANopenGetUndefined", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetUndefined(int nHandle, out int pAvailable, out int pIdentifier, out byte pIdByte0, out byte pIdByte1, out byte pLength, [In, Out] byte[] pData, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "CANErrorMessage", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANErrorMessage(int nResultCode, [In, Out] byte[] pBuffer, int nBufferSize);
            [DllImport(FileName, EntryPoint = "DLLInfo", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int DLLInfo([In, Out] byte[] pBuffer, int nBufferSize);
        }

        public int CANOpenDevice(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs)
        {
            return Native.CANOpenDevice(out pHandle, bConfirmData, bMonitor, nCanPort, pAddress, nTimeoutMs);
        }
        public int CANOpenDeviceEx(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs, int nTransport)
        {
            return Native.CANOpenDeviceEx(out pHandle, bConfirmData, bMonitor, nCanPort, pAddress, nTimeoutMs, nTransport);
        }
        public int CANCloseDevice(int nHandle)
        {
            return Native.CANCloseDevice(nHandle);
        }
        public int CANRestart([MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs)
        {
            return Native.CANRestart(pAddress, nTimeoutMs);
        }
        public int CANDeviceConnectState(int nHandle)
        {
            return Native.CANDeviceConnectState(nHandle);
        }
        public int CANStartAlive(int nHandle, int nAliveSeconds)
        {
            return Native.CANStartAlive(nHandle, nAliveSeconds);
        }
        public int CANSetGlobals(int nHandle, int nBaudrate, int nOperatingMode, int bTermination, int bHighSpeed, int bTimestampOn)
        {
            return Native.CANSetGlobals(nHandle, nBaudrate, nOperatingMode, bTermination, bHighSpeed, bTimestampOn);
        }
        public int CANGetGlobals(int nHandle, out int pBaudrate, out byte pOperatingMode, out int pTermination, out int pHighSpeed, out int pTimestampOn)
        {
            return Native.CANGetGlobals(nHandle, out pBaudrate, out pOperatingMode, out pTermination, out pHighSpeed, out pTimestampOn);
        }
        public int CANSetFilter(int nHandle, [In] int[] pFilterTable)
        {
            return Native.CANSetFilter(nHandle, pFilterTable);
        }
        public int CANGetFilter(int nHandle, [In, Out] int[] pFilterTable)
        {
            return Native.CANGetFilter(nHandle, pFilterTable);
        }
        public int CANSetTime(int nHandle, int nSeconds, int nMicroseconds)
        {
            return Native.CANSetTime(nHandle, nSeconds, nMicroseconds);
        }
        public int CANGetTime(int nHandle, out int pTimeFlag, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANGetTime(nHandle, out pTimeFlag, out pSeconds, out pMicroseconds);
        }
        public int CANGetPowerStatus(int nHandle, int nValueCapacity, out byte pValueCount, int nFlagACapacity, out byte pFlagCountA, int nFlagBCapacity, out byte pFlagCountB, out ushort pPowerWord1, out ushort pPowerWord2, out ushort pPowerWord3, out int pPowerFlag, [In, Out] ushort[] pPowerValues, [In, Out] int[] pPowerFlagsA, [In, Out] int[] pPowerFlagsB)
        {
            return Native.CANGetPowerStatus(nHandle, nValueCapacity, out pValueCount, nFlagACapacity, out pFlagCountA, nFlagBCapacity, out pFlagCountB, out pPowerWord1, out pPowerWord2, out pPowerWord3, out pPowerFlag, pPowerValues, pPowerFlagsA, pPowerFlagsB);
        }
        public int CANSetPowerRelais(int nHandle, int bOn)
        {
            return Native.CANSetPowerRelais(nHandle, bOn);
        }
        public int CANSetActivePowerSupplies(int nHandle, int nBitmask)
        {
            return Native.CANSetActivePowerSupplies(nHandle, nBitmask);
        }
        public int CANWrite(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags)
        {
            return Native.CANWrite(nHandle, nIdentifier, pData, nLength, nFlags);
        }
        public int CANWriteEx(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANWriteEx(nHandle, nIdentifier, pData, nLength, nFlags, out pSeconds, out pMicroseconds);
        }
        public int CANSetCallback(int nHandle, CanFrameCallback pCallback)
        {
            return Native.CANSetCallback(nHandle, pCallback);
        }
        public int CANSetCallbackEx(int nHandle, CanFrameCallbackEx pCallback)
        {
            return Native.CANSetCallbackEx(nHandle, pCallback);
        }
        public int CANSetMaxSizePerQueue(int nHandle, int nMaxEntries)
        {
            return Native.CANSetMaxSizePerQueue(nHandle, nMaxEntries);
        }
        public int CANGetMessage(int nHandle, out int pAvailable, out int pIdentifier, [In, Out] byte[] pData, out byte pLength, out int pFlags, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANGetMessage(nHandle, out pAvailable, out pIdentifier, pData, out pLength, out pFlags, out pSeconds, out pMicroseconds);
        }
        public int DeviceInfo(int nHandle, [In, Out] byte[] pInfoRecord)
        {
            return Native.DeviceInfo(nHandle, pInfoRecord);
        }
        public int DeviceStatus(int nHandle, [In, Out] byte[] pBuffer, uint nBufferSize)
        {
            return Native.DeviceStatus(nHandle, pBuffer, nBufferSize);
        }
        public int CANReadDigital(int nHandle, out int pFirstWord, out int pSecondWord)
        {
            return Native.CANReadDigital(nHandle, out pFirstWord, out pSecondWord);
        }
        public int CANWriteDigital(int nHandle, int nOutputBits)
        {
            return Native.CANWriteDigital(nHandle, nOutputBits);
        }
        public int CANReadAnalog(int nHandle, out int pFirstWord, [In, Out] int[] pValues, ref ushort pCount)
        {
            return Native.CANReadAnalog(nHandle, out pFirstWord, pValues, ref pCount);
        }
        public int CANWriteAnalog(int nHandle, [In] int[] pValues, int nCount)
        {
            return Native.CANWriteAnalog(nHandle, pValues, nCount);
        }
        public int CANopenSetCallback(int nHandle, PdoCallback pPdo, SyncCallback pSync, EmcyCallback pEmcy, GuardCallback pGuard, UndefinedCallback pUndefined)
        {
            return Native.CANopenSetCallback(nHandle, pPdo, pSync, pEmcy, pGuard, pUndefined);
        }
        public int CANopenSetConfig(int nHandle, int nCanOpenMode)
        {
            return Native.CANopenSetConfig(nHandle, nCanOpenMode);
        }
        public int CANopenGetConfig(int nHandle, out byte pCanOpenMode)
        {
            return Native.CANopenGetConfig(nHandle, out pCanOpenMode);
        }
        public int CANopenSetSYNCMode(int nHandle, int nPeriodTime)
        {
            return Native.CANopenSetSYNCMode(nHandle, nPeriodTime);
        }
        public int CANopenSendNMT(int nHandle, int nNodeId, int nNmtType)
        {
            return Native.CANopenSendNMT(nHandle, nNodeId, nNmtType);
        }
        public int CANopenSendSYNC(int nHandle)
        {
            return Native.CANopenSendSYNC(nHandle);
        }
        public int CANopenSendTIME(int nHandle, int nDay, int nMs)
        {
            return Native.CANopenSendTIME(nHandle, nDay, nMs);
        }
        public int CANopenSendPDO(int nHandle, int nNodeId, int nPdoType, int nLength, [In] byte[] pData)
        {
            return Native.CANopenSendPDO(nHandle, nNodeId, nPdoType, nLength, pData);
        }
        public int CANopenSendSDORead(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, out byte pReplyByte, out int pReplyValue)
        {
            return Native.CANopenSendSDORead(nHandle, nNodeId, nIndex, nSubindex, nTimeoutMs, out pReplyByte, out pReplyValue);
        }
        public int CANopenSendSDOWrite(int nHandle, int nNodeId, int nWriteType, int nIndex, int nSubindex, int nTimeoutMs, int nWriteValue, out byte pReplyByte, out int pReplyValue)
        {
            return Native.CANopenSendSDOWrite(nHandle, nNodeId, nWriteType, nIndex, nSubindex, nTimeoutMs, nWriteValue, out pReplyByte, out pReplyValue);
        }
        public int CANopenSendSDOReadBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nBufferSize, out byte pReplyByte, out int pBlockLength, [In, Out] byte[] pBuffer)
        {
            return Native.CANopenSendSDOReadBlock(nHandle, nNodeId, nIndex, nSubindex, nTimeoutMs, nBufferSize, out pReplyByte, out pBlockLength, pBuffer);
        }
        public int CANopenSendSDOWriteBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nLength, [In] byte[] pData, out byte pReplyByte, out int pReplyValue)
        {
            return Native.CANopenSendSDOWriteBlock(nHandle, nNodeId, nIndex, nSubindex, nTimeoutMs, nLength, pData, out pReplyByte, out pReplyValue);
        }
        public int CANopenGetPDO(int nHandle, out int pAvailable, out byte pNodeId, out byte pPdoType, out byte pLength, [In, Out] byte[] pData)
        {
            return Native.CANopenGetPDO(nHandle, out pAvailable, out pNodeId, out pPdoType, out pLength, pData);
        }
        public int CANopenGetSYNC(int nHandle, out int pAvailable, out byte pValue)
        {
            return Native.CANopenGetSYNC(nHandle, out pAvailable, out pValue);
        }
        public int CANopenGetEMCY(int nHandle, out int pAvailable, out byte pNodeId, out ushort pErrorCode, out byte pErrorRegister, [In, Out] byte[] pData)
        {
            return Native.CANopenGetEMCY(nHandle, out pAvailable, out pNodeId, out pErrorCode, out pErrorRegister, pData);
        }
        public int CANopenGetGUARD(int nHandle, out int pAvailable, out byte pNodeId, out byte pState)
        {
            return Native.CANopenGetGUARD(nHandle, out pAvailable, out pNodeId, out pState);
        }
        public int CANopenGetUndefined(int nHandle, out int pAvailable, out int pIdentifier, out byte pIdByte0, out byte pIdByte1, out byte pLength, [In, Out] byte[] pData, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANopenGetUndefined(nHandle, out pAvailable, out pIdentifier, out pIdByte0, out pIdByte1, out pLength, pData, out pSeconds, out pMicroseconds);
        }
        public int CANErrorMessage(int nResultCode, [In, Out] byte[] pBuffer, int nBufferSize)
        {
            return Native.CANErrorMessage(nResultCode, pBuffer, nBufferSize);
        }
        public int DLLInfo([In, Out] byte[] pBuffer, int nBufferSize)
        {
            return Native.DLLInfo(pBuffer, nBufferSize);
        }
    }

    /// <summary>TessaraCan.dll, 32-bit Windows: C convention (the caller removes the arguments),
    /// undecorated names.</summary>
    public sealed class CdeclLibrary : ITessaraApi
    {
        public const string FileName = "TessaraCan.dll";
        public string LibraryName { get { return FileName; } }

        /// <summary>The entry points themselves. A delegate passed here directly
        /// must be kept alive by the caller for as long as it is set.</summary>
        public static class Native
        {
            [DllImport(FileName, EntryPoint = "CANOpenDevice", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANOpenDevice(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs);
            [DllImport(FileName, EntryPoint = "CANOpenDeviceEx", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANOpenDeviceEx(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs, int nTransport);
            [DllImport(FileName, EntryPoint = "CANCloseDevice", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANCloseDevice(int nHandle);
            [DllImport(FileName, EntryPoint = "CANRestart", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANRestart([MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs);
            [DllImport(FileName, EntryPoint = "CANDeviceConnectState", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANDeviceConnectState(int nHandle);
            [DllImport(FileName, EntryPoint = "CANStartAlive", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANStartAlive(int nHandle, int nAliveSeconds);
            [DllImport(FileName, EntryPoint = "CANSetGlobals", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetGlobals(int nHandle, int nBaudrate, int nOperatingMode, int bTermination, int bHighSpeed, int bTimestampOn);
            [DllImport(FileName, EntryPoint = "CANGetGlobals", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetGlobals(int nHandle, out int pBaudrate, out byte pOperatingMode, out int pTermination, out int pHighSpeed, out int pTimestampOn);
            [DllImport(FileName, EntryPoint = "CANSetFilter", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetFilter(int nHandle, [In] int[] pFilterTable);
            [DllImport(FileName, EntryPoint = "CANGetFilter", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetFilter(int nHandle, [In, Out] int[] pFilterTable);
            [DllImport(FileName, EntryPoint = "CANSetTime", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetTime(int nHandle, int nSeconds, int nMicroseconds);
            [DllImport(FileName, EntryPoint = "CANGetTime", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetTime(int nHandle, out int pTimeFlag, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "CANGetPowerStatus", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetPowerStatus(int nHandle, int nValueCapacity, out byte pValueCount, int nFlagACapacity, out byte pFlagCountA, int nFlagBCapacity, out byte pFlagCountB, out ushort pPowerWord1, out ushort pPowerWord2, out ushort pPowerWord3, out int pPowerFlag, [In, Out] ushort[] pPowerValues, [In, Out] int[] pPowerFlagsA, [In, Out] int[] pPowerFlagsB);
            [DllImport(FileName, EntryPoint = "CANSetPowerRelais", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetPowerRelais(int nHandle, int bOn);
            [DllImport(FileName, EntryPoint = "CANSetActivePowerSupplies", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetActivePowerSupplies(int nHandle, int nBitmask);
            [DllImport(FileName, EntryPoint = "CANWrite", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANWrite(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags);
            [DllImport(FileName, EntryPoint = "CANWriteEx", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANWriteEx(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "CANSetCallback", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetCallback(int nHandle, CanFrameCallback pCallback);
            [DllImport(FileName, EntryPoint = "CANSetCallbackEx", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetCallbackEx(int nHandle, CanFrameCallbackEx pCallback);
            [DllImport(FileName, EntryPoint = "CANSetMaxSizePerQueue", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetMaxSizePerQueue(int nHandle, int nMaxEntries);
            [DllImport(FileName, EntryPoint = "CANGetMessage", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetMessage(int nHandle, out int pAvailable, out int pIdentifier, [In, Out] byte[] pData, out byte pLength, out int pFlags, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "DeviceInfo", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int DeviceInfo(int nHandle, [In, Out] byte[] pInfoRecord);
            [DllImport(FileName, EntryPoint = "DeviceStatus", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int DeviceStatus(int nHandle, [In, Out] byte[] pBuffer, uint nBufferSize);
            [DllImport(FileName, EntryPoint = "CANReadDigital", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANReadDigital(int nHandle, out int pFirstWord, out int pSecondWord);
            [DllImport(FileName, EntryPoint = "CANWriteDigital", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANWriteDigital(int nHandle, int nOutputBits);
            [DllImport(FileName, EntryPoint = "CANReadAnalog", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANReadAnalog(int nHandle, out int pFirstWord, [In, Out] int[] pValues, ref ushort pCount);
            [DllImport(FileName, EntryPoint = "CANWriteAnalog", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANWriteAnalog(int nHandle, [In] int[] pValues, int nCount);
            [DllImport(FileName, EntryPoint = "CANopenSetCallback", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSetCallback(int nHandle, PdoCallback pPdo, SyncCallback pSync, EmcyCallback pEmcy, GuardCallback pGuard, UndefinedCallback pUndefined);
            [DllImport(FileName, EntryPoint = "CANopenSetConfig", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSetConfig(int nHandle, int nCanOpenMode);
            [DllImport(FileName, EntryPoint = "CANopenGetConfig", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetConfig(int nHandle, out byte pCanOpenMode);
            [DllImport(FileName, EntryPoint = "CANopenSetSYNCMode", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSetSYNCMode(int nHandle, int nPeriodTime);
            [DllImport(FileName, EntryPoint = "CANopenSendNMT", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendNMT(int nHandle, int nNodeId, int nNmtType);
            [DllImport(FileName, EntryPoint = "CANopenSendSYNC", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSYNC(int nHandle);
            [DllImport(FileName, EntryPoint = "CANopenSendTIME", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendTIME(int nHandle, int nDay, int nMs);
            [DllImport(FileName, EntryPoint = "CANopenSendPDO", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendPDO(int nHandle, int nNodeId, int nPdoType, int nLength, [In] byte[] pData);
            [DllImport(FileName, EntryPoint = "CANopenSendSDORead", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSDORead(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, out byte pReplyByte, out int pReplyValue);
            [DllImport(FileName, EntryPoint = "CANopenSendSDOWrite", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSDOWrite(int nHandle, int nNodeId, int nWriteType, int nIndex, int nSubindex, int nTimeoutMs, int nWriteValue, out byte pReplyByte, out int pReplyValue);
            [DllImport(FileName, EntryPoint = "CANopenSendSDOReadBlock", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSDOReadBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nBufferSize, out byte pReplyByte, out int pBlockLength, [In, Out] byte[] pBuffer);
            [DllImport(FileName, EntryPoint = "CANopenSendSDOWriteBlock", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSDOWriteBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nLength, [In] byte[] pData, out byte pReplyByte, out int pReplyValue);
            [DllImport(FileName, EntryPoint = "CANopenGetPDO", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetPDO(int nHandle, out int pAvailable, out byte pNodeId, out byte pPdoType, out byte pLength, [In, Out] byte[] pData);
            [DllImport(FileName, EntryPoint = "CANopenGetSYNC", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetSYNC(int nHandle, out int pAvailable, out byte pValue);
            [DllImport(FileName, EntryPoint = "CANopenGetEMCY", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetEMCY(int nHandle, out int pAvailable, out byte pNodeId, out ushort pErrorCode, out byte pErrorRegister, [In, Out] byte[] pData);
            [DllImport(FileName, EntryPoint = "CANopenGetGUARD", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetGUARD(int nHandle, out int pAvailable, out byte pNodeId, out byte pState);
            [DllImport(FileName, EntryPoint = "CANopenGetUndefined", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetUndefined(int nHandle, out int pAvailable, out int pIdentifier, out byte pIdByte0, out byte pIdByte1, out byte pLength, [In, Out] byte[] pData, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "CANErrorMessage", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANErrorMessage(int nResultCode, [In, Out] byte[] pBuffer, int nBufferSize);
            [DllImport(FileName, EntryPoint = "DLLInfo", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int DLLInfo([In, Out] byte[] pBuffer, int nBufferSize);
        }

        public int CANOpenDevice(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs)
        {
            return Native.CANOpenDevice(out pHandle, bConfirmData, bMonitor, nCanPort, pAddress, nTimeoutMs);
        }
        public int CANOpenDeviceEx(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs, int nTransport)
        {
            return Native.CANOpenDeviceEx(out pHandle, bConfirmData, bMonitor, nCanPort, pAddress, nTimeoutMs, nTransport);
        }
        public int CANCloseDevice(int nHandle)
        {
            return Native.CANCloseDevice(nHandle);
        }
        public int CANRestart([MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs)
        {
            return Native.CANRestart(pAddress, nTimeoutMs);
        }
        public int CANDeviceConnectState(int nHandle)
        {
            return Native.CANDeviceConnectState(nHandle);
        }
        public int CANStartAlive(int nHandle, int nAliveSeconds)
        {
            return Native.CANStartAlive(nHandle, nAliveSeconds);
        }
        public int CANSetGlobals(int nHandle, int nBaudrate, int nOperatingMode, int bTermination, int bHighSpeed, int bTimestampOn)
        {
            return Native.CANSetGlobals(nHandle, nBaudrate, nOperatingMode, bTermination, bHighSpeed, bTimestampOn);
        }
        public int CANGetGlobals(int nHandle, out int pBaudrate, out byte pOperatingMode, out int pTermination, out int pHighSpeed, out int pTimestampOn)
        {
            return Native.CANGetGlobals(nHandle, out pBaudrate, out pOperatingMode, out pTermination, out pHighSpeed, out pTimestampOn);
        }
        public int CANSetFilter(int nHandle, [In] int[] pFilterTable)
        {
            return Native.CANSetFilter(nHandle, pFilterTable);
        }
        public int CANGetFilter(int nHandle, [In, Out] int[] pFilterTable)
        {
            return Native.CANGetFilter(nHandle, pFilterTable);
        }
        public int CANSetTime(int nHandle, int nSeconds, int nMicroseconds)
        {
            return Native.CANSetTime(nHandle, nSeconds, nMicroseconds);
        }
        public int CANGetTime(int nHandle, out int pTimeFlag, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANGetTime(nHandle, out pTimeFlag, out pSeconds, out pMicroseconds);
        }
        public int CANGetPowerStatus(int nHandle, int nValueCapacity, out byte pValueCount, int nFlagACapacity, out byte pFlagCountA, int nFlagBCapacity, out byte pFlagCountB, out ushort pPowerWord1, out ushort pPowerWord2, out ushort pPowerWord3, out int pPowerFlag, [In, Out] ushort[] pPowerValues, [In, Out] int[] pPowerFlagsA, [In, Out] int[] pPowerFlagsB)
        {
            return Native.CANGetPowerStatus(nHandle, nValueCapacity, out pValueCount, nFlagACapacity, out pFlagCountA, nFlagBCapacity, out pFlagCountB, out pPowerWord1, out pPowerWord2, out pPowerWord3, out pPowerFlag, pPowerValues, pPowerFlagsA, pPowerFlagsB);
        }
        public int CANSetPowerRelais(int nHandle, int bOn)
        {
            return Native.CANSetPowerRelais(nHandle, bOn);
        }
        public int CANSetActivePowerSupplies(int nHandle, int nBitmask)
        {
            return Native.CANSetActivePowerSupplies(nHandle, nBitmask);
        }
        public int CANWrite(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags)
        {
            return Native.CANWrite(nHandle, nIdentifier, pData, nLength, nFlags);
        }
        public int CANWriteEx(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANWriteEx(nHandle, nIdentifier, pData, nLength, nFlags, out pSeconds, out pMicroseconds);
        }
        public int CANSetCallback(int nHandle, CanFrameCallback pCallback)
        {
            return Native.CANSetCallback(nHandle, pCallback);
        }
        public int CANSetCallbackEx(int nHandle, CanFrameCallbackEx pCallback)
        {
            return Native.CANSetCallbackEx(nHandle, pCallback);
        }
        public int CANSetMaxSizePerQueue(int nHandle, int nMaxEntries)
        {
            return Native.CANSetMaxSizePerQueue(nHandle, nMaxEntries);
        }
        public int CANGetMessage(int nHandle, out int pAvailable, out int pIdentifier, [In, Out] byte[] pData, out byte pLength, out int pFlags, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANGetMessage(nHandle, out pAvailable, out pIdentifier, pData, out pLength, out pFlags, out pSeconds, out pMicroseconds);
        }
        public int DeviceInfo(int nHandle, [In, Out] byte[] pInfoRecord)
        {
            return Native.DeviceInfo(nHandle, pInfoRecord);
        }
        public int DeviceStatus(int nHandle, [In, Out] byte[] pBuffer, uint nBufferSize)
        {
            return Native.DeviceStatus(nHandle, pBuffer, nBufferSize);
        }
        public int CANReadDigital(int nHandle, out int pFirstWord, out int pSecondWord)
        {
            return Native.CANReadDigital(nHandle, out pFirstWord, out pSecondWord);
        }
        public int CANWriteDigital(int nHandle, int nOutputBits)
        {
            return Native.CANWriteDigital(nHandle, nOutputBits);
        }
        public int CANReadAnalog(int nHandle, out int pFirstWord, [In, Out] int[] pValues, ref ushort pCount)
        {
            return Native.CANReadAnalog(nHandle, out pFirstWord, pValues, ref pCount);
        }
        public int CANWriteAnalog(int nHandle, [In] int[] pValues, int nCount)
        {
            return Native.CANWriteAnalog(nHandle, pValues, nCount);
        }
        public int CANopenSetCallback(int nHandle, PdoCallback pPdo, SyncCallback pSync, EmcyCallback pEmcy, GuardCallback pGuard, UndefinedCallback pUndefined)
        {
            return Native.CANopenSetCallback(nHandle, pPdo, pSync, pEmcy, pGuard, pUndefined);
        }
        public int CANopenSetConfig(int nHandle, int nCanOpenMode)
        {
            return Native.CANopenSetConfig(nHandle, nCanOpenMode);
        }
        public int CANopenGetConfig(int nHandle, out byte pCanOpenMode)
        {
            return Native.CANopenGetConfig(nHandle, out pCanOpenMode);
        }
        public int CANopenSetSYNCMode(int nHandle, int nPeriodTime)
        {
            return Native.CANopenSetSYNCMode(nHandle, nPeriodTime);
        }
        public int CANopenSendNMT(int nHandle, int nNodeId, int nNmtType)
        {
            return Native.CANopenSendNMT(nHandle, nNodeId, nNmtType);
        }
        public int CANopenSendSYNC(int nHandle)
        {
            return Native.CANopenSendSYNC(nHandle);
        }
        public int CANopenSendTIME(int nHandle, int nDay, int nMs)
        {
            return Native.CANopenSendTIME(nHandle, nDay, nMs);
        }
        public int CANopenSendPDO(int nHandle, int nNodeId, int nPdoType, int nLength, [In] byte[] pData)
        {
            return Native.CANopenSendPDO(nHandle, nNodeId, nPdoType, nLength, pData);
        }
        public int CANopenSendSDORead(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, out byte pReplyByte, out int pReplyValue)
        {
            return Native.CANopenSendSDORead(nHandle, nNodeId, nIndex, nSubindex, nTimeoutMs, out pReplyByte, out pReplyValue);
        }
        public int CANopenSendSDOWrite(int nHandle, int nNodeId, int nWriteType, int nIndex, int nSubindex, int nTimeoutMs, int nWriteValue, out byte pReplyByte, out int pReplyValue)
        {
            return Native.CANopenSendSDOWrite(nHandle, nNodeId, nWriteType, nIndex, nSubindex, nTimeoutMs, nWriteValue, out pReplyByte, out pReplyValue);
        }
        public int CANopenSendSDOReadBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nBufferSize, out byte pReplyByte, out int pBlockLength, [In, Out] byte[] pBuffer)
        {
            return Native.CANopenSendSDOReadBlock(nHandle, nNodeId, nIndex, nSubindex, nTimeoutMs, nBufferSize, out pReplyByte, out pBlockLength, pBuffer);
        }
        public int CANopenSendSDOWriteBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nLength, [In] byte[] pData, out byte pReplyByte, out int pReplyValue)
        {
            return Native.CANopenSendSDOWriteBlock(nHandle, nNodeId, nIndex, nSubindex, nTimeoutMs, nLength, pData, out pReplyByte, out pReplyValue);
        }
        public int CANopenGetPDO(int nHandle, out int pAvailable, out byte pNodeId, out byte pPdoType, out byte pLength, [In, Out] byte[] pData)
        {
            return Native.CANopenGetPDO(nHandle, out pAvailable, out pNodeId, out pPdoType, out pLength, pData);
        }
        public int CANopenGetSYNC(int nHandle, out int pAvailable, out byte pValue)
        {
            return Native.CANopenGetSYNC(nHandle, out pAvailable, out pValue);
        }
        public int CANopenGetEMCY(int nHandle, out int pAvailable, out byte pNodeId, out ushort pErrorCode, out byte pErrorRegister, [In, Out] byte[] pData)
        {
            return Native.CANopenGetEMCY(nHandle, out pAvailable, out pNodeId, out pErrorCode, out pErrorRegister, pData);
        }
        public int CANopenGetGUARD(int nHandle, out int pAvailable, out byte pNodeId, out byte pState)
        {
            return Native.CANopenGetGUARD(nHandle, out pAvailable, out pNodeId, out pState);
        }
        public int CANopenGetUndefined(int nHandle, out int pAvailable, out int pIdentifier, out byte pIdByte0, out byte pIdByte1, out byte pLength, [In, Out] byte[] pData, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANopenGetUndefined(nHandle, out pAvailable, out pIdentifier, out pIdByte0, out pIdByte1, out pLength, pData, out pSeconds, out pMicroseconds);
        }
        public int CANErrorMessage(int nResultCode, [In, Out] byte[] pBuffer, int nBufferSize)
        {
            return Native.CANErrorMessage(nResultCode, pBuffer, nBufferSize);
        }
        public int DLLInfo([In, Out] byte[] pBuffer, int nBufferSize)
        {
            return Native.DLLInfo(pBuffer, nBufferSize);
        }
    }

    /// <summary>TessaraCanVB6.dll, 32-bit Windows: standard convention (the callee removes the
    /// arguments), names decorated as _Name@N with N the argument bytes.</summary>
    public sealed class StdcallLibrary : ITessaraApi
    {
        public const string FileName = "TessaraCanVB6.dll";
        public string LibraryName { get { return FileName; } }

        /// <summary>The entry points themselves. A delegate passed here directly
        /// must be kept alive by the caller for as long as it is set.</summary>
        public static class Native
        {
            [DllImport(FileName, EntryPoint = "_CANOpenDevice@24", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANOpenDevice(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs);
            [DllImport(FileName, EntryPoint = "_CANOpenDeviceEx@28", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANOpenDeviceEx(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs, int nTransport);
            [DllImport(FileName, EntryPoint = "_CANCloseDevice@4", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANCloseDevice(int nHandle);
            [DllImport(FileName, EntryPoint = "_CANRestart@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANRestart([MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs);
            [DllImport(FileName, EntryPoint = "_CANDeviceConnectState@4", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANDeviceConnectState(int nHandle);
            [DllImport(FileName, EntryPoint = "_CANStartAlive@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANStartAlive(int nHandle, int nAliveSeconds);
            [DllImport(FileName, EntryPoint = "_CANSetGlobals@24", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANSetGlobals(int nHandle, int nBaudrate, int nOperatingMode, int bTermination, int bHighSpeed, int bTimestampOn);
            [DllImport(FileName, EntryPoint = "_CANGetGlobals@24", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANGetGlobals(int nHandle, out int pBaudrate, out byte pOperatingMode, out int pTermination, out int pHighSpeed, out int pTimestampOn);
            [DllImport(FileName, EntryPoint = "_CANSetFilter@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANSetFilter(int nHandle, [In] int[] pFilterTable);
            [DllImport(FileName, EntryPoint = "_CANGetFilter@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANGetFilter(int nHandle, [In, Out] int[] pFilterTable);
            [DllImport(FileName, EntryPoint = "_CANSetTime@12", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANSetTime(int nHandle, int nSeconds, int nMicroseconds);
            [DllImport(FileName, EntryPoint = "_CANGetTime@16", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANGetTime(int nHandle, out int pTimeFlag, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "_CANGetPowerStatus@56", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANGetPowerStatus(int nHandle, int nValueCapacity, out byte pValueCount, int nFlagACapacity, out byte pFlagCountA, int nFlagBCapacity, out byte pFlagCountB, out ushort pPowerWord1, out ushort pPowerWord2, out ushort pPowerWord3, out int pPowerFlag, [In, Out] ushort[] pPowerValues, [In, Out] int[] pPowerFlagsA, [In, Out] int[] pPowerFlagsB);
            [DllImport(FileName, EntryPoint = "_CANSetPowerRelais@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANSetPowerRelais(int nHandle, int bOn);
            [DllImport(FileName, EntryPoint = "_CANSetActivePowerSupplies@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANSetActivePowerSupplies(int nHandle, int nBitmask);
            [DllImport(FileName, EntryPoint = "_CANWrite@20", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANWrite(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags);
            [DllImport(FileName, EntryPoint = "_CANWriteEx@28", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANWriteEx(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "_CANSetCallback@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANSetCallback(int nHandle, CanFrameCallback pCallback);
            [DllImport(FileName, EntryPoint = "_CANSetCallbackEx@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANSetCallbackEx(int nHandle, CanFrameCallbackEx pCallback);
            [DllImport(FileName, EntryPoint = "_CANSetMaxSizePerQueue@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANSetMaxSizePerQueue(int nHandle, int nMaxEntries);
            [DllImport(FileName, EntryPoint = "_CANGetMessage@32", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANGetMessage(int nHandle, out int pAvailable, out int pIdentifier, [In, Out] byte[] pData, out byte pLength, out int pFlags, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "_DeviceInfo@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int DeviceInfo(int nHandle, [In, Out] byte[] pInfoRecord);
            [DllImport(FileName, EntryPoint = "_DeviceStatus@12", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int DeviceStatus(int nHandle, [In, Out] byte[] pBuffer, uint nBufferSize);
            [DllImport(FileName, EntryPoint = "_CANReadDigital@12", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANReadDigital(int nHandle, out int pFirstWord, out int pSecondWord);
            [DllImport(FileName, EntryPoint = "_CANWriteDigital@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANWriteDigital(int nHandle, int nOutputBits);
            [DllImport(FileName, EntryPoint = "_CANReadAnalog@16", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANReadAnalog(int nHandle, out int pFirstWord, [In, Out] int[] pValues, ref ushort pCount);
            [DllImport(FileName, EntryPoint = "_CANWriteAnalog@12", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANWriteAnalog(int nHandle, [In] int[] pValues, int nCount);
            [DllImport(FileName, EntryPoint = "_CANopenSetCallback@24", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenSetCallback(int nHandle, PdoCallback pPdo, SyncCallback pSync, EmcyCallback pEmcy, GuardCallback pGuard, UndefinedCallback pUndefined);
            [DllImport(FileName, EntryPoint = "_CANopenSetConfig@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenSetConfig(int nHandle, int nCanOpenMode);
            [DllImport(FileName, EntryPoint = "_CANopenGetConfig@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenGetConfig(int nHandle, out byte pCanOpenMode);
            [DllImport(FileName, EntryPoint = "_CANopenSetSYNCMode@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenSetSYNCMode(int nHandle, int nPeriodTime);
            [DllImport(FileName, EntryPoint = "_CANopenSendNMT@12", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenSendNMT(int nHandle, int nNodeId, int nNmtType);
            [DllImport(FileName, EntryPoint = "_CANopenSendSYNC@4", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenSendSYNC(int nHandle);
            [DllImport(FileName, EntryPoint = "_CANopenSendTIME@12", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenSendTIME(int nHandle, int nDay, int nMs);
            [DllImport(FileName, EntryPoint = "_CANopenSendPDO@20", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenSendPDO(int nHandle, int nNodeId, int nPdoType, int nLength, [In] byte[] pData);
            [DllImport(FileName, EntryPoint = "_CANopenSendSDORead@28", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenSendSDORead(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, out byte pReplyByte, out int pReplyValue);
            [DllImport(FileName, EntryPoint = "_CANopenSendSDOWrite@36", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenSendSDOWrite(int nHandle, int nNodeId, int nWriteType, int nIndex, int nSubindex, int nTimeoutMs, int nWriteValue, out byte pReplyByte, out int pReplyValue);
            [DllImport(FileName, EntryPoint = "_CANopenSendSDOReadBlock@36", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenSendSDOReadBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nBufferSize, out byte pReplyByte, out int pBlockLength, [In, Out] byte[] pBuffer);
            [DllImport(FileName, EntryPoint = "_CANopenSendSDOWriteBlock@36", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenSendSDOWriteBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nLength, [In] byte[] pData, out byte pReplyByte, out int pReplyValue);
            [DllImport(FileName, EntryPoint = "_CANopenGetPDO@24", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenGetPDO(int nHandle, out int pAvailable, out byte pNodeId, out byte pPdoType, out byte pLength, [In, Out] byte[] pData);
            [DllImport(FileName, EntryPoint = "_CANopenGetSYNC@12", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenGetSYNC(int nHandle, out int pAvailable, out byte pValue);
            [DllImport(FileName, EntryPoint = "_CANopenGetEMCY@24", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenGetEMCY(int nHandle, out int pAvailable, out byte pNodeId, out ushort pErrorCode, out byte pErrorRegister, [In, Out] byte[] pData);
            [DllImport(FileName, EntryPoint = "_CANopenGetGUARD@16", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenGetGUARD(int nHandle, out int pAvailable, out byte pNodeId, out byte pState);
            [DllImport(FileName, EntryPoint = "_CANopenGetUndefined@36", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANopenGetUndefined(int nHandle, out int pAvailable, out int pIdentifier, out byte pIdByte0, out byte pIdByte1, out byte pLength, [In, Out] byte[] pData, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "_CANErrorMessage@12", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int CANErrorMessage(int nResultCode, [In, Out] byte[] pBuffer, int nBufferSize);
            [DllImport(FileName, EntryPoint = "_DLLInfo@8", CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
            public static extern int DLLInfo([In, Out] byte[] pBuffer, int nBufferSize);
        }

        public int CANOpenDevice(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs)
        {
            return Native.CANOpenDevice(out pHandle, bConfirmData, bMonitor, nCanPort, pAddress, nTimeoutMs);
        }
        public int CANOpenDeviceEx(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs, int nTransport)
        {
            return Native.CANOpenDeviceEx(out pHandle, bConfirmData, bMonitor, nCanPort, pAddress, nTimeoutMs, nTransport);
        }
        public int CANCloseDevice(int nHandle)
        {
            return Native.CANCloseDevice(nHandle);
        }
        public int CANRestart([MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs)
        {
            return Native.CANRestart(pAddress, nTimeoutMs);
        }
        public int CANDeviceConnectState(int nHandle)
        {
            return Native.CANDeviceConnectState(nHandle);
        }
        public int CANStartAlive(int nHandle, int nAliveSeconds)
        {
            return Native.CANStartAlive(nHandle, nAliveSeconds);
        }
        public int CANSetGlobals(int nHandle, int nBaudrate, int nOperatingMode, int bTermination, int bHighSpeed, int bTimestampOn)
        {
            return Native.CANSetGlobals(nHandle, nBaudrate, nOperatingMode, bTermination, bHighSpeed, bTimestampOn);
        }
        public int CANGetGlobals(int nHandle, out int pBaudrate, out byte pOperatingMode, out int pTermination, out int pHighSpeed, out int pTimestampOn)
        {
            return Native.CANGetGlobals(nHandle, out pBaudrate, out pOperatingMode, out pTermination, out pHighSpeed, out pTimestampOn);
        }
        public int CANSetFilter(int nHandle, [In] int[] pFilterTable)
        {
            return Native.CANSetFilter(nHandle, pFilterTable);
        }
        public int CANGetFilter(int nHandle, [In, Out] int[] pFilterTable)
        {
            return Native.CANGetFilter(nHandle, pFilterTable);
        }
        public int CANSetTime(int nHandle, int nSeconds, int nMicroseconds)
        {
            return Native.CANSetTime(nHandle, nSeconds, nMicroseconds);
        }
        public int CANGetTime(int nHandle, out int pTimeFlag, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANGetTime(nHandle, out pTimeFlag, out pSeconds, out pMicroseconds);
        }
        public int CANGetPowerStatus(int nHandle, int nValueCapacity, out byte pValueCount, int nFlagACapacity, out byte pFlagCountA, int nFlagBCapacity, out byte pFlagCountB, out ushort pPowerWord1, out ushort pPowerWord2, out ushort pPowerWord3, out int pPowerFlag, [In, Out] ushort[] pPowerValues, [In, Out] int[] pPowerFlagsA, [In, Out] int[] pPowerFlagsB)
        {
            return Native.CANGetPowerStatus(nHandle, nValueCapacity, out pValueCount, nFlagACapacity, out pFlagCountA, nFlagBCapacity, out pFlagCountB, out pPowerWord1, out pPowerWord2, out pPowerWord3, out pPowerFlag, pPowerValues, pPowerFlagsA, pPowerFlagsB);
        }
        public int CANSetPowerRelais(int nHandle, int bOn)
        {
            return Native.CANSetPowerRelais(nHandle, bOn);
        }
        public int CANSetActivePowerSupplies(int nHandle, int nBitmask)
        {
            return Native.CANSetActivePowerSupplies(nHandle, nBitmask);
        }
        public int CANWrite(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags)
        {
            return Native.CANWrite(nHandle, nIdentifier, pData, nLength, nFlags);
        }
        public int CANWriteEx(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANWriteEx(nHandle, nIdentifier, pData, nLength, nFlags, out pSeconds, out pMicroseconds);
        }
        public int CANSetCallback(int nHandle, CanFrameCallback pCallback)
        {
            return Native.CANSetCallback(nHandle, pCallback);
        }
        public int CANSetCallbackEx(int nHandle, CanFrameCallbackEx pCallback)
        {
            return Native.CANSetCallbackEx(nHandle, pCallback);
        }
        public int CANSetMaxSizePerQueue(int nHandle, int nMaxEntries)
        {
            return Native.CANSetMaxSizePerQueue(nHandle, nMaxEntries);
        }
        public int CANGetMessage(int nHandle, out int pAvailable, out int pIdentifier, [In, Out] byte[] pData, out byte pLength, out int pFlags, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANGetMessage(nHandle, out pAvailable, out pIdentifier, pData, out pLength, out pFlags, out pSeconds, out pMicroseconds);
        }
        public int DeviceInfo(int nHandle, [In, Out] byte[] pInfoRecord)
        {
            return Native.DeviceInfo(nHandle, pInfoRecord);
        }
        public int DeviceStatus(int nHandle, [In, Out] byte[] pBuffer, uint nBufferSize)
        {
            return Native.DeviceStatus(nHandle, pBuffer, nBufferSize);
        }
        public int CANReadDigital(int nHandle, out int pFirstWord, out int pSecondWord)
        {
            return Native.CANReadDigital(nHandle, out pFirstWord, out pSecondWord);
        }
        public int CANWriteDigital(int nHandle, int nOutputBits)
        {
            return Native.CANWriteDigital(nHandle, nOutputBits);
        }
        public int CANReadAnalog(int nHandle, out int pFirstWord, [In, Out] int[] pValues, ref ushort pCount)
        {
            return Native.CANReadAnalog(nHandle, out pFirstWord, pValues, ref pCount);
        }
        public int CANWriteAnalog(int nHandle, [In] int[] pValues, int nCount)
        {
            return Native.CANWriteAnalog(nHandle, pValues, nCount);
        }
        public int CANopenSetCallback(int nHandle, PdoCallback pPdo, SyncCallback pSync, EmcyCallback pEmcy, GuardCallback pGuard, UndefinedCallback pUndefined)
        {
            return Native.CANopenSetCallback(nHandle, pPdo, pSync, pEmcy, pGuard, pUndefined);
        }
        public int CANopenSetConfig(int nHandle, int nCanOpenMode)
        {
            return Native.CANopenSetConfig(nHandle, nCanOpenMode);
        }
        public int CANopenGetConfig(int nHandle, out byte pCanOpenMode)
        {
            return Native.CANopenGetConfig(nHandle, out pCanOpenMode);
        }
        public int CANopenSetSYNCMode(int nHandle, int nPeriodTime)
        {
            return Native.CANopenSetSYNCMode(nHandle, nPeriodTime);
        }
        public int CANopenSendNMT(int nHandle, int nNodeId, int nNmtType)
        {
            return Native.CANopenSendNMT(nHandle, nNodeId, nNmtType);
        }
        public int CANopenSendSYNC(int nHandle)
        {
            return Native.CANopenSendSYNC(nHandle);
        }
        public int CANopenSendTIME(int nHandle, int nDay, int nMs)
        {
            return Native.CANopenSendTIME(nHandle, nDay, nMs);
        }
        public int CANopenSendPDO(int nHandle, int nNodeId, int nPdoType, int nLength, [In] byte[] pData)
        {
            return Native.CANopenSendPDO(nHandle, nNodeId, nPdoType, nLength, pData);
        }
        public int CANopenSendSDORead(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, out byte pReplyByte, out int pReplyValue)
        {
            return Native.CANopenSendSDORead(nHandle, nNodeId, nIndex, nSubindex, nTimeoutMs, out pReplyByte, out pReplyValue);
        }
        public int CANopenSendSDOWrite(int nHandle, int nNodeId, int nWriteType, int nIndex, int nSubindex, int nTimeoutMs, int nWriteValue, out byte pReplyByte, out int pReplyValue)
        {
            return Native.CANopenSendSDOWrite(nHandle, nNodeId, nWriteType, nIndex, nSubindex, nTimeoutMs, nWriteValue, out pReplyByte, out pReplyValue);
        }
        public int CANopenSendSDOReadBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nBufferSize, out byte pReplyByte, out int pBlockLength, [In, Out] byte[] pBuffer)
        {
            return Native.CANopenSendSDOReadBlock(nHandle, nNodeId, nIndex, nSubindex, nTimeoutMs, nBufferSize, out pReplyByte, out pBlockLength, pBuffer);
        }
        public int CANopenSendSDOWriteBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nLength, [In] byte[] pData, out byte pReplyByte, out int pReplyValue)
        {
            return Native.CANopenSendSDOWriteBlock(nHandle, nNodeId, nIndex, nSubindex, nTimeoutMs, nLength, pData, out pReplyByte, out pReplyValue);
        }
        public int CANopenGetPDO(int nHandle, out int pAvailable, out byte pNodeId, out byte pPdoType, out byte pLength, [In, Out] byte[] pData)
        {
            return Native.CANopenGetPDO(nHandle, out pAvailable, out pNodeId, out pPdoType, out pLength, pData);
        }
        public int CANopenGetSYNC(int nHandle, out int pAvailable, out byte pValue)
        {
            return Native.CANopenGetSYNC(nHandle, out pAvailable, out pValue);
        }
        public int CANopenGetEMCY(int nHandle, out int pAvailable, out byte pNodeId, out ushort pErrorCode, out byte pErrorRegister, [In, Out] byte[] pData)
        {
            return Native.CANopenGetEMCY(nHandle, out pAvailable, out pNodeId, out pErrorCode, out pErrorRegister, pData);
        }
        public int CANopenGetGUARD(int nHandle, out int pAvailable, out byte pNodeId, out byte pState)
        {
            return Native.CANopenGetGUARD(nHandle, out pAvailable, out pNodeId, out pState);
        }
        public int CANopenGetUndefined(int nHandle, out int pAvailable, out int pIdentifier, out byte pIdByte0, out byte pIdByte1, out byte pLength, [In, Out] byte[] pData, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANopenGetUndefined(nHandle, out pAvailable, out pIdentifier, out pIdByte0, out pIdByte1, out pLength, pData, out pSeconds, out pMicroseconds);
        }
        public int CANErrorMessage(int nResultCode, [In, Out] byte[] pBuffer, int nBufferSize)
        {
            return Native.CANErrorMessage(nResultCode, pBuffer, nBufferSize);
        }
        public int DLLInfo([In, Out] byte[] pBuffer, int nBufferSize)
        {
            return Native.DLLInfo(pBuffer, nBufferSize);
        }
    }

    /// <summary>TessaraCan64.dll, 64-bit Windows: the platform's single convention.</summary>
    public sealed class Win64Library : ITessaraApi
    {
        public const string FileName = "TessaraCan64.dll";
        public string LibraryName { get { return FileName; } }

        /// <summary>The entry points themselves. A delegate passed here directly
        /// must be kept alive by the caller for as long as it is set.</summary>
        public static class Native
        {
            [DllImport(FileName, EntryPoint = "CANOpenDevice", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANOpenDevice(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs);
            [DllImport(FileName, EntryPoint = "CANOpenDeviceEx", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANOpenDeviceEx(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs, int nTransport);
            [DllImport(FileName, EntryPoint = "CANCloseDevice", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANCloseDevice(int nHandle);
            [DllImport(FileName, EntryPoint = "CANRestart", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANRestart([MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs);
            [DllImport(FileName, EntryPoint = "CANDeviceConnectState", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANDeviceConnectState(int nHandle);
            [DllImport(FileName, EntryPoint = "CANStartAlive", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANStartAlive(int nHandle, int nAliveSeconds);
            [DllImport(FileName, EntryPoint = "CANSetGlobals", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetGlobals(int nHandle, int nBaudrate, int nOperatingMode, int bTermination, int bHighSpeed, int bTimestampOn);
            [DllImport(FileName, EntryPoint = "CANGetGlobals", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetGlobals(int nHandle, out int pBaudrate, out byte pOperatingMode, out int pTermination, out int pHighSpeed, out int pTimestampOn);
            [DllImport(FileName, EntryPoint = "CANSetFilter", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetFilter(int nHandle, [In] int[] pFilterTable);
            [DllImport(FileName, EntryPoint = "CANGetFilter", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetFilter(int nHandle, [In, Out] int[] pFilterTable);
            [DllImport(FileName, EntryPoint = "CANSetTime", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetTime(int nHandle, int nSeconds, int nMicroseconds);
            [DllImport(FileName, EntryPoint = "CANGetTime", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetTime(int nHandle, out int pTimeFlag, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "CANGetPowerStatus", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetPowerStatus(int nHandle, int nValueCapacity, out byte pValueCount, int nFlagACapacity, out byte pFlagCountA, int nFlagBCapacity, out byte pFlagCountB, out ushort pPowerWord1, out ushort pPowerWord2, out ushort pPowerWord3, out int pPowerFlag, [In, Out] ushort[] pPowerValues, [In, Out] int[] pPowerFlagsA, [In, Out] int[] pPowerFlagsB);
            [DllImport(FileName, EntryPoint = "CANSetPowerRelais", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetPowerRelais(int nHandle, int bOn);
            [DllImport(FileName, EntryPoint = "CANSetActivePowerSupplies", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetActivePowerSupplies(int nHandle, int nBitmask);
            [DllImport(FileName, EntryPoint = "CANWrite", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANWrite(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags);
            [DllImport(FileName, EntryPoint = "CANWriteEx", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANWriteEx(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "CANSetCallback", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetCallback(int nHandle, CanFrameCallback pCallback);
            [DllImport(FileName, EntryPoint = "CANSetCallbackEx", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetCallbackEx(int nHandle, CanFrameCallbackEx pCallback);
            [DllImport(FileName, EntryPoint = "CANSetMaxSizePerQueue", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANSetMaxSizePerQueue(int nHandle, int nMaxEntries);
            [DllImport(FileName, EntryPoint = "CANGetMessage", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANGetMessage(int nHandle, out int pAvailable, out int pIdentifier, [In, Out] byte[] pData, out byte pLength, out int pFlags, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "DeviceInfo", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int DeviceInfo(int nHandle, [In, Out] byte[] pInfoRecord);
            [DllImport(FileName, EntryPoint = "DeviceStatus", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int DeviceStatus(int nHandle, [In, Out] byte[] pBuffer, uint nBufferSize);
            [DllImport(FileName, EntryPoint = "CANReadDigital", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANReadDigital(int nHandle, out int pFirstWord, out int pSecondWord);
            [DllImport(FileName, EntryPoint = "CANWriteDigital", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANWriteDigital(int nHandle, int nOutputBits);
            [DllImport(FileName, EntryPoint = "CANReadAnalog", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANReadAnalog(int nHandle, out int pFirstWord, [In, Out] int[] pValues, ref ushort pCount);
            [DllImport(FileName, EntryPoint = "CANWriteAnalog", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANWriteAnalog(int nHandle, [In] int[] pValues, int nCount);
            [DllImport(FileName, EntryPoint = "CANopenSetCallback", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSetCallback(int nHandle, PdoCallback pPdo, SyncCallback pSync, EmcyCallback pEmcy, GuardCallback pGuard, UndefinedCallback pUndefined);
            [DllImport(FileName, EntryPoint = "CANopenSetConfig", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSetConfig(int nHandle, int nCanOpenMode);
            [DllImport(FileName, EntryPoint = "CANopenGetConfig", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetConfig(int nHandle, out byte pCanOpenMode);
            [DllImport(FileName, EntryPoint = "CANopenSetSYNCMode", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSetSYNCMode(int nHandle, int nPeriodTime);
            [DllImport(FileName, EntryPoint = "CANopenSendNMT", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendNMT(int nHandle, int nNodeId, int nNmtType);
            [DllImport(FileName, EntryPoint = "CANopenSendSYNC", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSYNC(int nHandle);
            [DllImport(FileName, EntryPoint = "CANopenSendTIME", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendTIME(int nHandle, int nDay, int nMs);
            [DllImport(FileName, EntryPoint = "CANopenSendPDO", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendPDO(int nHandle, int nNodeId, int nPdoType, int nLength, [In] byte[] pData);
            [DllImport(FileName, EntryPoint = "CANopenSendSDORead", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSDORead(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, out byte pReplyByte, out int pReplyValue);
            [DllImport(FileName, EntryPoint = "CANopenSendSDOWrite", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSDOWrite(int nHandle, int nNodeId, int nWriteType, int nIndex, int nSubindex, int nTimeoutMs, int nWriteValue, out byte pReplyByte, out int pReplyValue);
            [DllImport(FileName, EntryPoint = "CANopenSendSDOReadBlock", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSDOReadBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nBufferSize, out byte pReplyByte, out int pBlockLength, [In, Out] byte[] pBuffer);
            [DllImport(FileName, EntryPoint = "CANopenSendSDOWriteBlock", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenSendSDOWriteBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nLength, [In] byte[] pData, out byte pReplyByte, out int pReplyValue);
            [DllImport(FileName, EntryPoint = "CANopenGetPDO", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetPDO(int nHandle, out int pAvailable, out byte pNodeId, out byte pPdoType, out byte pLength, [In, Out] byte[] pData);
            [DllImport(FileName, EntryPoint = "CANopenGetSYNC", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetSYNC(int nHandle, out int pAvailable, out byte pValue);
            [DllImport(FileName, EntryPoint = "CANopenGetEMCY", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetEMCY(int nHandle, out int pAvailable, out byte pNodeId, out ushort pErrorCode, out byte pErrorRegister, [In, Out] byte[] pData);
            [DllImport(FileName, EntryPoint = "CANopenGetGUARD", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetGUARD(int nHandle, out int pAvailable, out byte pNodeId, out byte pState);
            [DllImport(FileName, EntryPoint = "CANopenGetUndefined", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANopenGetUndefined(int nHandle, out int pAvailable, out int pIdentifier, out byte pIdByte0, out byte pIdByte1, out byte pLength, [In, Out] byte[] pData, out int pSeconds, out int pMicroseconds);
            [DllImport(FileName, EntryPoint = "CANErrorMessage", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int CANErrorMessage(int nResultCode, [In, Out] byte[] pBuffer, int nBufferSize);
            [DllImport(FileName, EntryPoint = "DLLInfo", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
            public static extern int DLLInfo([In, Out] byte[] pBuffer, int nBufferSize);
        }

        public int CANOpenDevice(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs)
        {
            return Native.CANOpenDevice(out pHandle, bConfirmData, bMonitor, nCanPort, pAddress, nTimeoutMs);
        }
        public int CANOpenDeviceEx(out int pHandle, int bConfirmData, int bMonitor, int nCanPort, [MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs, int nTransport)
        {
            return Native.CANOpenDeviceEx(out pHandle, bConfirmData, bMonitor, nCanPort, pAddress, nTimeoutMs, nTransport);
        }
        public int CANCloseDevice(int nHandle)
        {
            return Native.CANCloseDevice(nHandle);
        }
        public int CANRestart([MarshalAs(UnmanagedType.LPStr)] string pAddress, int nTimeoutMs)
        {
            return Native.CANRestart(pAddress, nTimeoutMs);
        }
        public int CANDeviceConnectState(int nHandle)
        {
            return Native.CANDeviceConnectState(nHandle);
        }
        public int CANStartAlive(int nHandle, int nAliveSeconds)
        {
            return Native.CANStartAlive(nHandle, nAliveSeconds);
        }
        public int CANSetGlobals(int nHandle, int nBaudrate, int nOperatingMode, int bTermination, int bHighSpeed, int bTimestampOn)
        {
            return Native.CANSetGlobals(nHandle, nBaudrate, nOperatingMode, bTermination, bHighSpeed, bTimestampOn);
        }
        public int CANGetGlobals(int nHandle, out int pBaudrate, out byte pOperatingMode, out int pTermination, out int pHighSpeed, out int pTimestampOn)
        {
            return Native.CANGetGlobals(nHandle, out pBaudrate, out pOperatingMode, out pTermination, out pHighSpeed, out pTimestampOn);
        }
        public int CANSetFilter(int nHandle, [In] int[] pFilterTable)
        {
            return Native.CANSetFilter(nHandle, pFilterTable);
        }
        public int CANGetFilter(int nHandle, [In, Out] int[] pFilterTable)
        {
            return Native.CANGetFilter(nHandle, pFilterTable);
        }
        public int CANSetTime(int nHandle, int nSeconds, int nMicroseconds)
        {
            return Native.CANSetTime(nHandle, nSeconds, nMicroseconds);
        }
        public int CANGetTime(int nHandle, out int pTimeFlag, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANGetTime(nHandle, out pTimeFlag, out pSeconds, out pMicroseconds);
        }
        public int CANGetPowerStatus(int nHandle, int nValueCapacity, out byte pValueCount, int nFlagACapacity, out byte pFlagCountA, int nFlagBCapacity, out byte pFlagCountB, out ushort pPowerWord1, out ushort pPowerWord2, out ushort pPowerWord3, out int pPowerFlag, [In, Out] ushort[] pPowerValues, [In, Out] int[] pPowerFlagsA, [In, Out] int[] pPowerFlagsB)
        {
            return Native.CANGetPowerStatus(nHandle, nValueCapacity, out pValueCount, nFlagACapacity, out pFlagCountA, nFlagBCapacity, out pFlagCountB, out pPowerWord1, out pPowerWord2, out pPowerWord3, out pPowerFlag, pPowerValues, pPowerFlagsA, pPowerFlagsB);
        }
        public int CANSetPowerRelais(int nHandle, int bOn)
        {
            return Native.CANSetPowerRelais(nHandle, bOn);
        }
        public int CANSetActivePowerSupplies(int nHandle, int nBitmask)
        {
            return Native.CANSetActivePowerSupplies(nHandle, nBitmask);
        }
        public int CANWrite(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags)
        {
            return Native.CANWrite(nHandle, nIdentifier, pData, nLength, nFlags);
        }
        public int CANWriteEx(int nHandle, int nIdentifier, [In] byte[] pData, int nLength, int nFlags, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANWriteEx(nHandle, nIdentifier, pData, nLength, nFlags, out pSeconds, out pMicroseconds);
        }
        public int CANSetCallback(int nHandle, CanFrameCallback pCallback)
        {
            return Native.CANSetCallback(nHandle, pCallback);
        }
        public int CANSetCallbackEx(int nHandle, CanFrameCallbackEx pCallback)
        {
            return Native.CANSetCallbackEx(nHandle, pCallback);
        }
        public int CANSetMaxSizePerQueue(int nHandle, int nMaxEntries)
        {
            return Native.CANSetMaxSizePerQueue(nHandle, nMaxEntries);
        }
        public int CANGetMessage(int nHandle, out int pAvailable, out int pIdentifier, [In, Out] byte[] pData, out byte pLength, out int pFlags, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANGetMessage(nHandle, out pAvailable, out pIdentifier, pData, out pLength, out pFlags, out pSeconds, out pMicroseconds);
        }
        public int DeviceInfo(int nHandle, [In, Out] byte[] pInfoRecord)
        {
            return Native.DeviceInfo(nHandle, pInfoRecord);
        }
        public int DeviceStatus(int nHandle, [In, Out] byte[] pBuffer, uint nBufferSize)
        {
            return Native.DeviceStatus(nHandle, pBuffer, nBufferSize);
        }
        public int CANReadDigital(int nHandle, out int pFirstWord, out int pSecondWord)
        {
            return Native.CANReadDigital(nHandle, out pFirstWord, out pSecondWord);
        }
        public int CANWriteDigital(int nHandle, int nOutputBits)
        {
            return Native.CANWriteDigital(nHandle, nOutputBits);
        }
        public int CANReadAnalog(int nHandle, out int pFirstWord, [In, Out] int[] pValues, ref ushort pCount)
        {
            return Native.CANReadAnalog(nHandle, out pFirstWord, pValues, ref pCount);
        }
        public int CANWriteAnalog(int nHandle, [In] int[] pValues, int nCount)
        {
            return Native.CANWriteAnalog(nHandle, pValues, nCount);
        }
        public int CANopenSetCallback(int nHandle, PdoCallback pPdo, SyncCallback pSync, EmcyCallback pEmcy, GuardCallback pGuard, UndefinedCallback pUndefined)
        {
            return Native.CANopenSetCallback(nHandle, pPdo, pSync, pEmcy, pGuard, pUndefined);
        }
        public int CANopenSetConfig(int nHandle, int nCanOpenMode)
        {
            return Native.CANopenSetConfig(nHandle, nCanOpenMode);
        }
        public int CANopenGetConfig(int nHandle, out byte pCanOpenMode)
        {
            return Native.CANopenGetConfig(nHandle, out pCanOpenMode);
        }
        public int CANopenSetSYNCMode(int nHandle, int nPeriodTime)
        {
            return Native.CANopenSetSYNCMode(nHandle, nPeriodTime);
        }
        public int CANopenSendNMT(int nHandle, int nNodeId, int nNmtType)
        {
            return Native.CANopenSendNMT(nHandle, nNodeId, nNmtType);
        }
        public int CANopenSendSYNC(int nHandle)
        {
            return Native.CANopenSendSYNC(nHandle);
        }
        public int CANopenSendTIME(int nHandle, int nDay, int nMs)
        {
            return Native.CANopenSendTIME(nHandle, nDay, nMs);
        }
        public int CANopenSendPDO(int nHandle, int nNodeId, int nPdoType, int nLength, [In] byte[] pData)
        {
            return Native.CANopenSendPDO(nHandle, nNodeId, nPdoType, nLength, pData);
        }
        public int CANopenSendSDORead(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, out byte pReplyByte, out int pReplyValue)
        {
            return Native.CANopenSendSDORead(nHandle, nNodeId, nIndex, nSubindex, nTimeoutMs, out pReplyByte, out pReplyValue);
        }
        public int CANopenSendSDOWrite(int nHandle, int nNodeId, int nWriteType, int nIndex, int nSubindex, int nTimeoutMs, int nWriteValue, out byte pReplyByte, out int pReplyValue)
        {
            return Native.CANopenSendSDOWrite(nHandle, nNodeId, nWriteType, nIndex, nSubindex, nTimeoutMs, nWriteValue, out pReplyByte, out pReplyValue);
        }
        public int CANopenSendSDOReadBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nBufferSize, out byte pReplyByte, out int pBlockLength, [In, Out] byte[] pBuffer)
        {
            return Native.CANopenSendSDOReadBlock(nHandle, nNodeId, nIndex, nSubindex, nTimeoutMs, nBufferSize, out pReplyByte, out pBlockLength, pBuffer);
        }
        public int CANopenSendSDOWriteBlock(int nHandle, int nNodeId, int nIndex, int nSubindex, int nTimeoutMs, int nLength, [In] byte[] pData, out byte pReplyByte, out int pReplyValue)
        {
            return Native.CANopenSendSDOWriteBlock(nHandle, nNodeId, nIndex, nSubindex, nTimeoutMs, nLength, pData, out pReplyByte, out pReplyValue);
        }
        public int CANopenGetPDO(int nHandle, out int pAvailable, out byte pNodeId, out byte pPdoType, out byte pLength, [In, Out] byte[] pData)
        {
            return Native.CANopenGetPDO(nHandle, out pAvailable, out pNodeId, out pPdoType, out pLength, pData);
        }
        public int CANopenGetSYNC(int nHandle, out int pAvailable, out byte pValue)
        {
            return Native.CANopenGetSYNC(nHandle, out pAvailable, out pValue);
        }
        public int CANopenGetEMCY(int nHandle, out int pAvailable, out byte pNodeId, out ushort pErrorCode, out byte pErrorRegister, [In, Out] byte[] pData)
        {
            return Native.CANopenGetEMCY(nHandle, out pAvailable, out pNodeId, out pErrorCode, out pErrorRegister, pData);
        }
        public int CANopenGetGUARD(int nHandle, out int pAvailable, out byte pNodeId, out byte pState)
        {
            return Native.CANopenGetGUARD(nHandle, out pAvailable, out pNodeId, out pState);
        }
        public int CANopenGetUndefined(int nHandle, out int pAvailable, out int pIdentifier, out byte pIdByte0, out byte pIdByte1, out byte pLength, [In, Out] byte[] pData, out int pSeconds, out int pMicroseconds)
        {
            return Native.CANopenGetUndefined(nHandle, out pAvailable, out pIdentifier, out pIdByte0, out pIdByte1, out pLength, pData, out pSeconds, out pMicroseconds);
        }
        public int CANErrorMessage(int nResultCode, [In, Out] byte[] pBuffer, int nBufferSize)
        {
            return Native.CANErrorMessage(nResultCode, pBuffer, nBufferSize);
        }
        public int DLLInfo([In, Out] byte[] pBuffer, int nBufferSize)
        {
            return Native.DLLInfo(pBuffer, nBufferSize);
        }
    }
}
