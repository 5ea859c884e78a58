// The replaced global allocation functions of the out-of-memory suite. They
// take their memory from malloc, which the sanitizers still watch, so a leak
// after a failed allocation is reported as one. Aligned forms are not
// replaced: the library allocates nothing over-aligned.
#include "alloc_hook.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace tes::oom {
namespace {

std::atomic<bool> gArmed{false};
std::atomic<Scope> gScope{Scope::kCaller};
std::atomic<uint64_t> gCount{0};
std::atomic<uint64_t> gFailAt{0};
std::atomic<bool> gFailAfter{false};
std::atomic<bool> gFailed{false};
thread_local bool tArmingThread = false;
thread_local bool tMarked = false;
std::atomic<std::size_t> gFailSize{0};
std::atomic<int> gSizeFailsLeft{0};
std::atomic<int> gSizeFailures{0};

bool SizeFails(std::size_t size) {
    if (size != gFailSize.load(std::memory_order_relaxed)) return false;
    int left = gSizeFailsLeft.load();
    while (left > 0) {
        if (gSizeFailsLeft.compare_exchange_weak(left, left - 1)) {
            gSizeFailures.fetch_add(1);
            return true;
        }
    }
    return false;
}

// True when this allocation is the one to fail.
bool CountAndDecide(std::size_t size) {
    if (SizeFails(size)) return true;
    if (!gArmed.load(std::memory_order_acquire)) return false;
    bool counted = false;
    switch (gScope.load(std::memory_order_relaxed)) {
        case Scope::kCaller:
            counted = tArmingThread;
            break;
        case Scope::kOtherThreads:
            counted = !tArmingThread;
            break;
        case Scope::kCallerAndMarked:
            counted = tArmingThread || tMarked;
            break;
    }
    if (!counted) return false;
    const uint64_t n = gCount.fetch_add(1, std::memory_order_acq_rel) + 1;
    const uint64_t failAt = gFailAt.load(std::memory_order_relaxed);
    if (failAt == 0 || n < failAt) return false;
    if (n > failAt && !gFailAfter.load(std::memory_order_relaxed)) return false;
    gFailed.store(true, std::memory_order_release);
    return true;
}

void* Allocate(std::size_t size) {
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void Arm(Scope scope, uint64_t failAt, bool andAfter) {
    tArmingThread = true;
    gFailAfter.store(andAfter, std::memory_order_relaxed);
    gScope.store(scope, std::memory_order_relaxed);
    gCount.store(0, std::memory_order_relaxed);
    gFailAt.store(failAt, std::memory_order_relaxed);
    gFailed.store(false, std::memory_order_relaxed);
    gArmed.store(true, std::memory_order_release);
}

void MarkThisThread(bool marked) {
    tMarked = marked;
}

uint64_t Disarm() {
    gArmed.store(false, std::memory_order_release);
    tArmingThread = false;
    return gCount.load(std::memory_order_acquire);
}

bool Failed() {
    return gFailed.load(std::memory_order_acquire);
}

void FailSize(std::size_t size, int count) {
    gSizeFailures.store(0);
    gSizeFailsLeft.store(size == 0 ? 0 : count);
    gFailSize.store(size);
}

int SizeFailures() {
    return gSizeFailures.load();
}

}  // namespace tes::oom

void* operator new(std::size_t size) {
    void* p = tes::oom::CountAndDecide(size) ? nullptr : tes::oom::Allocate(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return tes::oom::CountAndDecide(size) ? nullptr : tes::oom::Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return operator new(size, std::nothrow);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
