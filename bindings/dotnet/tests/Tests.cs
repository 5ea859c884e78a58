// Tests.cs: the .NET binding against the library and the simulator program of
// a build tree, and its 32-bit declarations against the export tables of the
// built DLLs. A runner of its own: prints one line per test and "N passed, N
// failed", exits 1 on a failure.
//
//   mono TessaraTests.exe BUILD_DIR SOURCE_DIR [TEST...]
//   mono TessaraTests.exe --exports cdecl|stdcall OBJDUMP_OUTPUT
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using Tessara.Can;

static class Assert
{
    public static void True(bool condition, string what)
    {
        if (!condition) throw new Exception("expected: " + what);
    }

    public static void Equal<T>(T expected, T actual, string what)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, actual))
            throw new Exception(string.Format("{0}: expected {1}, got {2}", what, expected, actual));
    }

    public static void Bytes(byte[] expected, byte[] actual, string what)
    {
        if (!expected.SequenceEqual(actual))
            throw new Exception(string.Format("{0}: expected {1}, got {2}", what,
                                              BitConverter.ToString(expected),
                                              BitConverter.ToString(actual)));
    }

    public static TException Throws<TException>(Action action, string what) where TException : Exception
    {
        try {
            action();
        } catch (TException e) {
            return e;
        }
        throw new Exception(what + ": no " + typeof(TException).Name);
    }
}

// A tessara-sim process on a loopback address of its own.
sealed class Simulator : IDisposable
{
    private readonly Process m_process;
    private readonly List<string> m_lines = new List<string>();
    public readonly string Address;

    public Simulator(string program, string options)
    {
        var random = new Random(Guid.NewGuid().GetHashCode());
        for (int attempt = 0; attempt < 20; ++attempt) {
            string address = string.Format("127.{0}.{1}.{2}", random.Next(1, 255),
                                           random.Next(0, 256), random.Next(1, 255));
            var process = Start(program, "--bind " + address + " --quiet " + options);
            if (WaitFor(process, "listening on", Tests.Seconds(10))) {
                m_process = process;
                Address = address;
                return;
            }
            if (!process.HasExited) process.Kill();
            process.WaitForExit();
        }
        throw new Exception("tessara-sim did not start: " + string.Join("", m_lines));
    }

    private Process Start(string program, string arguments)
    {
        lock (m_lines) m_lines.Clear();
        var info = new ProcessStartInfo(program, arguments) {
            UseShellExecute = false, RedirectStandardOutput = true, RedirectStandardError = true
        };
        var process = new Process { StartInfo = info };
        DataReceivedEventHandler add = (s, e) => {
            if (e.Data == null) return;
            lock (m_lines) {
                m_lines.Add(e.Data);
                Monitor.PulseAll(m_lines);
            }
        };
        process.OutputDataReceived += add;
        process.ErrorDataReceived += add;
        process.Start();
        process.BeginOutputReadLine();
        process.BeginErrorReadLine();
        return process;
    }

    private bool WaitFor(Process process, string text, TimeSpan timeout)
    {
        var deadline = DateTime.UtcNow + timeout;
        lock (m_lines) {
            while (!m_lines.Any(l => l.Contains(text))) {
                var left = deadline - DateTime.UtcNow;
                if (left <= TimeSpan.Zero || process.HasExited) return false;
                Monitor.Wait(m_lines, TimeSpan.FromMilliseconds(Math.Min(100, left.TotalMilliseconds)));
            }
            return true;
        }
    }

    public void Dispose()
    {
        if (m_process == null) return;
        if (!m_process.HasExited) m_process.Kill();
        m_process.WaitForExit();
    }
}

// Values handed from a receive thread to the test thread, taken with a deadline.
sealed class Inbox<T>
{
    private readonly Queue<T> m_items = new Queue<T>();

    public void Put(T item)
    {
        lock (m_items) {
            m_items.Enqueue(item);
            Monitor.PulseAll(m_items);
        }
    }

    public T Take(string what, double seconds = 2)
    {
        var deadline = DateTime.UtcNow + Tests.Seconds(seconds);
        lock (m_items) {
            while (m_items.Count == 0) {
                var left = deadline - DateTime.UtcNow;
                if (left <= TimeSpan.Zero) throw new Exception("timed out waiting for " + what);
                Monitor.Wait(m_items, left);
            }
            return m_items.Dequeue();
        }
    }
}

static class Tests
{
    static string s_build, s_source;
    static readonly ITessaraApi Api = new LinuxLibrary();
    const int Node = 5;

    public static TimeSpan Seconds(double seconds)
    {
        double scale;
        string text = Environment.GetEnvironmentVariable("TESSARA_TEST_TIMEOUT_MULTIPLIER");
        if (!double.TryParse(text, out scale) || scale <= 0) scale = 1;
        return TimeSpan.FromSeconds(seconds * scale);
    }

    static int TimeoutMs(int ms) { return (int)Seconds(ms / 1000.0).TotalMilliseconds; }

    static Simulator Sim(string options = "")
    {
        return new Simulator(Path.Combine(s_build, "sim", "tessara-sim"), options);
    }

    static Dictionary<string, int> Exports()
    {
        return File.ReadAllLines(Path.Combine(s_source, "src", "exports", "exports.txt"))
            .Select(l => l.Trim()).Where(l => l.Length > 0 && !l.StartsWith("#"))
            .Select(l => l.Split(new[] { ' ' }, StringSplitOptions.RemoveEmptyEntries))
            .ToDictionary(f => f[0], f => int.Parse(f[1]));
    }

    static MethodInfo[] Entries(Type library)
    {
        return library.GetNestedType("Native").GetMethods(BindingFlags.Public | BindingFlags.Static)
            .Where(m => m.GetCustomAttributes(typeof(DllImportAttribute), false).Length > 0)
            .ToArray();
    }

    static DllImportAttribute Import(MethodInfo method)
    {
        return (DllImportAttribute)method.GetCustomAttributes(typeof(DllImportAttribute), false)[0];
    }

    // Bytes an argument of this type takes on the 32-bit stack: every
    // parameter of the interface is an int, a byte widened to a stack slot,
    // or a pointer (arrays, strings, references, delegates).
    static int StackBytes32(Type type)
    {
        if (type == typeof(long) || type == typeof(ulong) || type == typeof(double))
            return 8;
        return 4;
    }

    static int DeclaredBytes(MethodInfo method)
    {
        return method.GetParameters().Sum(p => StackBytes32(p.ParameterType));
    }

    // ---- declarations

    static void DeclarationsMatchTheExportList()
    {
        var exports = Exports();
        Assert.Equal(46, exports.Count, "exported names");
        var names = typeof(ITessaraApi).GetMethods().Where(m => !m.IsSpecialName)
            .Select(m => m.Name).OrderBy(n => n, StringComparer.Ordinal).ToArray();
        Assert.Equal(string.Join(" ", exports.Keys.OrderBy(n => n, StringComparer.Ordinal)),
                     string.Join(" ", names), "interface methods");
        var expected = new Dictionary<Type, Tuple<string, CallingConvention, bool>> {
            { typeof(LinuxLibrary), Tuple.Create("libTessaraCan.so.1", CallingConvention.Cdecl, false) },
            { typeof(CdeclLibrary), Tuple.Create("TessaraCan.dll", CallingConvention.Cdecl, false) },
            { typeof(StdcallLibrary), Tuple.Create("TessaraCanVB6.dll", CallingConvention.StdCall, true) },
            { typeof(Win64Library), Tuple.Create("TessaraCan64.dll", CallingConvention.Cdecl, false) },
        };
        foreach (var library in expected) {
            var entries = Entries(library.Key);
            Assert.Equal(46, entries.Length, library.Key.Name + " entry points");
            foreach (var method in entries) {
                var import = Import(method);
                string entry = library.Value.Item3
                    ? string.Format("_{0}@{1}", method.Name, exports[method.Name])
                    : method.Name;
                Assert.Equal(library.Value.Item1, import.Value, method.Name + " library");
                Assert.Equal(entry, import.EntryPoint, library.Key.Name + " entry point");
                Assert.Equal(library.Value.Item2, import.CallingConvention, method.Name + " convention");
                Assert.Equal(exports[method.Name], DeclaredBytes(method), method.Name + " bytes");
            }
        }
    }

    static void CallbackTypesMatchTheHeader()
    {
        string header = File.ReadAllText(Path.Combine(s_source, "include", "TessaraCan.h"));
        header = Regex.Replace(header, @"/\*.*?\*/", "", RegexOptions.Singleline);
        var typedefs = Regex.Matches(header,
            @"typedef\s+void\s*\(\s*TESSARA_CALLBACK\s*\*\s*(\w+)\s*\)\s*\(([^)]*)\)");
        Assert.Equal(7, typedefs.Count, "callback types in the header");
        foreach (Match typedef in typedefs) {
            var type = typeof(ITessaraApi).Assembly.GetType("Tessara.Can." + typedef.Groups[1].Value);
            Assert.True(type != null && typeof(Delegate).IsAssignableFrom(type),
                        typedef.Groups[1].Value + " is declared");
            var attribute = (UnmanagedFunctionPointerAttribute)type.GetCustomAttributes(
                typeof(UnmanagedFunctionPointerAttribute), false).Single();
            Assert.Equal(CallingConvention.StdCall, attribute.CallingConvention,
                         type.Name + " convention");
            var parameters = type.GetMethod("Invoke").GetParameters();
            var cTypes = typedef.Groups[2].Value.Split(',').Select(p => Regex.Replace(
                p.Trim(), @"\s*\w+$", "")).ToArray();
            Assert.Equal(cTypes.Length, parameters.Length, type.Name + " parameters");
            for (int i = 0; i < cTypes.Length; ++i) {
                var expected = cTypes[i].EndsWith("*") ? typeof(IntPtr)
                    : cTypes[i] == "unsigned char" ? typeof(byte) : typeof(int);
                Assert.Equal(expected, parameters[i].ParameterType, type.Name + " parameter " + i);
            }
        }
    }

    // Every one of the 46 functions through the Linux declarations, with the
    // values the gateway protocol and the simulator's model give.
    static void EveryFunctionIsCalled()
    {
        var called = new HashSet<string>();
        Func<string, int, int> c = (name, result) => { called.Add(name); return result; };
        var text = new byte[64];
        Assert.Equal(27, c("DLLInfo", Api.DLLInfo(text, text.Length)), "DLLInfo length");
        Assert.Equal("Tessara CAN DLL V1.11-2.13", Encoding.ASCII.GetString(text, 0, 26), "version");
        Assert.Equal(9, c("CANErrorMessage", Api.CANErrorMessage(0, text, text.Length)), "no error");
        Assert.Equal("no error", Encoding.ASCII.GetString(text, 0, 8), "message of 0");

        using (var sim = Sim("--ports 0 --node 5")) {
            int handle, other;
            Assert.Equal(0, c("CANOpenDevice", Api.CANOpenDevice(out handle, 0, 0, 0, sim.Address,
                                                                   TimeoutMs(2000))), "open");
            Assert.Equal(0, c("CANOpenDeviceEx", Api.CANOpenDeviceEx(out other, 0, 0, 0, sim.Address,
                                                                       TimeoutMs(2000), 2)), "open UDP");
            Assert.Equal(3, c("CANDeviceConnectState", Api.CANDeviceConnectState(handle)), "state");
            Assert.Equal(0, c("CANStartAlive", Api.CANStartAlive(handle, 0)), "alive off");

            Assert.Equal(0, c("CANSetGlobals", Api.CANSetGlobals(handle, 250000, 0, 1, 1, 0)), "set globals");
            int bitrate, termination, highSpeed, timestamps;
            byte mode;
            Assert.Equal(0, c("CANGetGlobals", Api.CANGetGlobals(handle, out bitrate, out mode,
                out termination, out highSpeed, out timestamps)), "get globals");
            Assert.Equal("250000 0 1 1 0", string.Join(" ", bitrate, mode, termination, highSpeed,
                                                       timestamps), "globals");
            var filter = new int[16];
            filter[0] = 0x123;
            filter[1] = 0x7FF;
            Assert.Equal(0, c("CANSetFilter", Api.CANSetFilter(handle, filter)), "set filter");
            var read = new int[16];
            Assert.Equal(0, c("CANGetFilter", Api.CANGetFilter(handle, read)), "get filter");
            Assert.Equal(0x7FF, read[1], "filter mask");
            Assert.Equal(0, Api.CANSetFilter(handle, new int[16]), "filter off");
            Assert.Equal(0, c("CANSetTime", Api.CANSetTime(handle, 1700000000, 250000)), "set time");
            int flag, seconds, micro;
            Assert.Equal(0, c("CANGetTime", Api.CANGetTime(handle, out flag, out seconds, out micro)), "get time");
            Assert.True(flag == 1 && seconds >= 1700000000 && seconds < 1700000100, "the clock that was set");

            byte valueCount, countA, countB;
            ushort word1, word2, word3;
            int powerFlag;
            var values = new ushort[8];
            var flagsA = new int[8];
            var flagsB = new int[8];
            Assert.Equal(0, c("CANSetPowerRelais", Api.CANSetPowerRelais(handle, 1)), "relay");
            Assert.Equal(0, c("CANSetActivePowerSupplies", Api.CANSetActivePowerSupplies(handle, 5)), "supplies");
            Assert.Equal(0, c("CANGetPowerStatus", Api.CANGetPowerStatus(handle, 8, out valueCount, 8,
                out countA, 8, out countB, out word1, out word2, out word3, out powerFlag, values,
                flagsA, flagsB)), "power status");
            Assert.Equal(1, powerFlag, "relay flag");
            Assert.Equal("1 0 1", string.Join(" ", flagsA.Take(countA)), "active supplies");

            var data = new byte[] { 0xDE, 0xAD, 0xBE, 0xEF };
            Assert.Equal(0, c("CANSetMaxSizePerQueue", Api.CANSetMaxSizePerQueue(other, 4)), "queue");
            Assert.Equal(0, c("CANWrite", Api.CANWrite(handle, 0x123, data, 4, 0)), "write");
            Assert.Equal(0, c("CANWriteEx", Api.CANWriteEx(handle, 0x1ABCDEF0, data, 2, 1, out seconds,
                                                             out micro)), "write ex");
            Assert.True(seconds != 0, "a local time stamp");
            Assert.Equal(0, c("CANSetCallback", Api.CANSetCallback(handle, null)), "no callback");
            Assert.Equal(0, c("CANSetCallbackEx", Api.CANSetCallbackEx(handle, null)), "no callback ex");
            // the receiver's confirmation follows the frames on its stream
            int first, second;
            Assert.Equal(0, c("CANReadDigital", Api.CANReadDigital(other, out first, out second)), "digital");
            int available, identifier, flags;
            byte length;
            var frame = new byte[64];
            Assert.Equal(0, c("CANGetMessage", Api.CANGetMessage(other, out available, out identifier,
                frame, out length, out flags, out seconds, out micro)), "get message");
            Assert.Equal("1 0x123 4", string.Format("{0} 0x{1:X} {2}", available, identifier, length), "first frame");
            Assert.Bytes(data, frame.Take(4).ToArray(), "first frame data");
            Api.CANGetMessage(other, out available, out identifier, frame, out length, out flags,
                              out seconds, out micro);
            Assert.Equal("0 0x1ABCDEF0 2 1", string.Format("{0} 0x{1:X} {2} {3}", available,
                                                            identifier, length, flags & 3), "second frame");

            var record = new byte[20];
            Assert.Equal(0, c("DeviceInfo", Api.DeviceInfo(handle, record)), "info");
            Assert.Equal("TESSIM", Encoding.ASCII.GetString(record, 8, 6), "device name");
            var status = new byte[256];
            Assert.True(c("DeviceStatus", Api.DeviceStatus(handle, status, 256)) > 1, "status text");
            Assert.Equal(0, c("CANWriteDigital", Api.CANWriteDigital(handle, 5)), "write digital");
            Assert.Equal(0, c("CANWriteAnalog", Api.CANWriteAnalog(handle, new[] { 1, 2000 }, 2)), "write analog");
            var analog = new int[4];
            ushort count = 4;
            Assert.Equal(0, c("CANReadAnalog", Api.CANReadAnalog(handle, out first, analog, ref count)), "read analog");
            Assert.True(count >= 2 && analog[0] == 1 && analog[1] == 2000, "analog values written");

            Assert.Equal(0, c("CANopenSetCallback", Api.CANopenSetCallback(handle, null, null, null,
                                                                           null, null)), "no CANopen callbacks");
            Assert.Equal(0, c("CANopenSetConfig", Api.CANopenSetConfig(handle, 1)), "CANopen on");
            byte canopen;
            Assert.Equal(0, c("CANopenGetConfig", Api.CANopenGetConfig(handle, out canopen)), "CANopen mode");
            Assert.Equal((byte)1, canopen, "CANopen mode");
            Assert.Equal(0, c("CANopenSendNMT", Api.CANopenSendNMT(handle, Node, 1)), "NMT start");
            Assert.Equal(0, c("CANopenSendSYNC", Api.CANopenSendSYNC(handle)), "SYNC");
            Assert.Equal(0, c("CANopenSendTIME", Api.CANopenSendTIME(handle, 14000, 3600000)), "TIME");
            Assert.Equal(0, c("CANopenSendPDO", Api.CANopenSendPDO(handle, Node, 5, 2, new byte[] { 1, 2 })), "PDO");
            Assert.Equal(0, c("CANopenSetSYNCMode", Api.CANopenSetSYNCMode(handle, 0)), "SYNC mode");
            byte reply;
            int value;
            // 0x1000 device type: 0x191, an expedited 4-byte answer (0x43)
            Assert.Equal(0, c("CANopenSendSDORead", Api.CANopenSendSDORead(handle, Node, 0x1000, 0,
                TimeoutMs(1000), out reply, out value)), "SDO read");
            Assert.Equal("0x43 0x191", string.Format("0x{0:X} 0x{1:X}", reply, value), "SDO read reply");
            Assert.Equal(0, c("CANopenSendSDOWrite", Api.CANopenSendSDOWrite(handle, Node, 0, 0x2000, 0,
                TimeoutMs(1000), 0x1234, out reply, out value)), "SDO write");
            Assert.Equal((byte)0x60, reply, "SDO write reply");
            var block = Enumerable.Range(0, 100).Select(i => (byte)i).ToArray();
            Assert.Equal(0, c("CANopenSendSDOWriteBlock", Api.CANopenSendSDOWriteBlock(handle, Node,
                0x2001, 0, TimeoutMs(1000), block.Length, block, out reply, out value)), "block write");
            Assert.Equal((byte)0xA1, reply, "block write reply");
            var back = new byte[256];
            int blockLength;
            Assert.Equal(0, c("CANopenSendSDOReadBlock", Api.CANopenSendSDOReadBlock(handle, Node,
                0x2001, 0, TimeoutMs(1000), back.Length, out reply, out blockLength, back)), "block read");
            Assert.Equal((byte)0xC1, reply, "block read reply");
            Assert.Bytes(block, back.Take(blockLength).ToArray(), "block read data");

            // nothing queued on this handle's CANopen queues: every poll says -1
            byte b0, b1, b2;
            ushort code;
            var buffer = new byte[64];
            Assert.Equal(0, c("CANopenGetPDO", Api.CANopenGetPDO(handle, out available, out b0, out b1,
                                                                 out b2, buffer)), "PDO queue");
            Assert.Equal(-1, available, "PDO queue empty");
            Assert.Equal(0, c("CANopenGetSYNC", Api.CANopenGetSYNC(handle, out available, out b0)), "SYNC queue");
            Assert.Equal(0, c("CANopenGetEMCY", Api.CANopenGetEMCY(handle, out available, out b0,
                                                                   out code, out b1, buffer)), "EMCY queue");
            Assert.Equal(0, c("CANopenGetGUARD", Api.CANopenGetGUARD(handle, out available, out b0,
                                                                     out b1)), "GUARD queue");
            Assert.Equal(0, c("CANopenGetUndefined", Api.CANopenGetUndefined(handle, out available,
                out identifier, out b0, out b1, out b2, buffer, out seconds, out micro)), "undefined queue");
            Assert.Equal(-1, available, "undefined queue empty");

            Assert.Equal(0, c("CANCloseDevice", Api.CANCloseDevice(other)), "close");
            // the restart request closes every connection of the gateway
            Assert.Equal(0, c("CANRestart", Api.CANRestart(sim.Address, TimeoutMs(2000))), "restart");
            Api.CANCloseDevice(handle);
        }
        var missing = Exports().Keys.Where(n => !called.Contains(n)).ToArray();
        Assert.Equal("", string.Join(" ", missing), "functions not called");
    }

    // ---- the idiomatic layer

    static void FramesBothWaysThroughEvents()
    {
        using (var sim = Sim())
        using (var a = new TessaraDevice(sim.Address, 0, TimeoutMs(2000)))
        using (var b = new TessaraDevice(sim.Address, 0, TimeoutMs(2000))) {
            var atA = new Inbox<FrameEventArgs>();
            var atB = new Inbox<FrameEventArgs>();
            a.FrameReceived += (s, f) => atA.Put(f);
            EventHandler<FrameEventArgs> atBHandler = (s, f) => atB.Put(f);
            b.FrameReceived += atBHandler;
            a.Write(0x123, new byte[] { 0x11, 0x22 });
            var frame = atB.Take("a frame at b");
            Assert.Equal(0x123u, frame.Identifier, "identifier");
            Assert.Bytes(new byte[] { 0x11, 0x22 }, frame.Data, "data");
            Assert.True(!frame.IsExtended && !frame.IsRemote, "a standard data frame");
            var payload = Enumerable.Range(0, 8).Select(i => (byte)(0xF0 + i)).ToArray();
            b.Write(0x18FEF100, payload, FrameFlags.Extended);
            frame = atA.Take("a frame at a");
            Assert.Equal(0x18FEF100u, frame.Identifier, "extended identifier");
            Assert.True(frame.IsExtended, "extended flag");
            Assert.Bytes(payload, frame.Data, "extended data");
            b.Write(0x7FF, null, FrameFlags.Remote);
            Assert.True(atA.Take("a remote frame").IsRemote, "remote flag");

            // without a handler the frames go to the queue again
            b.FrameReceived -= atBHandler;
            b.SetQueueSize(4);
            a.Write(0x42, new byte[] { 1 });
            a.ReadDigital();
            b.ReadDigital();  // b's confirmation follows the frame on its stream
            FrameEventArgs queued;
            Assert.True(b.TryGetMessage(out queued) && queued.Identifier == 0x42, "the frame queued");
        }
    }

    static void ErrorsCarryCodeAndLibraryText()
    {
        using (var sim = Sim())
        using (var device = new TessaraDevice(sim.Address, 0, TimeoutMs(2000))) {
            var e = Assert.Throws<TessaraException>(() => device.SetGlobals(123456), "bad bit rate");
            Assert.Equal(0x224, e.Code, "code");
            Assert.Equal("CAN no valid baudrate", e.LibraryMessage, "message");
            Assert.Equal("CANSetGlobals", e.Function, "function");
            Assert.Equal("0x224: CAN no valid baudrate (CANSetGlobals)", e.Message, "text");
            e = Assert.Throws<TessaraException>(() => device.SendSync(), "SYNC without CANopen");
            Assert.Equal(0x2FE, e.Code, "CANopen code");
            Assert.Equal("CANOpen mode not switched on", e.LibraryMessage, "CANopen message");
            Assert.Throws<ArgumentException>(() => device.Write(1, new byte[65]), "65 data bytes");
            e = Assert.Throws<TessaraException>(
                () => new TessaraDevice(sim.Address, 7, TimeoutMs(1000)), "no such CAN port");
            Assert.Equal(ResultCodes.NotConnected, e.Code, "open of a port nobody serves");
            Assert.Equal(ResultCodes.InvalidParameter,
                         Assert.Throws<TessaraException>(() => new TessaraDevice(sim.Address, 100),
                                                         "CAN port 100").Code, "port above 99");
        }
    }

    // Opens a device, subscribes and returns only a weak reference: what keeps
    // the device and its callback alive from here on is the binding alone.
    static WeakReference OpenUnreferenced(string address, int[] counter)
    {
        var device = new TessaraDevice(address, 0, TimeoutMs(2000));
        device.FrameReceived += (s, f) => Interlocked.Increment(ref counter[0]);
        return new WeakReference(device);
    }

    static void CallbacksSurviveCollections()
    {
        using (var sim = Sim("--generate 123:1000")) {
            var counter = new int[1];
            var weak = OpenUnreferenced(sim.Address, counter);
            var deadline = DateTime.UtcNow + Seconds(10);
            int collections = 0, before = 0;
            // each collection must see frames arrive after it
            while (collections < 50 && DateTime.UtcNow < deadline) {
                GC.Collect();
                GC.WaitForPendingFinalizers();
                GC.Collect();
                before = Volatile.Read(ref counter[0]);
                while (Volatile.Read(ref counter[0]) < before + 5 && DateTime.UtcNow < deadline)
                    Thread.Sleep(1);
                ++collections;
            }
            Assert.Equal(50, collections, "collections with frames arriving after each");
            Assert.True(weak.IsAlive, "an open device is kept by the binding");
            ((TessaraDevice)weak.Target).Dispose();
        }
    }

    static void DisposeClosesTheHandle()
    {
        using (var sim = Sim()) {
            int handle;
            var device = new TessaraDevice(sim.Address, 0, TimeoutMs(2000));
            using (device) {
                handle = device.Handle;
                Assert.Equal(ConnectState.Connected, device.State, "state while open");
            }
            Assert.Equal(ResultCodes.InvalidHandle, Api.CANDeviceConnectState(handle),
                         "the library no longer knows the handle");
            Assert.True(device.IsClosed, "IsClosed");
            Assert.Equal(ConnectState.Closed, device.State, "state after Dispose");
            device.Dispose();
            Assert.Throws<ObjectDisposedException>(() => device.Write(1, new byte[0]), "write after Dispose");
            Assert.Throws<ObjectDisposedException>(() => { var h = device.Handle; }, "handle after Dispose");
        }
    }

    static void HandlerFaultsStayInTheBinding()
    {
        using (var sim = Sim())
        using (var sender = new TessaraDevice(sim.Address, 0, TimeoutMs(2000)))
        using (var receiver = new TessaraDevice(sim.Address, 0, TimeoutMs(2000))) {
            var reported = new Inbox<Exception>();
            var frames = new Inbox<uint>();
            receiver.CallbackException += (s, e) => reported.Put(e.Exception);
            receiver.FrameReceived += (s, f) => {
                if (f.Identifier == 1) throw new ApplicationException("handler fault");
                if (f.Identifier == 2) receiver.Dispose();
                frames.Put(f.Identifier);
            };
            sender.Write(1, new byte[0]);
            Assert.Equal("handler fault", reported.Take("the handler's exception").Message, "reported");
            sender.Write(2, new byte[0]);
            Assert.True(reported.Take("the refused Dispose") is InvalidOperationException,
                        "Dispose from the own event is refused");
            sender.Write(3, new byte[0]);
            Assert.Equal(3u, frames.Take("reception after the faults"), "reception goes on");
            Assert.True(!receiver.IsClosed && receiver.State == ConnectState.Connected, "still open");
        }
    }

    static void CanopenIndicationsThroughEvents()
    {
        using (var sim = Sim("--node 5"))
        using (var manager = new TessaraDevice(sim.Address, 0, TimeoutMs(2000)))
        using (var listener = new TessaraDevice(sim.Address, 0, TimeoutMs(2000))) {
            manager.SetCanopenMode(1);
            manager.SendNmt(Node, 1);
            manager.ReadDigital();
            listener.ReadDigital();  // the NMT frame has passed the listener
            var pdos = new Inbox<PdoEventArgs>();
            var syncs = new Inbox<SyncEventArgs>();
            listener.PdoReceived += (s, p) => pdos.Put(p);
            listener.SyncReceived += (s, p) => syncs.Put(p);
            // a receive PDO sets the node's process image, sent back at the next SYNC
            manager.SendPdo(Node, 5, new byte[] { 0x11, 0x22, 0x33, 0x44 });
            var pdo = pdos.Take("the PDO");
            Assert.Equal("5 5", pdo.NodeId + " " + pdo.PdoType, "PDO node and type");
            Assert.Bytes(new byte[] { 0x11, 0x22, 0x33, 0x44 }, pdo.Data, "PDO data");
            manager.SendSync();
            Assert.Equal((byte)0, syncs.Take("the SYNC").Value, "SYNC value");
            pdo = pdos.Take("the node's transmit PDO");
            Assert.Equal("5 1", pdo.NodeId + " " + pdo.PdoType, "transmit PDO 1 of the node");
            Assert.Equal(0x191u, manager.SdoRead(Node, 0x1000, 0).Value, "device type by SDO");
        }
    }

    // ---- the 32-bit export tables

    static int CheckExports(string kind, string objdumpFile)
    {
        var lines = File.ReadAllLines(objdumpFile);
        var table = lines.SkipWhile(l => !l.Contains("[Ordinal/Name Pointer] Table")).Skip(1)
            .TakeWhile(l => l.Trim().Length > 0)
            .Select(l => Regex.Match(l, @"\[\s*\d+\]\s+(\S+)").Groups[1].Value).ToList();
        bool i386 = lines.Any(l => l.Contains("file format pei-i386"));
        var library = kind == "stdcall" ? typeof(StdcallLibrary) : typeof(CdeclLibrary);
        var declared = Entries(library).Select(m => {
            string entry = Import(m).EntryPoint;
            if (kind == "stdcall") {
                // the byte count of a decorated name, from the C# parameter list
                int bytes = DeclaredBytes(m);
                entry = entry.Substring(0, entry.LastIndexOf('@') + 1) + bytes;
            }
            return entry;
        }).OrderBy(n => n, StringComparer.Ordinal).ToList();
        var problems = new List<string>();
        if (!i386) problems.Add("not a 32-bit DLL");
        foreach (var name in declared.Except(table)) problems.Add("declared, not exported: " + name);
        foreach (var name in table.Except(declared)) problems.Add("exported, not declared: " + name);
        if (table.Count != 46) problems.Add(table.Count + " exports");
        var sorted = table.OrderBy(n => n, StringComparer.Ordinal).ToList();
        if (!table.SequenceEqual(sorted)) problems.Add("exports not in alphabetical order");
        foreach (var p in problems) Console.WriteLine("FAIL {0}: {1}", kind, p);
        Console.WriteLine("{0} export table: {1} names, {2}", kind, table.Count,
                          problems.Count == 0 ? "all declared" : problems.Count + " problem(s)");
        Console.WriteLine("{0} passed, {1} failed", problems.Count == 0 ? 1 : 0, problems.Count == 0 ? 0 : 1);
        return problems.Count == 0 ? 0 : 1;
    }

    static int Main(string[] args)
    {
        if (args.Length == 3 && args[0] == "--exports") return CheckExports(args[1], args[2]);
        if (args.Length < 2) {
            Console.Error.WriteLine("usage: TessaraTests.exe BUILD_DIR SOURCE_DIR [TEST...]\n" +
                                    "       TessaraTests.exe --exports cdecl|stdcall OBJDUMP_OUTPUT");
            return 2;
        }
        s_build = args[0];
        s_source = args[1];
        var tests = new Dictionary<string, Action> {
            { "DeclarationsMatchTheExportList", DeclarationsMatchTheExportList },
            { "CallbackTypesMatchTheHeader", CallbackTypesMatchTheHeader },
            { "EveryFunctionIsCalled", EveryFunctionIsCalled },
            { "FramesBothWaysThroughEvents", FramesBothWaysThroughEvents },
            { "ErrorsCarryCodeAndLibraryText", ErrorsCarryCodeAndLibraryText },
            { "CallbacksSurviveCollections", CallbacksSurviveCollections },
            { "DisposeClosesTheHandle", DisposeClosesTheHandle },
            { "HandlerFaultsStayInTheBinding", HandlerFaultsStayInTheBinding },
            { "CanopenIndicationsThroughEvents", CanopenIndicationsThroughEvents },
        };
        var selected = args.Skip(2).ToList();
        int passed = 0, failed = 0;
        foreach (var test in tests) {
            if (selected.Count > 0 && !selected.Contains(test.Key)) continue;
            var watch = Stopwatch.StartNew();
            try {
                test.Value();
                ++passed;
                Console.WriteLine("ok   {0} ({1} ms)", test.Key, watch.ElapsedMilliseconds);
            } catch (Exception e) {
                ++failed;
                Console.WriteLine("FAIL {0}: {1}", test.Key, e);
            }
        }
        Console.WriteLine("{0} passed, {1} failed", passed, failed);
        return failed == 0 && passed > 0 ? 0 : 1;
    }
}
