// Platform contract of the transport layer: clock, time zone, events, mutexes,
// threads and sockets. One implementation per platform (posix/, win32/) is
// chosen by the build; nothing above transport/ and time/ sees platform types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform_mutex.h"

namespace tes::sys {

// ---------------------------------------------------------------- clock

// Milliseconds of a clock that never jumps (not the wall clock). All waits
// and deadlines of the library are measured on it.
int64_t MonotonicMs();
// The same clock in microseconds.
int64_t MonotonicUs();
// The same clock in milliseconds, read without a system call and possibly a
// few milliseconds behind MonotonicMs (never ahead): for stamps taken on
// every frame.
int64_t CoarseMonotonicMs();

// Current wall-clock time in UTC: seconds and microseconds since
// 1970-01-01 00:00:00 (microseconds in 0 .. 999999).
void NowUtc(int64_t* seconds, int32_t* microseconds);

// Offset of the computer's local time from UTC at this moment, daylight
// saving included, in whole hours truncated toward zero (UTC+5:30 gives 5).
int CurrentTimeZoneHours();

// Sleeps at least `ms` milliseconds.
void SleepMs(uint32_t ms);

// ---------------------------------------------------------------- events, mutexes

// What a spin before a wait came to: what it waited for was there at the
// first look (or no spin was asked for), came during the spin, or did not
// come within it.
enum class SpinResult { kAtOnce, kCaught, kRanOut };

// Auto-reset event: Signal wakes at most one waiter; a signal with no waiter
// stays set until one wait consumes it or Reset clears it.
class Event {
public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Signal();
    void Reset();
    // Waits up to `timeoutMs` (negative: without limit). True when the event
    // was signalled (and is now reset), false on time-out.
    bool Wait(int64_t timeoutMs);
    // As Wait, but first checks the event for up to `spinUs` microseconds
    // without sleeping: for a signal expected within a few tens of
    // microseconds, a sleeping waiter's wake-up would cost more than that.
    // *spun tells what the spin came to.
    bool SpinThenWait(int32_t spinUs, int64_t timeoutMs, SpinResult* spun);

private:
    struct Impl;
    Impl* pImpl;
};

// Mutex: Lock and Unlock, not recursive. Each platform declares it in its
// own platform_mutex.h (the one on the include path of the build), so that
// a platform whose lock is a word in memory can take it inline.

class MutexLock {
public:
    explicit MutexLock(Mutex& m) : oMutex(m) { oMutex.Lock(); }
    ~MutexLock() { oMutex.Unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& oMutex;
};

// ---------------------------------------------------------------- threads

struct ThreadObject;
using ThreadHandle = ThreadObject*;

// Starts `entry(arg)` on a new thread with the default stack size. Null when
// the system could not create the thread.
ThreadHandle StartThread(void (*entry)(void*), void* arg);
// Waits without limit for the thread to end and releases the handle.
void JoinThread(ThreadHandle thread);
// Lets the thread run to its end on its own and releases the handle.
void DetachThread(ThreadHandle thread);
// True when called on the thread the handle stands for.
bool IsCurrentThread(ThreadHandle thread);

// End-of-thread notice: once StartThreadExitNotice(onExit) has returned
// true, a thread that called SetThreadExitValue with a value other than null
// runs onExit(value) as it ends. One notice per process at a time.
// StopThreadExitNotice ends it: no onExit begins afterwards, since onExit is
// the library's code and the library may be going.
bool StartThreadExitNotice(void (*onExit)(void*));
bool SetThreadExitValue(void* value);
void StopThreadExitNotice();

// ---------------------------------------------------------------- barriers

// The heavy half of an asymmetric barrier pair: when HeavyBarrier returns,
// every other thread of the process has passed a full memory barrier. A
// thread that stores and then loads then needs only to keep the compiler from
// reordering the two (a signal fence): either its load sees what the caller
// of HeavyBarrier stored before the call, or that caller sees its store after
// the call. Costs microseconds; for rare paths such as closing a handle.
//
// StartHeavyBarrier prepares it once and tells whether the system offers it;
// when it does not, both sides need full fences, and HeavyBarrier must not be
// called.
bool StartHeavyBarrier();
void HeavyBarrier();

// ---------------------------------------------------------------- library unload

// Called by the library's unload hook before it releases the handles, to
// set how joins and waits behave while the library goes: `processExit` when
// the process is ending (every other thread is gone already), else the
// library alone is being unloaded (on Windows with the loader lock held).
// Nothing to do where unloading needs no care.
void PrepareUnload(bool processExit);

// ---------------------------------------------------------------- sockets

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

constexpr int kTransportTcp = 1;
constexpr int kTransportUdp = 2;

// Socket address of a partner, large enough for IPv4 and IPv6.
struct PeerAddress {
    uint8_t oBytes[128] = {};
    int32_t nLength = 0;
};

// Takes one reference on the system's socket library (a no-op on POSIX).
// False when the library could not be started; StopSocketLibrary must be
// called once for every StartSocketLibrary, whatever it returned.
bool StartSocketLibrary();
void StopSocketLibrary();

// Transport results, shared by every socket operation of the library.
enum TransportResult : int {
    kTrOk = 1,
    kTrSocketError = 2,
    kTrNotConnected = 3,
    kTrTimeout = 4,
    kTrNotAllowed = 5,
    kTrNoStack = 6,
    kTrRefused = 7,
};

// Resolves `host` (any family) and connects to every resolved address at once
// with non-blocking connects; the first address that completes wins and every
// other socket is closed. TCP sockets get SO_KEEPALIVE and TCP_NODELAY. The
// socket is left in non-blocking mode. Returns kTrOk with *out and *peer
// filled, kTrNotConnected when the name does not resolve or no address
// connects within `timeoutMs` (a refused address is not waited for), or
// kTrSocketError when waiting itself failed. Leaves no socket behind on
// failure.
int ConnectAny(const char* host, uint16_t port, int transport, uint32_t timeoutMs, Socket* out,
               PeerAddress* peer);

// Numeric text of an address (port left out); empty for an unknown family
// or when formatting fails.
std::string PeerAddressText(const PeerAddress& address);

enum class IoResult {
    kDone,        // the whole block went out
    kTimeout,     // the deadline passed before the block went out
    kWaitFailed,  // waiting for writability failed
    kSendFailed,  // the send call itself failed
};

// Sends the whole block on a connected stream socket. Tries the send first and
// waits for writability only when the socket would block, until `deadlineMs`
// (MonotonicMs scale). Never raises SIGPIPE.
IoResult SendStream(Socket s, const uint8_t* bytes, size_t length, int64_t deadlineMs);
// As SendStream, with the time limit given as `timeoutMs` counted from the
// moment the socket first would block (negative: no waiting). A block that
// goes out at once costs no clock read: this is the frame-streaming path.
IoResult SendStreamWithin(Socket s, const uint8_t* bytes, size_t length, int32_t timeoutMs);
// Sends one datagram on a connected datagram socket, waiting for writability
// until `deadlineMs` only when the socket would block.
IoResult SendDatagram(Socket s, const uint8_t* bytes, size_t length, int64_t deadlineMs);

// Lets one thread wake another that waits in WaitReadable.
class Waker {
public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    void Signal();  // wakes current and later waits until Clear
    void Clear();
    struct Impl;
    Impl* pImpl;
};

enum class WaitResult { kReadable, kTimeout, kWoken, kFailed };

// Waits until `s` is readable (data, an orderly close or an error), the waker
// is signalled, or `timeoutMs` passes (negative: without limit).
WaitResult WaitReadable(Socket s, Waker& waker, int timeoutMs);

// WaitReadable for a thread that waits on one socket and one waker many
// times (a receive thread). Another thread may pause the watch on the socket
// while it reads the socket itself: data that arrives meanwhile wakes nobody
// waiting here. Resuming wakes a waiting thread when the socket is readable
// by then. Watching, waiting and pausing may run on different threads at
// once; Watch and Unwatch only while nobody waits or pauses.
class ReadWatch {
public:
    ReadWatch();
    ~ReadWatch();
    ReadWatch(const ReadWatch&) = delete;
    ReadWatch& operator=(const ReadWatch&) = delete;

    // Watches `s` and `waker` from now on.
    void Watch(Socket s, Waker& waker);
    void Unwatch();
    // As WaitReadable on the watched socket and waker.
    WaitResult Wait(int timeoutMs);
    // False when the watch cannot be paused here: the caller must then
    // leave the socket to the waiting thread.
    bool Pause();
    void Resume();

    struct Impl;

private:
    Impl* pImpl;
};

// Reads what is there, at most `capacity` bytes. >0 bytes read, 0 orderly
// close, -1 error, -2 nothing there right now (would block).
long Receive(Socket s, uint8_t* buffer, size_t capacity);

// Ends both directions of a socket without releasing it; wakes every thread
// blocked on it.
void ShutdownSocket(Socket s);
void CloseSocket(Socket s);

// ---- server side, used by the gateway simulator

// Opens a non-blocking listening (TCP) or bound (UDP) socket on a numeric
// address. kNoSocket on failure, with the reason in *error.
Socket Listen(const char* address, uint16_t port, int transport, std::string* error);
// Takes one pending connection (non-blocking); kNoSocket when none is there.
Socket Accept(Socket listener, PeerAddress* peer);
// One datagram with its sender; same returns as Receive.
long ReceiveFrom(Socket s, uint8_t* buffer, size_t capacity, PeerAddress* from);
// One datagram to `to`; false on failure.
bool SendTo(Socket s, const uint8_t* bytes, size_t length, const PeerAddress& to);
// Port the socket is bound to locally, 0 if unknown.
uint16_t LocalPort(Socket s);

}  // namespace tes::sys
