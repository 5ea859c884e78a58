Attribute VB_Name = "TessaraCan"
' TessaraCan.bas: Visual Basic 6 declarations of TessaraCanVB6.dll, the
' standard-convention build of the Tessara CAN gateway client library.
'
' Every function returns a result code (0 = success; CANErrorMessage gives
' its text), except CANDeviceConnectState, which returns the connection state
' (1 closed, 2 connecting, 3 connected, 4 disconnecting, 6 no socket stack).
' Buffers (ByVal ... As String) must be allocated by the caller, e.g.
' sText = String$(256, vbNullChar); byte buffers (ByRef ... As Byte) are the
' first element of a Byte array large enough for the data (64 bytes for a
' frame). Callbacks are passed with AddressOf and are called on the
' library's receive thread with the standard convention.
Option Explicit

Public Declare Function CANCloseDevice Lib "TessaraCanVB6.dll" Alias "_CANCloseDevice@4" (ByVal nHandle As Long) As Long
Public Declare Function CANDeviceConnectState Lib "TessaraCanVB6.dll" Alias "_CANDeviceConnectState@4" (ByVal nHandle As Long) As Long
Public Declare Function CANErrorMessage Lib "TessaraCanVB6.dll" Alias "_CANErrorMessage@12" (ByVal nResultCode As Long, ByVal sBuffer As String, ByVal nBufferSize As Long) As Long
Public Declare Function CANGetFilter Lib "TessaraCanVB6.dll" Alias "_CANGetFilter@8" (ByVal nHandle As Long, ByRef nFilterTable As Long) As Long
Public Declare Function CANGetGlobals Lib "TessaraCanVB6.dll" Alias "_CANGetGlobals@24" (ByVal nHandle As Long, ByRef nBaudrate As Long, ByRef cOperatingMode As Byte, ByRef nTermination As Long, ByRef nHighSpeed As Long, ByRef nTimestampOn As Long) As Long
Public Declare Function CANGetMessage Lib "TessaraCanVB6.dll" Alias "_CANGetMessage@32" (ByVal nHandle As Long, ByRef nAvailable As Long, ByRef nIdentifier As Long, ByRef cData As Byte, ByRef cLength As Byte, ByRef nFlags As Long, ByRef nSeconds As Long, ByRef nMicroseconds As Long) As Long
Public Declare Function CANGetPowerStatus Lib "TessaraCanVB6.dll" Alias "_CANGetPowerStatus@56" (ByVal nHandle As Long, ByVal nValueCapacity As Long, ByRef cValueCount As Byte, ByVal nFlagACapacity As Long, ByRef cFlagCountA As Byte, ByVal nFlagBCapacity As Long, ByRef cFlagCountB As Byte, ByRef nPowerWord1 As Integer, ByRef nPowerWord2 As Integer, ByRef nPowerWord3 As Integer, ByRef nPowerFlag As Long, ByRef nPowerValues As Integer, ByRef nPowerFlagsA As Long, ByRef nPowerFlagsB As Long) As Long
Public Declare Function CANGetTime Lib "TessaraCanVB6.dll" Alias "_CANGetTime@16" (ByVal nHandle As Long, ByRef nTimeFlag As Long, ByRef nSeconds As Long, ByRef nMicroseconds As Long) As Long
Public Declare Function CANOpenDevice Lib "TessaraCanVB6.dll" Alias "_CANOpenDevice@24" (ByRef nHandle As Long, ByVal bConfirmData As Long, ByVal bMonitor As Long, ByVal nCanPort As Long, ByVal sAddress As String, ByVal nTimeoutMs As Long) As Long
Public Declare Function CANOpenDeviceEx Lib "TessaraCanVB6.dll" Alias "_CANOpenDeviceEx@28" (ByRef nHandle As Long, ByVal bConfirmData As Long, ByVal bMonitor As Long, ByVal nCanPort As Long, ByVal sAddress As String, ByVal nTimeoutMs As Long, ByVal nTransport As Long) As Long
Public Declare Function CANReadAnalog Lib "TessaraCanVB6.dll" Alias "_CANReadAnalog@16" (ByVal nHandle As Long, ByRef nFirstWord As Long, ByRef nValues As Long, ByRef nCount As Integer) As Long
Public Declare Function CANReadDigital Lib "TessaraCanVB6.dll" Alias "_CANReadDigital@12" (ByVal nHandle As Long, ByRef nFirstWord As Long, ByRef nSecondWord As Long) As Long
Public Declare Function CANRestart Lib "TessaraCanVB6.dll" Alias "_CANRestart@8" (ByVal sAddress As String, ByVal nTimeoutMs As Long) As Long
Public Declare Function CANSetActivePowerSupplies Lib "TessaraCanVB6.dll" Alias "_CANSetActivePowerSupplies@8" (ByVal nHandle As Long, ByVal nBitmask As Long) As Long
Public Declare Function CANSetCallback Lib "TessaraCanVB6.dll" Alias "_CANSetCallback@8" (ByVal nHandle As Long, ByVal pCallback As Long) As Long
Public Declare Function CANSetCallbackEx Lib "TessaraCanVB6.dll" Alias "_CANSetCallbackEx@8" (ByVal nHandle As Long, ByVal pCallback As Long) As Long
Public Declare Function CANSetFilter Lib "TessaraCanVB6.dll" Alias "_CANSetFilter@8" (ByVal nHandle As Long, ByRef nFilterTable As Long) As Long
Public Declare Function CANSetGlobals Lib "TessaraCanVB6.dll" Alias "_CANSetGlobals@24" (ByVal nHandle As Long, ByVal nBaudrate As Long, ByVal nOperatingMode As Long, ByVal bTermination As Long, ByVal bHighSpeed As Long, ByVal bTimestampOn As Long) As Long
Public Declare Function CANSetMaxSizePerQueue Lib "TessaraCanVB6.dll" Alias "_CANSetMaxSizePerQueue@8" (ByVal nHandle As Long, ByVal nMaxEntries As Long) As Long
Public Declare Function CANSetPowerRelais Lib "TessaraCanVB6.dll" Alias "_CANSetPowerRelais@8" (ByVal nHandle As Long, ByVal bOn As Long) As Long
Public Declare Function CANSetTime Lib "TessaraCanVB6.dll" Alias "_CANSetTime@12" (ByVal nHandle As Long, ByVal nSeconds As Long, ByVal nMicroseconds As Long) As Long
Public Declare Function CANStartAlive Lib "TessaraCanVB6.dll" Alias "_CANStartAlive@8" (ByVal nHandle As Long, ByVal nAliveSeconds As Long) As Long
Public Declare Function CANWrite Lib "TessaraCanVB6.dll" Alias "_CANWrite@20" (ByVal nHandle As Long, ByVal nIdentifier As Long, ByRef cData As Byte, ByVal nLength As Long, ByVal nFlags As Long) As Long
Public Declare Function CANWriteAnalog Lib "TessaraCanVB6.dll" Alias "_CANWriteAnalog@12" (ByVal nHandle As Long, ByRef nValues As Long, ByVal nCount As Long) As Long
Public Declare Function CANWriteDigital Lib "TessaraCanVB6.dll" Alias "_CANWriteDigital@8" (ByVal nHandle As Long, ByVal nOutputBits As Long) As Long
Public Declare Function CANWriteEx Lib "TessaraCanVB6.dll" Alias "_CANWriteEx@28" (ByVal nHandle As Long, ByVal nIdentifier As Long, ByRef cData As Byte, ByVal nLength As Long, ByVal nFlags As Long, ByRef nSeconds As Long, ByRef nMicroseconds As Long) As Long
Public Declare Function CANopenGetConfig Lib "TessaraCanVB6.dll" Alias "_CANopenGetConfig@8" (ByVal nHandle As Long, ByRef cCanOpenMode As Byte) As Long
Public Declare Function CANopenGetEMCY Lib "TessaraCanVB6.dll" Alias "_CANopenGetEMCY@24" (ByVal nHandle As Long, ByRef nAvailable As Long, ByRef cNodeId As Byte, ByRef nErrorCode As Integer, ByRef cErrorRegister As Byte, ByRef cData As Byte) As Long
Public Declare Function CANopenGetGUARD Lib "TessaraCanVB6.dll" Alias "_CANopenGetGUARD@16" (ByVal nHandle As Long, ByRef nAvailable As Long, ByRef cNodeId As Byte, ByRef cState As Byte) As Long
Public Declare Function CANopenGetPDO Lib "TessaraCanVB6.dll" Alias "_CANopenGetPDO@24" (ByVal nHandle As Long, ByRef nAvailable As Long, ByRef cNodeId As Byte, ByRef cPdoType As Byte, ByRef cLength As Byte, ByRef cData As Byte) As Long
Public Declare Function CANopenGetSYNC Lib "TessaraCanVB6.dll" Alias "_CANopenGetSYNC@12" (ByVal nHandle As Long, ByRef nAvailable As Long, ByRef cValue As Byte) As Long
Public Declare Function CANopenGetUndefined Lib "TessaraCanVB6.dll" Alias "_CANopenGetUndefined@36" (ByVal nHandle As Long, ByRef nAvailable As Long, ByRef nIdentifier As Long, ByRef cIdByte0 As Byte, ByRef cIdByte1 As Byte, ByRef cLength As Byte, ByRef cData As Byte, ByRef nSeconds As Long, ByRef nMicroseconds As Long) As Long
Public Declare Function CANopenSendNMT Lib "TessaraCanVB6.dll" Alias "_CANopenSendNMT@12" (ByVal nHandle As Long, ByVal nNodeId As Long, ByVal nNmtType As Long) As Long
Public Declare Function CANopenSendPDO Lib "TessaraCanVB6.dll" Alias "_CANopenSendPDO@20" (ByVal nHandle As Long, ByVal nNodeId As Long, ByVal nPdoType As Long, ByVal nLength As Long, ByRef cData As Byte) As Long
Public Declare Function CANopenSendSDORead Lib "TessaraCanVB6.dll" Alias "_CANopenSendSDORead@28" (ByVal nHandle As Long, ByVal nNodeId As Long, ByVal nIndex As Long, ByVal nSubindex As Long, ByVal nTimeoutMs As Long, ByRef cReplyByte As Byte, ByRef nReplyValue As Long) As Long
Public Declare Function CANopenSendSDOReadBlock Lib "TessaraCanVB6.dll" Alias "_CANopenSendSDOReadBlock@36" (ByVal nHandle As Long, ByVal nNodeId As Long, ByVal nIndex As Long, ByVal nSubindex As Long, ByVal nTimeoutMs As Long, ByVal nBufferSize As Long, ByRef cReplyByte As Byte, ByRef nBlockLength As Long, ByRef cBuffer As Byte) As Long
Public Declare Function CANopenSendSDOWrite Lib "TessaraCanVB6.dll" Alias "_CANopenSendSDOWrite@36" (ByVal nHandle As Long, ByVal nNodeId As Long, ByVal nWriteType As Long, ByVal nIndex As Long, ByVal nSubindex As Long, ByVal nTimeoutMs As Long, ByVal nWriteValue As Long, ByRef cReplyByte As Byte, ByRef nReplyValue As Long) As Long
Public Declare Function CANopenSendSDOWriteBlock Lib "TessaraCanVB6.dll" Alias "_CANopenSendSDOWriteBlock@36" (ByVal nHandle As Long, ByVal nNodeId As Long, ByVal nIndex As Long, ByVal nSubindex As Long, ByVal nTimeoutMs As Long, ByVal nLength As Long, ByRef cData As Byte, ByRef cReplyByte As Byte, ByRef nReplyValue As Long) As Long
Public Declare Function CANopenSendSYNC Lib "TessaraCanVB6.dll" Alias "_CANopenSendSYNC@4" (ByVal nHandle As Long) As Long
Public Declare Function CANopenSendTIME Lib "TessaraCanVB6.dll" Alias "_CANopenSendTIME@12" (ByVal nHandle As Long, ByVal nDay As Long, ByVal nMs As Long) As Long
Public Declare Function CANopenSetCallback Lib "TessaraCanVB6.dll" Alias "_CANopenSetCallback@24" (ByVal nHandle As Long, ByVal pPdo As Long, ByVal pSync As Long, ByVal pEmcy As Long, ByVal pGuard As Long, ByVal pUndefined As Long) As Long
Public Declare Function CANopenSetConfig Lib "TessaraCanVB6.dll" Alias "_CANopenSetConfig@8" (ByVal nHandle As Long, ByVal nCanOpenMode As Long) As Long
Public Declare Function CANopenSetSYNCMode Lib "TessaraCanVB6.dll" Alias "_CANopenSetSYNCMode@8" (ByVal nHandle As Long, ByVal nPeriodTime As Long) As Long
Public Declare Function DLLInfo Lib "TessaraCanVB6.dll" Alias "_DLLInfo@8" (ByVal sBuffer As String, ByVal nBufferSize As Long) As Long
Public Declare Function DeviceInfo Lib "TessaraCanVB6.dll" Alias "_DeviceInfo@8" (ByVal nHandle As Long, ByRef oInfoRecord As Any) As Long
Public Declare Function DeviceStatus Lib "TessaraCanVB6.dll" Alias "_DeviceStatus@12" (ByVal nHandle As Long, ByVal sBuffer As String, ByVal nBufferSize As Long) As Long
