// The allocation-failure run of one operation, shared by the programs of the
// out-of-memory suite: count its allocations, then fail each one in turn.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "TessaraCan.h"
#include "alloc_hook.h"
#include "test_support.h"

namespace tes::oom {

constexpr int kFailed = 0xFF;
// Guards the loops against an operation that allocates without end.
constexpr uint64_t kMostAllocations = 2000;

// Runs `op` counting the allocations of `scope` (the calling thread's by
// default), then once for each
// of them with that allocation failing. `prepare` runs before each run,
// unarmed; `op` returns the call's result, 0xFF when an allocation failed
// (or one of `alsoFailed`); `after(k)` checks the state after the run that
// failed allocation k (0: a run without a failure).
inline void EveryAllocation(const char* what, int okResult, const std::function<void()>& prepare,
                            const std::function<int()>& op,
                            const std::function<void(uint64_t)>& after,
                            std::vector<int> alsoFailed = {}, Scope scope = Scope::kCaller) {
    alsoFailed.push_back(kFailed);
    prepare();
    Arm(scope, 0);
    const int counted = op();
    const uint64_t n = Disarm();
    EXPECT_EQ(counted, okResult) << what << " without a failure";
    EXPECT_GT(n, 0u) << what << " allocates nothing: the test proves nothing";
    EXPECT_LT(n, kMostAllocations) << what;
    if (::testing::Test::HasFailure()) return;
    after(0);
    for (uint64_t k = 1; k <= n; ++k) {
        prepare();
        Arm(scope, k);
        const int rc = op();
        Disarm();
        // How many allocations a call makes can vary with the timing of the
        // other threads: a run that did not reach allocation k succeeded.
        if (!Failed()) {
            EXPECT_EQ(rc, okResult) << what << ": run " << k << " of " << n;
            after(0);
            continue;
        }
        EXPECT_NE(std::find(alsoFailed.begin(), alsoFailed.end(), rc), alsoFailed.end())
            << what << ": allocation " << k << " of " << n << " gave 0x" << std::hex << rc;
        after(k);
        if (::testing::Test::HasFailure()) return;
    }
}

inline std::atomic<bool> gReceiveThreadMarked{false};

inline void TESSARA_CALLBACK MarkingCallback(int, const char*, int, int, int) {
    MarkThisThread(true);
    gReceiveThreadMarked.store(true);
}

// Marks the receive thread of `handle` for Scope::kCallerAndMarked: the
// frame the gateway sends on its `connection` runs the handle's frame
// callback there. The callback is cleared again.
inline bool MarkReceiveThread(int handle, sim::Gateway& gateway, size_t connection) {
    gReceiveThreadMarked.store(false);
    if (CANSetCallback(handle, MarkingCallback) != 0) return false;
    const bool sent = gateway.SendTelegram(connection, 0x0203, 0, {0x23, 0x01, 0, 0, 0});
    const bool marked =
        sent && test::WaitUntil([] { return gReceiveThreadMarked.load(); }, test::Scaled(3000));
    return CANSetCallback(handle, nullptr) == 0 && marked;
}

}  // namespace tes::oom
