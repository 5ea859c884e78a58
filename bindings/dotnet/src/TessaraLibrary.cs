// TessaraLibrary.cs: picks the library file of the running platform and turns
// result codes into exceptions; the binding's layer between the P/Invoke
// declarations (Native.g.cs) and TessaraDevice.
using System;
using System.Text;

namespace Tessara.Can
{
    /// <summary>A library function returned a result code other than 0.</summary>
    public class TessaraException : Exception
    {
        public TessaraException(int code, string function, string message)
            : base(string.Format("0x{0:X}: {1}{2}", code, message,
                                 function == null ? "" : " (" + function + ")"))
        {
            Code = code;
            Function = function;
            LibraryMessage = message;
        }

        /// <summary>The library's result code.</summary>
        public int Code { get; private set; }

        /// <summary>The C function that returned it.</summary>
        public string Function { get; private set; }

        /// <summary>The library's own text for the code (CANErrorMessage).</summary>
        public string LibraryMessage { get; private set; }
    }

    /// <summary>Result codes an application commonly tests for.</summary>
    public static class ResultCodes
    {
        public const int Success = 0;
        public const int GatewayFull = 0x1;
        public const int SocketError = 0x20000;
        public const int NotConnected = 0x30000;
        public const int Timeout = 0x40000;
        public const int InvalidHandle = 0x900000;
        public const int InvalidParameter = 0x920000;
        public const int CanInvalidBaudrate = 0x224;
        public const int CanopenNodeNotAnswering = 0x2FD;
        public const int CanopenModeOff = 0x2FE;
    }

    /// <summary>The library functions that take no handle, and the choice of
    /// library file.</summary>
    public static class TessaraLibrary
    {
        private static readonly object s_lock = new object();
        private static ITessaraApi s_default;

        /// <summary>The library of this platform: libTessaraCan.so.1 on Linux,
        /// TessaraCan64.dll in a 64-bit Windows process, TessaraCan.dll in a 32-bit
        /// one (TessaraCanVB6.dll is chosen by passing a StdcallLibrary). Can be set
        /// once before the first device is opened.</summary>
        public static ITessaraApi Default
        {
            get
            {
                lock (s_lock) {
                    if (s_default == null) s_default = ForPlatform();
                    return s_default;
                }
            }
            set
            {
                if (value == null) throw new ArgumentNullException("value");
                lock (s_lock) s_default = value;
            }
        }

        public static ITessaraApi ForPlatform()
        {
            if (Environment.OSVersion.Platform == PlatformID.Win32NT) {
                if (IntPtr.Size == 8) return new Win64Library();
                return new CdeclLibrary();
            }
            return new LinuxLibrary();
        }

        /// <summary>The library's English text for a result code.</summary>
        public static string ErrorMessage(int code, ITessaraApi api = null)
        {
            var buffer = new byte[256];
            int written = (api ?? Default).CANErrorMessage(code, buffer, buffer.Length);
            return Text(buffer, written);
        }

        /// <summary>The library's version text.</summary>
        public static string Version(ITessaraApi api = null)
        {
            var buffer = new byte[64];
            return Text(buffer, (api ?? Default).DLLInfo(buffer, buffer.Length));
        }

        /// <summary>Asks the gateway at host to restart (TCP port of CAN port 0).</summary>
        public static void Restart(string host, int timeoutMs, ITessaraApi api = null)
        {
            api = api ?? Default;
            Check(api, api.CANRestart(host, timeoutMs), "CANRestart");
        }

        /// <summary>Throws a TessaraException for a code other than 0.</summary>
        public static void Check(ITessaraApi api, int code, string function)
        {
            if (code != 0) throw new TessaraException(code, function, ErrorMessage(code, api));
        }

        // Texts come back with the bytes written including the terminator.
        internal static string Text(byte[] buffer, int written)
        {
            int length = Math.Max(0, Math.Min(written - 1, buffer.Length));
            return Encoding.GetEncoding("ISO-8859-1").GetString(buffer, 0, length);
        }
    }
}
