// tessara-can: a CAN port link that comes back after it was lost, for the
// long-running subcommands (dump, sniff, busload, play, send --count) and
// servers built on the tool.
//
// Use:
//   tool::Link link(options, [&](int handle) {
//       // everything the run configured, put on each new handle:
//       int rc = tool::ApplyBitRate(handle, bitRate);          // settings
//       if (rc == 0) rc = CANSetCallbackEx(handle, OnFrame);   // callback
//       return rc;                                             // 0: ready
//   }, reconnect);
//   if (int rc = link.Open()) return Fail("open", rc);
//   while (running) {
//       if (!link.Alive() && !link.Recover()) break;  // lost for good
//       ... CANWrite(link.Handle(), ...) ...
//       if (rc != 0 && link.IsLoss(rc) && link.Recover()) continue;
//   }
//
// Loss is what the library says: the handle's connect state is no longer
// 3 (connected), which a closed socket, a failed request or the keep-alive
// watch (CANStartAlive) brings about. Recover() then closes the handle,
// prints one line ("link ... lost"), opens a new handle with back-off (100
// ms, doubling up to 3 s) until it connects and the setup succeeds, prints
// one line with the gap ("link ... back after S s") and returns true. It
// returns false at once without reconnect, and when SIGINT or SIGTERM
// arrive (StopRequested) or the cancel check says so while it waits.
// Handle() changes on every reconnect: code that tells links apart by the
// handle a callback gets learns the new one in the setup, which runs before
// Recover() returns.
// A Link is used from one thread; callbacks run on the library's thread.
// A server with one Link per client gives each a cancel check (the client
// went away, the server stops), so that a gap does not hold its thread.
// Code that keeps a handle of its own (the socketcand server's links) uses
// RetryWithBackOff, the same waits without the Link around them.
#pragma once

#include <chrono>
#include <functional>
#include <utility>

#include "tool.h"

namespace tool {

class Link {
public:
    // Puts the run's configuration on a freshly opened handle; a result
    // code, 0 when the handle is ready.
    using Setup = std::function<int(int handle)>;

    Link(const Options& options, Setup setup, bool reconnect, bool confirmData = false,
         bool monitor = false);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Asked while Recover() waits; true ends the wait (Recover() false).
    void SetCancelCheck(std::function<bool()> cancelled) { oCancelled = std::move(cancelled); }

    // The first open and setup, not retried: a gateway that cannot be
    // reached at the start is a failure the user should see. The result.
    int Open();
    int Handle() const { return nHandle; }
    bool Reconnects() const { return bReconnect; }
    // The library's connect state is "connected".
    bool Alive() const;
    // A result of a call on Handle() that came from a lost link.
    bool IsLoss(int result) const;
    // See above; true when the link is back (or never went away).
    bool Recover();
    // Number of reconnects so far and the length of the last gap.
    int Reconnections() const { return nReconnections; }
    double LastGapSeconds() const { return dLastGap; }

private:
    int OpenOnce();
    void Close();

    Options oOptions;
    Setup oSetup;
    std::function<bool()> oCancelled;
    bool bReconnect;
    bool bConfirmData;
    bool bMonitor;
    int nHandle = -1;
    int nReconnections = 0;
    double dLastGap = 0;
};

// Calls `attempt` after 100 ms, then with the wait doubling up to 3 s,
// until it returns true (true). False when SIGINT or SIGTERM arrive or
// `cancelled` (may be empty) returns true while it waits.
bool RetryWithBackOff(const std::function<bool()>& attempt, const std::function<bool()>& cancelled);

// What a long-running subcommand takes besides its own options:
// --reconnect, and --bitrate N put on the port at every (re)open.
struct LinkOptions {
    bool bReconnect = false;
    int nBitRate = 0;  // 0: the port keeps its bit rate
};
bool TakeLinkOptions(std::vector<std::string>* args, LinkOptions* out, std::string* error);

// Sets the port's bit rate and keeps its other settings (0: leaves the
// port as it is). A result code.
int ApplyBitRate(int handle, int bitRate);

}  // namespace tool
