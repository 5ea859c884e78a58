// Waiting on the library from the program tests: a deadline loop for state
// that raises no event, and the next frame of a handle's queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "TessaraCan.h"

namespace tes::test {

inline int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// For the library's own state, which raises no event: looks every
// millisecond until the deadline.
template <typename Predicate>
bool WaitUntil(Predicate predicate, int64_t timeoutMs) {
    const int64_t deadline = NowMs() + timeoutMs;
    while (!predicate()) {
        if (NowMs() >= deadline) return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Frame {
    int nId = 0;
    int nFlags = 0;
    std::vector<uint8_t> oData;
};

// The next frame of a handle's queue, waited for.
inline std::optional<Frame> NextFrame(int handle, int64_t timeoutMs) {
    Frame f;
    char data[64];
    unsigned char length = 0;
    int available = -1, seconds = 0, micros = 0;
    const bool got = WaitUntil(
        [&] {
            CANGetMessage(handle, &available, &f.nId, data, &length, &f.nFlags, &seconds, &micros);
            return available >= 0;
        },
        timeoutMs);
    if (!got) return std::nullopt;
    f.oData.assign(data, data + length);
    return f;
}

}  // namespace tes::test
