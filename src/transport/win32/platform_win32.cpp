// Win32 implementation of the transport platform contract (platform.h):
// kernel events, mutexes and threads, the performance counter and the system
// time, the time zone rule, and Winsock 2 sockets driven by select.
#include "transport/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <process.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "transport/win32/win32_time_zone.h"
#include "transport/win32/win32_unload.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace tes::sys {

// ---------------------------------------------------------------- unload mode

namespace win32 {
namespace {
std::atomic<int> gUnloadMode{static_cast<int>(UnloadMode::kNone)};
}  // namespace

void SetUnloadMode(UnloadMode mode) { gUnloadMode.store(static_cast<int>(mode)); }
UnloadMode CurrentUnloadMode() { return static_cast<UnloadMode>(gUnloadMode.load()); }
}  // namespace win32

void PrepareUnload(bool processExit) {
    win32::SetUnloadMode(processExit ? win32::UnloadMode::kProcessExit
                                     : win32::UnloadMode::kFreeLibrary);
}

namespace {
bool ProcessExiting() { return win32::CurrentUnloadMode() == win32::UnloadMode::kProcessExit; }

// WaitForSingleObject for any span: INFINITE (0xFFFFFFFF) is never passed by
// accident, and spans beyond 49 days are waited for in pieces.
bool WaitHandle(HANDLE h, int64_t timeoutMs) {
    if (timeoutMs < 0) return WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0;
    for (;;) {
        const DWORD piece = timeoutMs > 0xFFFFFFFELL ? 0xFFFFFFFEu : static_cast<DWORD>(timeoutMs);
        const DWORD rc = WaitForSingleObject(h, piece);
        if (rc != WAIT_TIMEOUT) return rc == WAIT_OBJECT_0;
        timeoutMs -= piece;
        if (timeoutMs <= 0) return false;
    }
}
}  // namespace

// ---------------------------------------------------------------- clock

int64_t MonotonicUs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);  // fixed at boot, never fails since XP
    QueryPerformanceCounter(&counter);
    const int64_t f = frequency.QuadPart;
    const int64_t c = counter.QuadPart;
    return c / f * 1000000 + c % f * 1000000 / f;
}

int64_t MonotonicMs() { return MonotonicUs() / 1000; }

// The tick count runs on another base than the performance counter, so the
// coarse reading is the fine one.
int64_t CoarseMonotonicMs() { return MonotonicMs(); }

void NowUtc(int64_t* seconds, int32_t* microseconds) {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64_t units = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    // 100-ns units since 1601 to microseconds since 1970.
    const int64_t us = static_cast<int64_t>(units / 10) - 11644473600000000LL;
    *seconds = us / 1000000;
    *microseconds = static_cast<int32_t>(us % 1000000);
}

int CurrentTimeZoneHours() {
    TIME_ZONE_INFORMATION zone;
    if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return 0;
    SYSTEMTIME now;
    GetLocalTime(&now);
    return win32::TimeZoneHours(zone, now);
}

void SleepMs(uint32_t ms) { Sleep(ms == INFINITE ? INFINITE - 1 : ms); }

// ---------------------------------------------------------------- events, mutexes

struct Event::Impl {
    HANDLE hEvent;
};

Event::Event() : pImpl(new Impl{CreateEventA(nullptr, FALSE, FALSE, nullptr)}) {}

Event::~Event() {
    if (pImpl->hEvent != nullptr) CloseHandle(pImpl->hEvent);
    delete pImpl;
}

void Event::Signal() { SetEvent(pImpl->hEvent); }
void Event::Reset() { ResetEvent(pImpl->hEvent); }

bool Event::Wait(int64_t timeoutMs) {
    // At process exit no other thread is left that could signal.
    if (ProcessExiting()) timeoutMs = 0;
    return WaitHandle(pImpl->hEvent, timeoutMs);
}

// Checking a kernel event takes a system call each time, so a spin would
// cost what it is meant to save: this waits at once. A spin asked for and
// not needed at the first look counts as one that ran out, so that callers
// stop asking.
bool Event::SpinThenWait(int32_t spinUs, int64_t timeoutMs, SpinResult* spun) {
    *spun = SpinResult::kAtOnce;
    if (spinUs <= 0 || timeoutMs == 0) return Wait(timeoutMs);
    if (Wait(0)) return true;
    *spun = SpinResult::kRanOut;
    return Wait(timeoutMs);
}

Mutex::Mutex() : hMutex(CreateMutexA(nullptr, FALSE, nullptr)) {}

Mutex::~Mutex() {
    if (hMutex != nullptr) CloseHandle(static_cast<HANDLE>(hMutex));
}

// A mutex left by a thread the system ended (process exit) is acquired as
// abandoned, which is what lets the unload sweep run then.
void Mutex::Lock() { WaitForSingleObject(static_cast<HANDLE>(hMutex), INFINITE); }
void Mutex::Unlock() { ReleaseMutex(static_cast<HANDLE>(hMutex)); }

// ---------------------------------------------------------------- threads
//
// A thread cannot end while another thread holds the loader lock (its exit
// runs the loader's thread-detach step). The unload hook holds that lock, so
// it cannot wait for a thread's end. Each thread therefore signals hLeft as
// the very last thing it does in the library: the signalling call is reached
// by a jump from ThreadStub, not by a call, so SetEvent returns straight into
// the C runtime's thread start code and no instruction of this DLL runs on
// the thread after the event is set. Joining waits for hLeft, and outside the
// unload hook also for the thread's end.

struct ThreadObject {
    HANDLE hThread = nullptr;
    HANDLE hLeft = nullptr;  // manual reset; set once the thread has left the library
    unsigned nThreadId = 0;
    void (*pEntry)(void*) = nullptr;
    void* pArg = nullptr;
    std::atomic<int> nOwners{2};  // the handle holder and the thread itself
};

}  // namespace tes::sys

using LeaveFunction = BOOL(WINAPI*)(HANDLE);

// Runs the thread's entry and says how the thread leaves: with SetEvent on
// hLeft for a joinable thread, with CloseHandle on it for a detached one
// whose holder is gone already (the object is freed here then).
extern "C"
#if defined(__i386__)
    __attribute__((force_align_arg_pointer))
#endif
    LeaveFunction
    TessaraThreadBody(tes::sys::ThreadObject* thread, HANDLE* leaveHandle) {
    try {
        thread->pEntry(thread->pArg);
    } catch (...) {
        // Nothing leaves a thread's entry as an exception.
    }
    const HANDLE left = thread->hLeft;
    *leaveHandle = left;
    if (thread->nOwners.fetch_sub(1) == 1) {
        delete thread;
        return &CloseHandle;
    }
    return &SetEvent;
}

// unsigned __stdcall TessaraThreadStub(void* thread): calls TessaraThreadBody,
// then jumps to the function it returned with the handle as the only
// argument, so that function returns to the stub's caller.
extern "C" unsigned __stdcall TessaraThreadStub(void* thread);

#if defined(__x86_64__)
asm(R"(
    .text
    .p2align 4
    .def TessaraThreadStub; .scl 2; .type 32; .endef
    .seh_proc TessaraThreadStub
TessaraThreadStub:
    subq $56, %rsp
    .seh_stackalloc 56
    .seh_endprologue
    leaq 32(%rsp), %rdx
    call TessaraThreadBody
    movq 32(%rsp), %rcx
    addq $56, %rsp
    jmp *%rax
    .seh_endproc
)");
#elif defined(__i386__)
asm(R"(
    .text
    .p2align 4
    .def _TessaraThreadStub@4; .scl 2; .type 32; .endef
_TessaraThreadStub@4:
    subl $12, %esp
    leal 8(%esp), %eax
    movl %eax, 4(%esp)
    movl 16(%esp), %eax
    movl %eax, (%esp)
    call _TessaraThreadBody
    movl 8(%esp), %ecx
    addl $12, %esp
    movl %ecx, 4(%esp)
    jmp *%eax
)");
#else
extern "C" unsigned __stdcall TessaraThreadStub(void* thread) {
    HANDLE handle = nullptr;
    const LeaveFunction leave = TessaraThreadBody(static_cast<tes::sys::ThreadObject*>(thread), &handle);
    return leave(handle);  // a few instructions of the library still run after this
}
#endif

namespace tes::sys {

ThreadHandle StartThread(void (*entry)(void*), void* arg) {
    auto* t = new (std::nothrow) ThreadObject;
    if (t == nullptr) return nullptr;
    t->pEntry = entry;
    t->pArg = arg;
    t->hLeft = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (t->hLeft != nullptr) {
        // Created suspended so that the object is complete before it runs.
        t->hThread = reinterpret_cast<HANDLE>(
            _beginthreadex(nullptr, 0, &TessaraThreadStub, t, CREATE_SUSPENDED, &t->nThreadId));
    }
    if (t->hThread == nullptr) {
        if (t->hLeft != nullptr) CloseHandle(t->hLeft);
        delete t;
        return nullptr;
    }
    ResumeThread(t->hThread);
    return t;
}

void JoinThread(ThreadHandle thread) {
    if (thread == nullptr) return;
    // The thread's end also counts: at process exit the system has ended it.
    HANDLE waits[2] = {thread->hLeft, thread->hThread};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (win32::CurrentUnloadMode() == win32::UnloadMode::kNone) {
        WaitForSingleObject(thread->hThread, INFINITE);
    }
    CloseHandle(thread->hThread);
    CloseHandle(thread->hLeft);
    delete thread;
}

void DetachThread(ThreadHandle thread) {
    if (thread == nullptr) return;
    CloseHandle(thread->hThread);
    thread->hThread = nullptr;
    if (thread->nOwners.fetch_sub(1) == 1) {
        // The thread is past its entry and about to set hLeft.
        WaitForSingleObject(thread->hLeft, INFINITE);
        CloseHandle(thread->hLeft);
        delete thread;
    }
}

bool IsCurrentThread(ThreadHandle thread) {
    return thread != nullptr && thread->nThreadId == GetCurrentThreadId();
}

// Fiber-local storage, unlike thread-local storage, calls back as each
// thread ends.
namespace {
DWORD gExitSlot = FLS_OUT_OF_INDEXES;
void (*gOnExit)(void*) = nullptr;

VOID WINAPI OnFlsExit(PVOID value) {
    if (value != nullptr && gOnExit != nullptr) gOnExit(value);
}
}  // namespace

bool StartThreadExitNotice(void (*onExit)(void*)) {
    gOnExit = onExit;
    gExitSlot = FlsAlloc(&OnFlsExit);
    return gExitSlot != FLS_OUT_OF_INDEXES;
}

bool SetThreadExitValue(void* value) {
    return gExitSlot != FLS_OUT_OF_INDEXES && FlsSetValue(gExitSlot, value) != FALSE;
}

void StopThreadExitNotice() {
    if (gExitSlot != FLS_OUT_OF_INDEXES) FlsFree(gExitSlot);
    gExitSlot = FLS_OUT_OF_INDEXES;
}

// ---------------------------------------------------------------- barriers

// FlushProcessWriteBuffers would serve, but some Windows layers for other
// systems implement it as a no-op, which would turn a missing barrier into a
// use after free; the full fences cost a few nanoseconds per call.
bool StartHeavyBarrier() {
    return false;
}

void HeavyBarrier() {}

// ---------------------------------------------------------------- sockets

static_assert(sizeof(Socket) >= sizeof(SOCKET), "a Socket holds a SOCKET");
static_assert(static_cast<Socket>(INVALID_SOCKET) == kNoSocket, "INVALID_SOCKET is kNoSocket");

namespace {

SOCKET Native(Socket s) { return static_cast<SOCKET>(s); }

bool SetNonBlocking(SOCKET s, bool on) {
    u_long value = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &value) == 0;
}

// Remaining time to a MonotonicMs deadline as a select time-out.
timeval RemainingTime(int64_t deadlineMs) {
    int64_t left = deadlineMs - MonotonicMs();
    if (left < 0) left = 0;
    if (left > 0x7FFFFFFFLL * 1000) left = 0x7FFFFFFFLL * 1000;
    timeval tv;
    tv.tv_sec = static_cast<long>(left / 1000);
    tv.tv_usec = static_cast<long>(left % 1000) * 1000;
    return tv;
}

// Waits until `s` is writable (or has failed) or the deadline passes:
// 1 ready, 0 time-out, -1 select failed.
int WaitWritable(SOCKET s, int64_t deadlineMs) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv = RemainingTime(deadlineMs);
    const int rc = select(0, nullptr, &writable, &failed, &tv);
    if (rc == SOCKET_ERROR) return -1;
    return rc > 0 ? 1 : 0;
}

void CopyAddress(PeerAddress* to, const sockaddr_storage& from, int length) {
    std::memset(to->oBytes, 0, sizeof to->oBytes);
    const size_t n = length < 0 ? 0 : static_cast<size_t>(length);
    std::memcpy(to->oBytes, &from, n < sizeof to->oBytes ? n : sizeof to->oBytes);
    to->nLength = static_cast<int32_t>(length);
}

}  // namespace

bool StartSocketLibrary() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data) == 0;
}

void StopSocketLibrary() {
    // WSACleanup may unload the socket providers and wait for their threads,
    // which must not happen under the loader lock; at unload the reference
    // stays with the process.
    if (win32::CurrentUnloadMode() != win32::UnloadMode::kNone) return;
    WSACleanup();
}

int ConnectAny(const char* host, uint16_t port, int transport, uint32_t timeoutMs,
               Socket* out, PeerAddress* peer) {
    *out = kNoSocket;
    const int64_t deadline = MonotonicMs() + timeoutMs;
    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = transport == kTransportUdp ? SOCK_DGRAM : SOCK_STREAM;
    addrinfo* list = nullptr;
    if (host == nullptr || getaddrinfo(host, service.c_str(), &hints, &list) != 0) {
        return kTrNotConnected;
    }

    // Every address is tried at once; select takes at most FD_SETSIZE sockets.
    std::vector<SOCKET> pending;
    SOCKET winner = INVALID_SOCKET;
    for (addrinfo* ai = list; ai != nullptr && winner == INVALID_SOCKET && pending.size() < FD_SETSIZE;
         ai = ai->ai_next) {
        const SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        if (!SetNonBlocking(s, true)) {
            closesocket(s);
            continue;
        }
        if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) {
            winner = s;  // completed at once (datagram sockets)
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            pending.push_back(s);
        } else {
            closesocket(s);
        }
    }
    freeaddrinfo(list);

    int result = kTrNotConnected;
    while (winner == INVALID_SOCKET && !pending.empty()) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        for (const SOCKET s : pending) {
            FD_SET(s, &writable);
            FD_SET(s, &failed);
        }
        timeval tv = RemainingTime(deadline);
        const int rc = select(0, nullptr, &writable, &failed, &tv);
        if (rc == SOCKET_ERROR) {
            result = kTrSocketError;
            break;
        }
        if (rc == 0) break;  // time-out: nothing connected
        // Windows reports a refused connect in the except set, not as writable.
        for (size_t i = 0; i < pending.size();) {
            const SOCKET s = pending[i];
            const bool refused = FD_ISSET(s, &failed) != 0;
            if (!refused && FD_ISSET(s, &writable) == 0) {
                ++i;
                continue;
            }
            int soError = 0;
            int len = sizeof soError;
            if (!refused && winner == INVALID_SOCKET &&
                getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) == 0 &&
                soError == 0) {
                winner = s;
            } else {
                closesocket(s);
            }
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    for (const SOCKET s : pending) closesocket(s);
    if (winner == INVALID_SOCKET) return result;

    if (transport != kTransportUdp) {
        const BOOL on = TRUE;
        if (setsockopt(winner, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                       sizeof on) != 0) {
            closesocket(winner);
            return kTrNotConnected;
        }
        setsockopt(winner, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    }
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (getpeername(winner, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
        closesocket(winner);
        peer->nLength = 0;
        return kTrSocketError;
    }
    CopyAddress(peer, ss, len);
    *out = static_cast<Socket>(winner);
    return kTrOk;
}

std::string PeerAddressText(const PeerAddress& address) {
    if (address.nLength <= 0) return std::string();
    sockaddr_storage ss{};
    std::memcpy(&ss, address.oBytes, sizeof address.oBytes < sizeof ss ? sizeof address.oBytes : sizeof ss);
    char text[65] = {};
    int rc = -1;
    if (ss.ss_family == AF_INET) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr = reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr;
        rc = getnameinfo(reinterpret_cast<sockaddr*>(&in), sizeof in, text, sizeof text, nullptr, 0,
                         NI_NUMERICHOST);
    } else if (ss.ss_family == AF_INET6) {
        const auto* src = reinterpret_cast<const sockaddr_in6*>(&ss);
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_flowinfo = src->sin6_flowinfo;
        in6.sin6_addr = src->sin6_addr;
        in6.sin6_scope_id = src->sin6_scope_id;
        rc = getnameinfo(reinterpret_cast<sockaddr*>(&in6), sizeof in6, text, sizeof text, nullptr, 0,
                         NI_NUMERICHOST);
    }
    return rc == 0 ? std::string(text) : std::string();
}

namespace {

// With kDeadlineAtFirstBlock the deadline is fixed `timeoutMs` after the
// socket first would block, so a block that goes out at once reads no clock.
constexpr int64_t kDeadlineAtFirstBlock = INT64_MIN;

IoResult SendLoop(Socket socket, const uint8_t* bytes, size_t length, int64_t deadlineMs,
                  int32_t timeoutMs, bool datagram) {
    const SOCKET s = Native(socket);
    size_t sent = 0;
    while (sent < length || (datagram && sent == 0)) {
        const size_t left = length - sent;
        const int chunk = left > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
        const int n = send(s, reinterpret_cast<const char*>(bytes + sent), chunk, 0);
        if (n != SOCKET_ERROR) {
            if (datagram) return IoResult::kDone;
            sent += static_cast<size_t>(n);
            continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) return IoResult::kSendFailed;
        if (deadlineMs == kDeadlineAtFirstBlock) deadlineMs = MonotonicMs() + timeoutMs;
        if (MonotonicMs() >= deadlineMs) return IoResult::kTimeout;
        const int rc = WaitWritable(s, deadlineMs);
        if (rc < 0) return IoResult::kWaitFailed;
        if (rc == 0) return IoResult::kTimeout;
    }
    return IoResult::kDone;
}

}  // namespace

IoResult SendStream(Socket s, const uint8_t* bytes, size_t length, int64_t deadlineMs) {
    if (length == 0) return IoResult::kDone;
    return SendLoop(s, bytes, length, deadlineMs, 0, false);
}

IoResult SendStreamWithin(Socket s, const uint8_t* bytes, size_t length, int32_t timeoutMs) {
    if (length == 0) return IoResult::kDone;
    return SendLoop(s, bytes, length, kDeadlineAtFirstBlock, timeoutMs, false);
}

IoResult SendDatagram(Socket s, const uint8_t* bytes, size_t length, int64_t deadlineMs) {
    return SendLoop(s, bytes, length, deadlineMs, 0, true);
}

// The waker is a datagram socket on the loopback interface connected to
// itself: a pending datagram makes it readable, so it sits in the same
// select set as the socket being watched. It holds its own Winsock reference.
struct Waker::Impl {
    SOCKET hSocket = INVALID_SOCKET;
    bool bStarted = false;
};

Waker::Waker() : pImpl(new Impl) {
    pImpl->bStarted = StartSocketLibrary();
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof self;
    if (bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&self), &len) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 || !SetNonBlocking(s, true)) {
        closesocket(s);
        return;
    }
    pImpl->hSocket = s;
}

Waker::~Waker() {
    if (pImpl->hSocket != INVALID_SOCKET) closesocket(pImpl->hSocket);
    if (pImpl->bStarted) StopSocketLibrary();
    delete pImpl;
}

void Waker::Signal() {
    if (pImpl->hSocket == INVALID_SOCKET) return;
    const char one = 1;
    send(pImpl->hSocket, &one, 1, 0);  // a full buffer means it is readable already
}

void Waker::Clear() {
    if (pImpl->hSocket == INVALID_SOCKET) return;
    char drain[64];
    while (recv(pImpl->hSocket, drain, sizeof drain, 0) > 0) {
    }
}

WaitResult WaitReadable(Socket socket, Waker& waker, int timeoutMs) {
    const SOCKET s = Native(socket);
    const SOCKET w = waker.pImpl->hSocket;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    if (w != INVALID_SOCKET) FD_SET(w, &readable);
    timeval tv;
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    const int rc = select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &tv);
    if (rc == SOCKET_ERROR) return WaitResult::kFailed;
    if (rc == 0) return WaitResult::kTimeout;
    if (w != INVALID_SOCKET && FD_ISSET(w, &readable)) return WaitResult::kWoken;
    return WaitResult::kReadable;  // data, orderly close or error: Receive tells
}

// select cannot leave one socket of a waiting thread out for a while: the
// watch waits as WaitReadable does and is never paused.
struct ReadWatch::Impl {
    Socket hSocket = kNoSocket;
    Waker* pWaker = nullptr;
};

ReadWatch::ReadWatch() : pImpl(new Impl) {}

ReadWatch::~ReadWatch() {
    delete pImpl;
}

void ReadWatch::Watch(Socket s, Waker& waker) {
    pImpl->hSocket = s;
    pImpl->pWaker = &waker;
}

void ReadWatch::Unwatch() {
    pImpl->hSocket = kNoSocket;
    pImpl->pWaker = nullptr;
}

WaitResult ReadWatch::Wait(int timeoutMs) {
    return WaitReadable(pImpl->hSocket, *pImpl->pWaker, timeoutMs);
}

bool ReadWatch::Pause() {
    return false;
}

void ReadWatch::Resume() {}

long Receive(Socket socket, uint8_t* buffer, size_t capacity) {
    const int size = capacity > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(capacity);
    const int n = recv(Native(socket), reinterpret_cast<char*>(buffer), size, 0);
    if (n != SOCKET_ERROR) return n;
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return -2;
    if (error == WSAEMSGSIZE) return size;  // a datagram cut to the buffer, as on POSIX
    return -1;
}

void ShutdownSocket(Socket s) {
    if (s != kNoSocket) shutdown(Native(s), SD_BOTH);
}

void CloseSocket(Socket s) {
    if (s != kNoSocket) closesocket(Native(s));
}

// ---- server side

Socket Listen(const char* address, uint16_t port, int transport, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = transport == kTransportUdp ? SOCK_DGRAM : SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(address, service.c_str(), &hints, &list) != 0 || list == nullptr) {
        if (error) *error = std::string("cannot parse address ") + (address ? address : "");
        return kNoSocket;
    }
    const SOCKET s = socket(list->ai_family, list->ai_socktype, list->ai_protocol);
    if (s == INVALID_SOCKET) {
        if (error) *error = "socket failed, WSA error " + std::to_string(WSAGetLastError());
        freeaddrinfo(list);
        return kNoSocket;
    }
    const DWORD on = 1;
    if (list->ai_family == AF_INET6) {
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
    }
    if (transport == kTransportUdp) {
        // A datagram to a client that has gone would otherwise make the next
        // receive on this socket fail with WSAECONNRESET.
        BOOL report = FALSE;
        DWORD unused = 0;
        WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &unused, nullptr, nullptr);
    }
    const bool ok = bind(s, list->ai_addr, static_cast<int>(list->ai_addrlen)) == 0 &&
                    (transport == kTransportUdp || listen(s, 64) == 0) && SetNonBlocking(s, true);
    freeaddrinfo(list);
    if (!ok) {
        if (error) *error = "bind or listen failed, WSA error " + std::to_string(WSAGetLastError());
        closesocket(s);
        return kNoSocket;
    }
    return static_cast<Socket>(s);
}

Socket Accept(Socket listener, PeerAddress* peer) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    const SOCKET s = accept(Native(listener), reinterpret_cast<sockaddr*>(&ss), &len);
    if (s == INVALID_SOCKET) return kNoSocket;
    SetNonBlocking(s, true);
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    if (peer != nullptr) CopyAddress(peer, ss, len);
    return static_cast<Socket>(s);
}

long ReceiveFrom(Socket socket, uint8_t* buffer, size_t capacity, PeerAddress* from) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    const int size = capacity > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(capacity);
    const int n = recvfrom(Native(socket), reinterpret_cast<char*>(buffer), size, 0,
                           reinterpret_cast<sockaddr*>(&ss), &len);
    if (n == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK || error == WSAECONNRESET) return -2;
        if (error != WSAEMSGSIZE) return -1;
    }
    if (from != nullptr) CopyAddress(from, ss, len);
    return n == SOCKET_ERROR ? size : n;
}

bool SendTo(Socket s, const uint8_t* bytes, size_t length, const PeerAddress& to) {
    if (length > static_cast<size_t>(INT_MAX)) return false;
    const int n = sendto(Native(s), reinterpret_cast<const char*>(bytes), static_cast<int>(length), 0,
                         reinterpret_cast<const sockaddr*>(to.oBytes), to.nLength);
    return n == static_cast<int>(length);
}

uint16_t LocalPort(Socket s) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (getsockname(Native(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return 0;
}

}  // namespace tes::sys
