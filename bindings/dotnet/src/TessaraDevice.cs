// TessaraDevice.cs: one open connection to a CAN port of a gateway, with
// exceptions for result codes and events for received frames and CANopen
// indications; the binding's idiomatic layer over ITessaraApi.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;

namespace Tessara.Can
{
    public enum Transport { Tcp = 1, Udp = 2 }

    public enum ConnectState
    {
        Closed = 1, Connecting = 2, Connected = 3, Disconnecting = 4, NoSocketStack = 6
    }

    [Flags]
    public enum FrameFlags
    {
        None = 0, Extended = 1, Remote = 2, TimeStamped = 4
    }

    /// <summary>A received CAN frame; Seconds and Microseconds are the gateway's
    /// time stamp (0 without one).</summary>
    public sealed class FrameEventArgs : EventArgs
    {
        public FrameEventArgs(uint identifier, byte[] data, FrameFlags flags, uint seconds,
                              uint microseconds)
        {
            Identifier = identifier;
            Data = data;
            Flags = flags;
            Seconds = seconds;
            Microseconds = microseconds;
        }

        public uint Identifier { get; private set; }
        public byte[] Data { get; private set; }
        public FrameFlags Flags { get; private set; }
        public uint Seconds { get; private set; }
        public uint Microseconds { get; private set; }
        public bool IsExtended { get { return (Flags & FrameFlags.Extended) != 0; } }
        public bool IsRemote { get { return (Flags & FrameFlags.Remote) != 0; } }
    }

    public sealed class PdoEventArgs : EventArgs
    {
        public PdoEventArgs(byte nodeId, byte pdoType, byte[] data)
        {
            NodeId = nodeId;
            PdoType = pdoType;
            Data = data;
        }

        public byte NodeId { get; private set; }
        public byte PdoType { get; private set; }
        public byte[] Data { get; private set; }
    }

    public sealed class SyncEventArgs : EventArgs
    {
        public SyncEventArgs(byte value) { Value = value; }
        public byte Value { get; private set; }
    }

    public sealed class EmcyEventArgs : EventArgs
    {
        public EmcyEventArgs(byte nodeId, ushort errorCode, byte errorRegister, byte[] data)
        {
            NodeId = nodeId;
            ErrorCode = errorCode;
            ErrorRegister = errorRegister;
            Data = data;
        }

        public byte NodeId { get; private set; }
        public ushort ErrorCode { get; private set; }
        public byte ErrorRegister { get; private set; }
        public byte[] Data { get; private set; }
    }

    public sealed class GuardEventArgs : EventArgs
    {
        public GuardEventArgs(byte nodeId, byte state)
        {
            NodeId = nodeId;
            State = state;
        }

        public byte NodeId { get; private set; }
        public byte State { get; private set; }
    }

    public sealed class UndefinedEventArgs : EventArgs
    {
        public UndefinedEventArgs(uint identifier, byte idByte0, byte idByte1, byte[] data,
                                  uint seconds, uint microseconds)
        {
            Identifier = identifier;
            IdByte0 = idByte0;
            IdByte1 = idByte1;
            Data = data;
            Seconds = seconds;
            Microseconds = microseconds;
        }

        public uint Identifier { get; private set; }
        public byte IdByte0 { get; private set; }
        public byte IdByte1 { get; private set; }
        public byte[] Data { get; private set; }
        public uint Seconds { get; private set; }
        public uint Microseconds { get; private set; }
    }

    /// <summary>An exception thrown by an event handler; the library's receive
    /// thread never sees it.</summary>
    public sealed class CallbackExceptionEventArgs : EventArgs
    {
        public CallbackExceptionEventArgs(Exception exception) { Exception = exception; }
        public Exception Exception { get; private set; }
    }

    public struct Globals
    {
        public int Bitrate;
        public byte Mode;
        public bool Termination;
        public bool HighSpeed;
        public bool Timestamps;
    }

    public struct SdoReply
    {
        public byte ReplyByte;
        public uint Value;
    }

    /// <summary>An open connection to one CAN port of a gateway.
    ///
    /// Every method calls one library function and throws TessaraException for a
    /// result code other than 0. Requests are serialised per device, as the
    /// library handles one exchange at a time per handle. Events are raised on the
    /// connection's receive thread; a handler should not make requests on its own
    /// device (their answers arrive on the thread the handler occupies) and must
    /// not dispose it.
    ///
    /// The native callbacks behind the events stay referenced from the time they
    /// are handed to the library until the handle is closed, and an open device is
    /// itself referenced from a table of open devices, so neither is collected
    /// while the library may call them, even when the application drops its last
    /// reference without disposing.</summary>
    public sealed class TessaraDevice : IDisposable
    {
        private const int MaxData = 64;
        private const int InfoSize = 20;

        private static readonly Dictionary<int, TessaraDevice> s_open =
            new Dictionary<int, TessaraDevice>();
        [ThreadStatic] private static TessaraDevice t_inCallback;

        private readonly ITessaraApi m_api;
        private readonly object m_lock = new object();
        // Every delegate ever handed to the library for this handle.
        private readonly List<Delegate> m_handedOut = new List<Delegate>();
        private int m_handle;
        private bool m_closed;

        private EventHandler<FrameEventArgs> m_frame;
        private EventHandler<PdoEventArgs> m_pdo;
        private EventHandler<SyncEventArgs> m_sync;
        private EventHandler<EmcyEventArgs> m_emcy;
        private EventHandler<GuardEventArgs> m_guard;
        private EventHandler<UndefinedEventArgs> m_undefined;

        /// <summary>Opens CAN port canPort (0..99) of the gateway at host, waiting
        /// up to timeoutMs for the connection and for every later request.
        /// confirmData: the gateway confirms every frame written; monitor: passed to
        /// the gateway.</summary>
        public TessaraDevice(string host, int canPort = 0, int timeoutMs = 2000,
                             Transport transport = Transport.Tcp, bool confirmData = false,
                             bool monitor = false, ITessaraApi api = null)
        {
            if (host == null) throw new ArgumentNullException("host");
            m_api = api ?? TessaraLibrary.Default;
            Host = host;
            CanPort = canPort;
            int handle;
            int code = m_api.CANOpenDeviceEx(out handle, confirmData ? 1 : 0, monitor ? 1 : 0,
                                             canPort, host, timeoutMs, (int)transport);
            TessaraLibrary.Check(m_api, code, "CANOpenDeviceEx");
            m_handle = handle;
            lock (s_open) s_open[handle] = this;
        }

        public string Host { get; private set; }
        public int CanPort { get; private set; }
        public ITessaraApi Api { get { return m_api; } }

        /// <summary>The library's handle, while open.</summary>
        public int Handle
        {
            get
            {
                lock (m_lock) {
                    ThrowIfClosed();
                    return m_handle;
                }
            }
        }

        public bool IsClosed { get { lock (m_lock) return m_closed; } }

        /// <summary>The last exception an event handler threw.</summary>
        public Exception LastCallbackException { get; private set; }

        /// <summary>Raised (on the receive thread) when an event handler throws.</summary>
        public event EventHandler<CallbackExceptionEventArgs> CallbackException;

        /// <summary>Closes the connection and releases the handle; later calls do
        /// nothing. Must not be called from one of this device's events.</summary>
        public void Dispose()
        {
            if (t_inCallback == this)
                throw new InvalidOperationException("a device cannot be closed from its own event");
            int code;
            lock (m_lock) {
                if (m_closed) return;
                m_closed = true;
                code = m_api.CANCloseDevice(m_handle);
                lock (s_open) s_open.Remove(m_handle);
                // The receive thread has been joined: nothing calls the delegates now.
                m_handedOut.Clear();
            }
            TessaraLibrary.Check(m_api, code, "CANCloseDevice");
        }

        public void Close() { Dispose(); }

        // ---- requests

        private void ThrowIfClosed()
        {
            if (m_closed) throw new ObjectDisposedException("TessaraDevice");
        }

        private delegate int Request(ITessaraApi api, int handle);

        private void Call(string function, Request request)
        {
            int code;
            lock (m_lock) {
                ThrowIfClosed();
                code = request(m_api, m_handle);
            }
            TessaraLibrary.Check(m_api, code, function);
        }

        public ConnectState State
        {
            get
            {
                int state;
                lock (m_lock) {
                    if (m_closed) return ConnectState.Closed;
                    state = m_api.CANDeviceConnectState(m_handle);
                }
                if (state > 0xFF) TessaraLibrary.Check(m_api, state, "CANDeviceConnectState");
                return (ConnectState)state;
            }
        }

        /// <summary>Keep-alive watch with this period in seconds; 0 stops it.</summary>
        public void StartAlive(int seconds)
        {
            Call("CANStartAlive", (a, h) => a.CANStartAlive(h, seconds));
        }

        public void SetGlobals(int bitrate, byte mode = 0, bool termination = false,
                               bool highSpeed = true, bool timestamps = false)
        {
            Call("CANSetGlobals", (a, h) => a.CANSetGlobals(h, bitrate, mode, termination ? 1 : 0,
                                                           highSpeed ? 1 : 0, timestamps ? 1 : 0));
        }

        public Globals GetGlobals()
        {
            int bitrate = 0, termination = 0, highSpeed = 0, timestamps = 0;
            byte mode = 0;
            Call("CANGetGlobals", (a, h) => a.CANGetGlobals(h, out bitrate, out mode,
                                                           out termination, out highSpeed,
                                                           out timestamps));
            return new Globals { Bitrate = bitrate, Mode = mode, Termination = termination != 0,
                                 HighSpeed = highSpeed != 0, Timestamps = timestamps != 0 };
        }

        /// <summary>Writes the 16-word filter table (8 entries of two words).</summary>
        public void SetFilter(int[] table)
        {
            if (table == null || table.Length != 16)
                throw new ArgumentException("a filter table has 16 words", "table");
            Call("CANSetFilter", (a, h) => a.CANSetFilter(h, table));
        }

        public int[] GetFilter()
        {
            var table = new int[16];
            Call("CANGetFilter", (a, h) => a.CANGetFilter(h, table));
            return table;
        }

        /// <summary>Sets the gateway's clock (seconds since 1970).</summary>
        public void SetTime(uint seconds, int microseconds = 0)
        {
            Call("CANSetTime", (a, h) => a.CANSetTime(h, unchecked((int)seconds), microseconds));
        }

        public void SetPowerRelay(bool on)
        {
            Call("CANSetPowerRelais", (a, h) => a.CANSetPowerRelais(h, on ? 1 : 0));
        }

        public void SetActivePowerSupplies(int mask)
        {
            Call("CANSetActivePowerSupplies", (a, h) => a.CANSetActivePowerSupplies(h, mask));
        }

        // ---- frames

        private static int CheckedLength(byte[] data)
        {
            int length = data == null ? 0 : data.Length;
            if (length > MaxData)
                throw new ArgumentException("a frame carries at most 64 data bytes", "data");
            return length;
        }

        public void Write(uint identifier, byte[] data, FrameFlags flags = FrameFlags.None)
        {
            int length = CheckedLength(data);
            byte[] bytes = data ?? new byte[0];
            Call("CANWrite", (a, h) => a.CANWrite(h, unchecked((int)identifier), bytes, length,
                                                 (int)flags));
        }

        /// <summary>Maximum entries of each receive queue; 0 empties them and turns
        /// queueing off.</summary>
        public void SetQueueSize(int entries)
        {
            Call("CANSetMaxSizePerQueue", (a, h) => a.CANSetMaxSizePerQueue(h, entries));
        }

        /// <summary>Takes the oldest queued frame; false when the queue was empty.</summary>
        public bool TryGetMessage(out FrameEventArgs frame)
        {
            int available = -1, identifier = 0, flags = 0, seconds = 0, microseconds = 0;
            byte length = 0;
            var data = new byte[MaxData];
            Call("CANGetMessage", (a, h) => a.CANGetMessage(h, out available, out identifier, data,
                                                           out length, out flags, out seconds,
                                                           out microseconds));
            frame = null;
            if (available < 0) return false;
            frame = new FrameEventArgs(unchecked((uint)identifier), Slice(data, length),
                                       (FrameFlags)(flags & 0xFF), unchecked((uint)seconds),
                                       unchecked((uint)microseconds));
            return true;
        }

        // ---- device I/O

        /// <summary>The gateway's 20-byte identification record.</summary>
        public byte[] Info()
        {
            var record = new byte[InfoSize];
            Call("DeviceInfo", (a, h) => a.DeviceInfo(h, record));
            return record;
        }

        /// <summary>The gateway's status text.</summary>
        public string Status()
        {
            var buffer = new byte[1024];
            int written = 0;
            lock (m_lock) {
                ThrowIfClosed();
                written = m_api.DeviceStatus(m_handle, buffer, (uint)buffer.Length);
            }
            return TessaraLibrary.Text(buffer, written);
        }

        public uint[] ReadDigital()
        {
            int first = 0, second = 0;
            Call("CANReadDigital", (a, h) => a.CANReadDigital(h, out first, out second));
            return new[] { unchecked((uint)first), unchecked((uint)second) };
        }

        public void WriteDigital(int bits)
        {
            Call("CANWriteDigital", (a, h) => a.CANWriteDigital(h, bits));
        }

        public int[] ReadAnalog(int capacity = 16)
        {
            var values = new int[capacity];
            ushort count = (ushort)capacity;
            int first = 0;
            Call("CANReadAnalog", (a, h) => a.CANReadAnalog(h, out first, values, ref count));
            Array.Resize(ref values, Math.Min(count, capacity));
            return values;
        }

        public void WriteAnalog(int[] values)
        {
            Call("CANWriteAnalog", (a, h) => a.CANWriteAnalog(h, values, values.Length));
        }

        // ---- CANopen

        /// <summary>1 switches the port's CANopen manager on, 0 off.</summary>
        public void SetCanopenMode(int mode)
        {
            Call("CANopenSetConfig", (a, h) => a.CANopenSetConfig(h, mode));
        }

        public void SendNmt(int nodeId, int nmtType)
        {
            Call("CANopenSendNMT", (a, h) => a.CANopenSendNMT(h, nodeId, nmtType));
        }

        public void SendSync()
        {
            Call("CANopenSendSYNC", (a, h) => a.CANopenSendSYNC(h));
        }

        public void SendPdo(int nodeId, int pdoType, byte[] data)
        {
            Call("CANopenSendPDO", (a, h) => a.CANopenSendPDO(h, nodeId, pdoType, data.Length, data));
        }

        public SdoReply SdoRead(int nodeId, int index, int subindex, int timeoutMs = 1000)
        {
            byte reply = 0;
            int value = 0;
            Call("CANopenSendSDORead", (a, h) => a.CANopenSendSDORead(h, nodeId, index, subindex,
                                                                     timeoutMs, out reply, out value));
            return new SdoReply { ReplyByte = reply, Value = unchecked((uint)value) };
        }

        /// <summary>Expedited write of the low size bytes of value (0: the entry's
        /// own size).</summary>
        public SdoReply SdoWrite(int nodeId, int index, int subindex, uint value, int size = 0,
                                 int timeoutMs = 1000)
        {
            byte reply = 0;
            int result = 0;
            Call("CANopenSendSDOWrite", (a, h) => a.CANopenSendSDOWrite(
                h, nodeId, size, index, subindex, timeoutMs, unchecked((int)value), out reply,
                out result));
            return new SdoReply { ReplyByte = reply, Value = unchecked((uint)result) };
        }

        // ---- events

        private static byte[] Copy(IntPtr data, int length)
        {
            var bytes = new byte[Math.Max(0, length)];
            if (data != IntPtr.Zero && length > 0) Marshal.Copy(data, bytes, 0, length);
            return bytes;
        }

        private static byte[] Slice(byte[] data, int length)
        {
            var bytes = new byte[Math.Min(length, data.Length)];
            Array.Copy(data, bytes, bytes.Length);
            return bytes;
        }

        // Runs a handler on the receive thread; nothing may escape to the library.
        private void Raise<T>(EventHandler<T> handler, Func<T> make) where T : EventArgs
        {
            if (handler == null) return;
            TessaraDevice outer = t_inCallback;
            t_inCallback = this;
            try {
                handler(this, make());
            } catch (Exception exception) {
                LastCallbackException = exception;
                try {
                    var report = CallbackException;
                    if (report != null) report(this, new CallbackExceptionEventArgs(exception));
                } catch (Exception) {
                }
            } finally {
                t_inCallback = outer;
            }
        }

        private T Keep<T>(T callback) where T : class
        {
            m_handedOut.Add(callback as Delegate);
            return callback;
        }

        // Installs the frame callback when the first handler is added and takes it
        // away with the last one, so that frames go to the queue otherwise.
        private void UpdateFrameCallback()
        {
            CanFrameCallbackEx callback = null;
            if (m_frame != null) {
                callback = Keep<CanFrameCallbackEx>((id, data, length, flags, h, seconds, micro) =>
                    Raise(m_frame, () => new FrameEventArgs(
                        unchecked((uint)id), Copy(data, length), (FrameFlags)(flags & 0xFF),
                        unchecked((uint)seconds), unchecked((uint)micro))));
            }
            TessaraLibrary.Check(m_api, m_api.CANSetCallbackEx(m_handle, callback), "CANSetCallbackEx");
        }

        private void UpdateCanopenCallbacks()
        {
            PdoCallback pdo = m_pdo == null ? null : Keep<PdoCallback>(
                (node, type, length, data, h, r1, r2) =>
                    Raise(m_pdo, () => new PdoEventArgs(node, type, Copy(data, length))));
            SyncCallback sync = m_sync == null ? null : Keep<SyncCallback>(
                (value, h, r1, r2) => Raise(m_sync, () => new SyncEventArgs(value)));
            EmcyCallback emcy = m_emcy == null ? null : Keep<EmcyCallback>(
                (node, code, register, data, h, r1, r2) =>
                    Raise(m_emcy, () => new EmcyEventArgs(node, unchecked((ushort)code), register,
                                                          Copy(data, 5))));
            GuardCallback guard = m_guard == null ? null : Keep<GuardCallback>(
                (node, state, h, r1, r2) => Raise(m_guard, () => new GuardEventArgs(node, state)));
            UndefinedCallback undefined = m_undefined == null ? null : Keep<UndefinedCallback>(
                (id, b0, b1, length, data, h, seconds, micro) =>
                    Raise(m_undefined, () => new UndefinedEventArgs(
                        unchecked((uint)id), b0, b1, Copy(data, length), unchecked((uint)seconds),
                        unchecked((uint)micro))));
            TessaraLibrary.Check(m_api, m_api.CANopenSetCallback(m_handle, pdo, sync, emcy, guard,
                                                                 undefined), "CANopenSetCallback");
        }

        private void Subscribe<T>(ref EventHandler<T> field, EventHandler<T> handler, bool add,
                                  Action update) where T : EventArgs
        {
            lock (m_lock) {
                ThrowIfClosed();
                bool before = field != null;
                field = add ? field + handler : field - handler;
                if (before != (field != null)) update();
            }
        }

        /// <summary>Every received frame, with the gateway's time stamp when the
        /// port gives one.</summary>
        public event EventHandler<FrameEventArgs> FrameReceived
        {
            add { Subscribe(ref m_frame, value, true, UpdateFrameCallback); }
            remove { Subscribe(ref m_frame, value, false, UpdateFrameCallback); }
        }

        public event EventHandler<PdoEventArgs> PdoReceived
        {
            add { Subscribe(ref m_pdo, value, true, UpdateCanopenCallbacks); }
            remove { Subscribe(ref m_pdo, value, false, UpdateCanopenCallbacks); }
        }

        public event EventHandler<SyncEventArgs> SyncReceived
        {
            add { Subscribe(ref m_sync, value, true, UpdateCanopenCallbacks); }
            remove { Subscribe(ref m_sync, value, false, UpdateCanopenCallbacks); }
        }

        public event EventHandler<EmcyEventArgs> EmcyReceived
        {
            add { Subscribe(ref m_emcy, value, true, UpdateCanopenCallbacks); }
            remove { Subscribe(ref m_emcy, value, false, UpdateCanopenCallbacks); }
        }

        public event EventHandler<GuardEventArgs> GuardReceived
        {
            add { Subscribe(ref m_guard, value, true, UpdateCanopenCallbacks); }
            remove { Subscribe(ref m_guard, value, false, UpdateCanopenCallbacks); }
        }

        public event EventHandler<UndefinedEventArgs> UndefinedReceived
        {
            add { Subscribe(ref m_undefined, value, true, UpdateCanopenCallbacks); }
            remove { Subscribe(ref m_undefined, value, false, UpdateCanopenCallbacks); }
        }
    }
}
