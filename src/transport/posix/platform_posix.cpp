// POSIX implementation of the transport platform contract (platform.h):
// pthreads, futex-based events, clock_gettime, poll-based sockets and an
// eventfd waker.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <linux/membarrier.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "transport/platform.h"

namespace tes::sys {

// ---------------------------------------------------------------- clock

int64_t MonotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t MonotonicMs() {
    return MonotonicUs() / 1000;
}

int64_t CoarseMonotonicMs() {
#ifdef CLOCK_MONOTONIC_COARSE
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
#else
    return MonotonicMs();
#endif
}

void NowUtc(int64_t* seconds, int32_t* microseconds) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    *seconds = static_cast<int64_t>(ts.tv_sec);
    *microseconds = static_cast<int32_t>(ts.tv_nsec / 1000);
}

namespace {

// tzset looks at the zone file on every call (a system call each time), far
// too slow for a time stamp per frame. The offset is therefore worked out
// once per second of wall-clock time and TZ value: a changed TZ is seen at
// once, a changed zone file within a second, and a switch to or from
// daylight saving (which falls on a whole second) exactly.
struct ZoneCache {
    std::mutex oMutex;
    int64_t nSecond = INT64_MIN;
    bool bTzSet = false;
    std::string sTz;
    int nHours = 0;
};

ZoneCache& Zone() {
    static ZoneCache* cache = new ZoneCache;  // never destroyed: used until unload
    return *cache;
}

}  // namespace

int CurrentTimeZoneHours() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const char* tz = std::getenv("TZ");
    ZoneCache& cache = Zone();
    std::lock_guard<std::mutex> lock(cache.oMutex);
    if (cache.nSecond == static_cast<int64_t>(ts.tv_sec) && cache.bTzSet == (tz != nullptr) &&
        (tz == nullptr || cache.sTz == tz)) {
        return cache.nHours;
    }
    tzset();
    const time_t now = ts.tv_sec;
    tm local{};
    const int hours = localtime_r(&now, &local) == nullptr
                          ? 0
                          : static_cast<int>(local.tm_gmtoff / 3600);  // truncates toward zero
    cache.nSecond = static_cast<int64_t>(ts.tv_sec);
    cache.bTzSet = tz != nullptr;
    cache.sTz = tz != nullptr ? tz : "";
    cache.nHours = hours;
    return hours;
}

void PrepareUnload(bool processExit) {
    (void)processExit;  // threads end and joins return as usual while a shared object goes
}

void SleepMs(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// ---------------------------------------------------------------- events, mutexes

namespace {

// Absolute CLOCK_MONOTONIC time `ms` from now, for pthread_cond_timedwait.
timespec MonotonicDeadline(int64_t ms) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += static_cast<time_t>(ms / 1000);
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_nsec -= 1000000000L;
        ts.tv_sec += 1;
    }
    return ts;
}

}  // namespace

// The event is one futex word: bit 0 is the signalled state, the bits above
// count the threads inside Wait. A signal wakes a sleeper only when one is
// registered, and a woken waiter takes the state without a mutex, so waking
// costs a single system call and never a second sleep on a lock the
// signalling thread still holds. Signal touches the word only in its one
// atomic operation and the wake call after it, so a waiter may destroy the
// event as soon as its Wait has returned.
struct Event::Impl {
    std::atomic<uint32_t> nWord{0};
};

namespace {

constexpr uint32_t kSignalled = 1;
constexpr uint32_t kOneWaiter = 2;

// Sleeps while *word equals `expected`, until `deadline` (CLOCK_MONOTONIC,
// absolute; null: without limit). False on time-out.
bool FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* deadline) {
    const long rc = syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET_PRIVATE,
                            expected, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
    return !(rc == -1 && errno == ETIMEDOUT);
}

// Tells the processor that this is a busy-wait loop.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void FutexWakeOne(std::atomic<uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr,
            0);
}

// Takes the signalled state if it is set; `leaving` also deregisters a waiter.
bool TakeSignal(std::atomic<uint32_t>& word, bool leaving) {
    uint32_t v = word.load(std::memory_order_relaxed);
    while ((v & kSignalled) != 0) {
        const uint32_t next = (v & ~kSignalled) - (leaving ? kOneWaiter : 0);
        if (word.compare_exchange_weak(v, next, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

}  // namespace

Event::Event() : pImpl(new Impl) {}

Event::~Event() {
    delete pImpl;
}

void Event::Signal() {
    // The word's address is taken first: once the bit is set a waiter may
    // return and destroy the event, so nothing of it is read afterwards.
    std::atomic<uint32_t>* const word = &pImpl->nWord;
    const uint32_t before = word->fetch_or(kSignalled, std::memory_order_release);
    if ((before & kSignalled) == 0 && before >= kOneWaiter) FutexWakeOne(word);
}

void Event::Reset() {
    pImpl->nWord.fetch_and(~kSignalled, std::memory_order_relaxed);
}

bool Event::Wait(int64_t timeoutMs) {
    std::atomic<uint32_t>& word = pImpl->nWord;
    if (TakeSignal(word, false)) return true;
    if (timeoutMs == 0) return false;
    timespec deadline{};
    if (timeoutMs > 0) deadline = MonotonicDeadline(timeoutMs);
    word.fetch_add(kOneWaiter, std::memory_order_relaxed);
    for (;;) {
        if (TakeSignal(word, true)) return true;
        const uint32_t seen = word.load(std::memory_order_relaxed);
        if ((seen & kSignalled) != 0) continue;
        if (!FutexWait(&word, seen, timeoutMs > 0 ? &deadline : nullptr)) {
            // Timed out: leave, unless a signal came in the meantime.
            uint32_t v = word.load(std::memory_order_relaxed);
            for (;;) {
                if ((v & kSignalled) != 0) {
                    if (TakeSignal(word, true)) return true;
                    v = word.load(std::memory_order_relaxed);
                    continue;
                }
                if (word.compare_exchange_weak(v, v - kOneWaiter, std::memory_order_relaxed)) {
                    return false;
                }
            }
        }
    }
}

bool Event::SpinThenWait(int32_t spinUs, int64_t timeoutMs, SpinResult* spun) {
    std::atomic<uint32_t>& word = pImpl->nWord;
    *spun = SpinResult::kAtOnce;
    if (TakeSignal(word, false)) return true;
    if (spinUs <= 0 || timeoutMs == 0) return Wait(timeoutMs);
    // The monotonic clock is read without a system call (vDSO).
    const int64_t until = MonotonicUs() + spinUs;
    do {
        for (int i = 0; i < 64; ++i) {
            if ((word.load(std::memory_order_relaxed) & kSignalled) != 0 &&
                TakeSignal(word, false)) {
                *spun = SpinResult::kCaught;
                return true;
            }
            CpuRelax();
        }
    } while (MonotonicUs() < until);
    *spun = SpinResult::kRanOut;
    return Wait(timeoutMs);  // the spin is within the caller's margin
}

void Mutex::LockContended() {
    // Marks the word "held, with waiters" before every sleep, so the
    // holder's Unlock wakes one; whoever takes it that way keeps the mark,
    // at the cost of one wake call too many when nobody else waits.
    while (nWord.exchange(kHeldWaiters, std::memory_order_acquire) != kFree) {
        FutexWait(&nWord, kHeldWaiters, nullptr);
    }
}

void Mutex::WakeOne() {
    FutexWakeOne(&nWord);
}

// ---------------------------------------------------------------- threads

struct ThreadObject {
    pthread_t hThread;
};

namespace {
// Handed to the new thread, which frees it: the handle object may be gone
// (detached) before the thread first runs.
struct StartBlock {
    void (*pEntry)(void*);
    void* pArg;
};

void* ThreadTrampoline(void* arg) {
    const StartBlock block = *static_cast<StartBlock*>(arg);
    delete static_cast<StartBlock*>(arg);
    try {
        block.pEntry(block.pArg);
    } catch (...) {
        // Nothing leaves a thread's entry as an exception.
    }
    return nullptr;
}
}  // namespace

ThreadHandle StartThread(void (*entry)(void*), void* arg) {
    auto* t = new (std::nothrow) ThreadObject{};
    auto* block = new (std::nothrow) StartBlock{entry, arg};
    if (t == nullptr || block == nullptr ||
        pthread_create(&t->hThread, nullptr, ThreadTrampoline, block) != 0) {
        delete t;
        delete block;
        return nullptr;
    }
    return t;
}

void JoinThread(ThreadHandle thread) {
    if (thread == nullptr) return;
    pthread_join(thread->hThread, nullptr);
    delete thread;
}

void DetachThread(ThreadHandle thread) {
    if (thread == nullptr) return;
    pthread_detach(thread->hThread);
    delete thread;
}

bool IsCurrentThread(ThreadHandle thread) {
    return thread != nullptr && pthread_equal(thread->hThread, pthread_self()) != 0;
}

namespace {
pthread_key_t gExitKey;
}  // namespace

bool StartThreadExitNotice(void (*onExit)(void*)) {
    return pthread_key_create(&gExitKey, onExit) == 0;
}

bool SetThreadExitValue(void* value) {
    return pthread_setspecific(gExitKey, value) == 0;
}

void StopThreadExitNotice() {
    pthread_key_delete(gExitKey);
}

// ---------------------------------------------------------------- barriers

// The kernel interrupts every CPU that runs a thread of this process; a
// sandbox or an old kernel may refuse, and then the light side uses full
// fences.
bool StartHeavyBarrier() {
    return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0) == 0;
}

void HeavyBarrier() {
    syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0);
}

// ---------------------------------------------------------------- sockets

bool StartSocketLibrary() {
    return true;
}
void StopSocketLibrary() {}

namespace {

bool SetNonBlocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0;
}

// Remaining milliseconds to a MonotonicMs deadline, never negative, capped
// to what poll takes.
int RemainingMs(int64_t deadlineMs) {
    const int64_t left = deadlineMs - MonotonicMs();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

int PollRetry(pollfd* fds, nfds_t n, int64_t deadlineMs, bool forever) {
    for (;;) {
        const int rc = poll(fds, n, forever ? -1 : RemainingMs(deadlineMs));
        if (rc >= 0 || errno != EINTR) return rc;
    }
}

}  // namespace

int ConnectAny(const char* host, uint16_t port, int transport, uint32_t timeoutMs, Socket* out,
               PeerAddress* peer) {
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
    // Out of memory nothing may leak: the list is freed on every way out, and
    // the room for the pending sockets is taken before any socket is opened.
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(list, freeaddrinfo);
    size_t candidates = 0;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) ++candidates;
    std::vector<pollfd> pending;
    pending.reserve(candidates);
    int winner = -1;
    for (addrinfo* ai = list; ai != nullptr && winner < 0; ai = ai->ai_next) {
        const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        if (!SetNonBlocking(fd, true)) {
            close(fd);
            continue;
        }
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            winner = fd;  // completed at once (loopback, datagram sockets)
        } else if (errno == EINPROGRESS) {
            pending.push_back(pollfd{fd, POLLOUT, 0});
        } else {
            close(fd);
        }
    }
    owner.reset();

    int result = kTrNotConnected;
    while (winner < 0 && !pending.empty()) {
        const int rc = PollRetry(pending.data(), pending.size(), deadline, false);
        if (rc < 0) {
            result = kTrSocketError;
            break;
        }
        if (rc == 0) break;  // time-out: nothing connected
        for (size_t i = 0; i < pending.size();) {
            if (pending[i].revents == 0) {
                ++i;
                continue;
            }
            int soError = 0;
            socklen_t len = sizeof soError;
            if (winner < 0 &&
                getsockopt(pending[i].fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 &&
                soError == 0) {
                winner = pending[i].fd;
            } else {
                close(pending[i].fd);  // refused or unreachable: not taken
            }
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    for (const pollfd& p : pending) close(p.fd);
    if (winner < 0) return result;

    if (transport != kTransportUdp) {
        const int one = 1;
        if (setsockopt(winner, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0) {
            close(winner);
            return kTrNotConnected;
        }
        setsockopt(winner, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getpeername(winner, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
        close(winner);
        peer->nLength = 0;
        return kTrSocketError;
    }
    std::memset(peer->oBytes, 0, sizeof peer->oBytes);
    std::memcpy(peer->oBytes, &ss, len < sizeof peer->oBytes ? len : sizeof peer->oBytes);
    peer->nLength = static_cast<int32_t>(len);
    *out = winner;
    return kTrOk;
}

std::string PeerAddressText(const PeerAddress& address) {
    if (address.nLength <= 0) return std::string();
    sockaddr_storage ss{};
    std::memcpy(&ss, address.oBytes,
                sizeof address.oBytes < sizeof ss ? sizeof address.oBytes : sizeof ss);
    char text[65] = {};
    if (ss.ss_family == AF_INET) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr = reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr;
        if (getnameinfo(reinterpret_cast<sockaddr*>(&in), sizeof in, text, sizeof text, nullptr, 0,
                        NI_NUMERICHOST) != 0)
            return std::string();
    } else if (ss.ss_family == AF_INET6) {
        const auto* src = reinterpret_cast<const sockaddr_in6*>(&ss);
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_flowinfo = src->sin6_flowinfo;
        in6.sin6_addr = src->sin6_addr;
        in6.sin6_scope_id = src->sin6_scope_id;
        if (getnameinfo(reinterpret_cast<sockaddr*>(&in6), sizeof in6, text, sizeof text, nullptr,
                        0, NI_NUMERICHOST) != 0)
            return std::string();
    } else {
        return std::string();
    }
    return std::string(text);
}

namespace {

// `timeoutMs` is used only when `deadlineMs` is kDeadlineAtFirstBlock: the
// deadline is then fixed when the socket first would block.
constexpr int64_t kDeadlineAtFirstBlock = INT64_MIN;

IoResult SendLoop(Socket s, const uint8_t* bytes, size_t length, int64_t deadlineMs,
                  int32_t timeoutMs, bool datagram) {
    const int fd = static_cast<int>(s);
    size_t sent = 0;
    while (sent < length || (datagram && sent == 0)) {
        const ssize_t n = send(fd, bytes + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            if (datagram) return IoResult::kDone;
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return IoResult::kSendFailed;
        if (deadlineMs == kDeadlineAtFirstBlock) deadlineMs = MonotonicMs() + timeoutMs;
        if (MonotonicMs() >= deadlineMs) return IoResult::kTimeout;
        pollfd p{fd, POLLOUT, 0};
        const int rc = PollRetry(&p, 1, deadlineMs, false);
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

struct Waker::Impl {
    int hEvent = -1;  // eventfd
};

Waker::Waker() : pImpl(new Impl) {
    pImpl->hEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Waker::~Waker() {
    if (pImpl->hEvent >= 0) close(pImpl->hEvent);
    delete pImpl;
}

void Waker::Signal() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t rc = write(pImpl->hEvent, &one, sizeof one);
}

void Waker::Clear() {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t rc = read(pImpl->hEvent, &value, sizeof value);
}

WaitResult WaitReadable(Socket s, Waker& waker, int timeoutMs) {
    pollfd fds[2] = {{static_cast<int>(s), POLLIN, 0}, {waker.pImpl->hEvent, POLLIN, 0}};
    const int64_t deadline = MonotonicMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    const int rc = PollRetry(fds, 2, deadline, timeoutMs < 0);
    if (rc < 0) return WaitResult::kFailed;
    if (rc == 0) return WaitResult::kTimeout;
    if (fds[1].revents != 0) return WaitResult::kWoken;
    if (fds[0].revents & POLLNVAL) return WaitResult::kFailed;
    return WaitResult::kReadable;  // data, orderly close or error: Receive tells
}

// An epoll set of the socket and the waker. A paused socket stays in the
// set with no events asked for, so that data wakes no waiter; Resume asks for
// them again, and epoll then wakes a waiter if data came meanwhile. Without
// a set (the system refused one) the watch waits as WaitReadable does and
// cannot be paused.
struct ReadWatch::Impl {
    int hEpoll = -1;
    Socket hSocket = kNoSocket;
    Waker* pWaker = nullptr;

    bool Modify(uint32_t events) const {
        epoll_event e{};
        e.events = events;
        e.data.fd = static_cast<int>(hSocket);
        return epoll_ctl(hEpoll, EPOLL_CTL_MOD, static_cast<int>(hSocket), &e) == 0;
    }
};

ReadWatch::ReadWatch() : pImpl(new Impl) {}

ReadWatch::~ReadWatch() {
    Unwatch();
    delete pImpl;
}

void ReadWatch::Watch(Socket s, Waker& waker) {
    Unwatch();
    pImpl->hSocket = s;
    pImpl->pWaker = &waker;
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) return;
    epoll_event socketEvent{};
    socketEvent.events = EPOLLIN;
    socketEvent.data.fd = static_cast<int>(s);
    epoll_event wakerEvent{};
    wakerEvent.events = EPOLLIN;
    wakerEvent.data.fd = waker.pImpl->hEvent;
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, static_cast<int>(s), &socketEvent) != 0 ||
        epoll_ctl(epoll, EPOLL_CTL_ADD, waker.pImpl->hEvent, &wakerEvent) != 0) {
        close(epoll);
        return;
    }
    pImpl->hEpoll = epoll;
}

void ReadWatch::Unwatch() {
    if (pImpl->hEpoll >= 0) close(pImpl->hEpoll);
    pImpl->hEpoll = -1;
    pImpl->hSocket = kNoSocket;
    pImpl->pWaker = nullptr;
}

WaitResult ReadWatch::Wait(int timeoutMs) {
    if (pImpl->hEpoll < 0) return WaitReadable(pImpl->hSocket, *pImpl->pWaker, timeoutMs);
    epoll_event events[2];
    const int64_t deadline = MonotonicMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    int rc;
    for (;;) {
        rc = epoll_wait(pImpl->hEpoll, events, 2, timeoutMs < 0 ? -1 : RemainingMs(deadline));
        if (rc >= 0 || errno != EINTR) break;
    }
    if (rc < 0) return WaitResult::kFailed;
    if (rc == 0) return WaitResult::kTimeout;
    for (int i = 0; i < rc; ++i) {
        if (events[i].data.fd == pImpl->pWaker->pImpl->hEvent) return WaitResult::kWoken;
    }
    return WaitResult::kReadable;  // data, orderly close or error: Receive tells
}

bool ReadWatch::Pause() {
    return pImpl->hEpoll >= 0 && pImpl->Modify(0);
}

void ReadWatch::Resume() {
    if (pImpl->hEpoll >= 0) pImpl->Modify(EPOLLIN);
}

long Receive(Socket s, uint8_t* buffer, size_t capacity) {
    for (;;) {
        const ssize_t n = recv(static_cast<int>(s), buffer, capacity, MSG_DONTWAIT);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
        return -1;
    }
}

void ShutdownSocket(Socket s) {
    if (s != kNoSocket) shutdown(static_cast<int>(s), SHUT_RDWR);
}

void CloseSocket(Socket s) {
    if (s != kNoSocket) close(static_cast<int>(s));
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
    const int fd = socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
    if (fd < 0) {
        if (error) *error = std::strerror(errno);
        freeaddrinfo(list);
        return kNoSocket;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (list->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    const bool ok = bind(fd, list->ai_addr, list->ai_addrlen) == 0 &&
                    (transport == kTransportUdp || listen(fd, 64) == 0) && SetNonBlocking(fd, true);
    freeaddrinfo(list);
    if (!ok) {
        if (error) *error = std::strerror(errno);
        close(fd);
        return kNoSocket;
    }
    return fd;
}

Socket Accept(Socket listener, PeerAddress* peer) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    const int fd = accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&ss), &len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return kNoSocket;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (peer != nullptr) {
        std::memset(peer->oBytes, 0, sizeof peer->oBytes);
        std::memcpy(peer->oBytes, &ss, len < sizeof peer->oBytes ? len : sizeof peer->oBytes);
        peer->nLength = static_cast<int32_t>(len);
    }
    return fd;
}

long ReceiveFrom(Socket s, uint8_t* buffer, size_t capacity, PeerAddress* from) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    for (;;) {
        const ssize_t n = recvfrom(static_cast<int>(s), buffer, capacity, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&ss), &len);
        if (n >= 0) {
            if (from != nullptr) {
                std::memset(from->oBytes, 0, sizeof from->oBytes);
                std::memcpy(from->oBytes, &ss,
                            len < sizeof from->oBytes ? len : sizeof from->oBytes);
                from->nLength = static_cast<int32_t>(len);
            }
            return static_cast<long>(n);
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
        return -1;
    }
}

bool SendTo(Socket s, const uint8_t* bytes, size_t length, const PeerAddress& to) {
    const ssize_t n =
        sendto(static_cast<int>(s), bytes, length, MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(to.oBytes), static_cast<socklen_t>(to.nLength));
    return n == static_cast<ssize_t>(length);
}

uint16_t LocalPort(Socket s) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return 0;
}

}  // namespace tes::sys
