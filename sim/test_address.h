// Helpers for tests that run as parallel processes: every gateway binds an
// address of its own in 127.0.0.0/8 (all of it is loopback on Linux and
// Windows), so each can keep the real port numbers; and test time-outs that
// a slower run (wine, sanitizers) can scale. Simulator test support.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>

#include "gateway.h"
#include "test_timeout.h"

namespace tes::sim {

// A loopback address outside 127.0.0.0/16 (where resolvers and host names
// live), different for every call in this process and, with high probability,
// from those of other processes: a per-process random start, then a counter.
inline std::string NextLoopbackAddress() {
    static const uint64_t base = [] {
        uint64_t seed = std::random_device{}();
        seed = seed * 0x9E3779B97F4A7C15ull ^
               static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        seed = seed * 0x9E3779B97F4A7C15ull ^
               static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
        int local = 0;  // its address varies between processes where layouts are randomised
        seed = seed * 0x9E3779B97F4A7C15ull ^ reinterpret_cast<uintptr_t>(&local);
        seed ^= seed >> 31;
        return seed;
    }();
    static std::atomic<uint64_t> counter{0};
    // 254 x 256 x 254 addresses: 127.1-254.0-255.1-254.
    constexpr uint64_t kSpace = 254ull * 256ull * 254ull;
    const uint64_t n = (base + counter.fetch_add(1) * 7919ull) % kSpace;
    const unsigned b = static_cast<unsigned>(n / (256 * 254)) + 1;
    const unsigned c = static_cast<unsigned>(n / 254 % 256);
    const unsigned d = static_cast<unsigned>(n % 254) + 1;
    return "127." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d);
}

// Under wine a UDP socket bound to a loopback address other than 127.0.0.1
// holds the wildcard address: UDP endpoints on fixed ports collide between
// processes, and replies leave from 127.0.0.1, which a client connected to
// the other address drops. UDP tests there serve 127.0.0.1 with nBasePort 0.
//
// Starts the gateway on a fresh loopback address (options.sBindAddress is
// replaced), trying other addresses while binding fails. The address is in
// gateway.BindAddress() afterwards. False with the last reason in *error.
inline bool StartOnFreeLoopback(Gateway& gateway, GatewayOptions options,
                                std::string* error = nullptr, int attempts = 32) {
    std::string reason;
    for (int i = 0; i < attempts; ++i) {
        options.sBindAddress = NextLoopbackAddress();
        if (gateway.Start(options, &reason)) return true;
    }
    if (error != nullptr) *error = reason;
    return false;
}

// `ms` multiplied by TESSARA_TEST_TIMEOUT_SCALE, for every deadline a test
// waits on.
inline int64_t TestTimeoutMs(int64_t ms) {
    return test::ScaledMs(ms);
}

}  // namespace tes::sim
