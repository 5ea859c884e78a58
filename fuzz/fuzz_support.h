// Helpers shared by the fuzz entries: a client that answers its own requests
// instead of sending them, and the chunk sizes an input asks for. Fuzz
// harness.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "incoming/client_can_dll.h"

namespace tes::fuzz {

// The library's client with the network replaced: each request is handed to
// `fAnswer`, which may produce bytes "received" in reply (delivered to
// OnReceive, as the receive thread would, before the request starts to wait)
// and decides the send result. Without `fAnswer` every send succeeds and
// nothing comes back.
class FuzzClientCANDll : public CTessaraClientCANDll {
public:
    using Answer = std::function<int32_t(const CTessaraMsg& request, std::vector<uint8_t>* reply)>;

    FuzzClientCANDll(int32_t timeoutMs, int32_t handle) : CTessaraClientCANDll(timeoutMs, handle) {}

    int32_t SendTelegram(const CTessaraMsg& request) override {
        ++nRequests;
        if (!fAnswer) return kOk;
        std::vector<uint8_t> reply;
        const int32_t result = fAnswer(request, &reply);
        if (!reply.empty()) OnReceive(reply.data(), static_cast<uint32_t>(reply.size()));
        return result;
    }

    Answer fAnswer;
    size_t nRequests = 0;
};

// Chunk sizes from a seed: class 0 gives 1..3 bytes, 1 gives 1..64,
// 2 gives 1..4096, 3 gives everything at once.
class Chunker {
public:
    Chunker(uint8_t seed, int sizeClass)
        : nState(0x9E3779B9u ^ (seed * 0x01000193u)), nClass(sizeClass) {}

    size_t Next() {
        static constexpr size_t kLimit[] = {3, 64, 4096};
        if (nClass >= 3) return std::numeric_limits<size_t>::max();
        nState ^= nState << 13;
        nState ^= nState >> 17;
        nState ^= nState << 5;
        return 1 + nState % kLimit[nClass];
    }

private:
    uint32_t nState;
    int nClass;
};

}  // namespace tes::fuzz
