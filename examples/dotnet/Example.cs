// Example.cs: opens CAN port 0 of a gateway, configures it, writes a frame,
// prints the frames received for a few seconds through an event and closes.
//
//   mono Example.exe [HOST] [SECONDS]        (HOST 127.0.0.1, SECONDS 5)
using System;
using System.Threading;
using Tessara.Can;

static class Example
{
    static int Main(string[] args)
    {
        string host = args.Length > 0 ? args[0] : "127.0.0.1";
        int seconds = args.Length > 1 ? int.Parse(args[1]) : 5;
        Console.WriteLine("library: {0}", TessaraLibrary.Version());
        try {
            // CAN port 0: TCP port 5001; 2000 ms for connecting and every request.
            using (var gateway = new TessaraDevice(host, 0, 2000)) {
                gateway.SetGlobals(500000, termination: true, timestamps: true);
                int received = 0;
                // Raised on the connection's receive thread.
                gateway.FrameReceived += (sender, frame) => {
                    Interlocked.Increment(ref received);
                    Console.WriteLine("frame 0x{0:X}{1}: {2}", frame.Identifier,
                                      frame.IsExtended ? " (extended)" : "",
                                      BitConverter.ToString(frame.Data));
                };
                gateway.Write(0x123, new byte[] { 0x11, 0x22 });
                gateway.Write(0x18FEF100, new byte[] { 1, 2, 3, 4, 5, 6, 7, 8 }, FrameFlags.Extended);
                Thread.Sleep(TimeSpan.FromSeconds(seconds));
                Console.WriteLine("{0} frame(s) received", Volatile.Read(ref received));
            }
            return 0;
        } catch (TessaraException e) {
            // e.Code is the library's result code, e.LibraryMessage its text.
            Console.Error.WriteLine("failed: {0}", e.Message);
            return 1;
        }
    }
}
