// The frame payloads of the benchmark. Benchmark.
#include "wire.h"

namespace bench {

void PutFramePayload(uint8_t* payload, uint32_t seq) {
    PutU32(payload, seq);
    payload[4] = 0;
    for (uint32_t i = 0; i < 8; ++i) payload[5 + i] = static_cast<uint8_t>(seq + i);
}

bool IsFrame(uint32_t identifier, const uint8_t* data, size_t length, int flags, uint32_t seq) {
    if (identifier != seq || length != 8 || flags != 0) return false;
    for (uint32_t i = 0; i < 8; ++i) {
        if (data[i] != static_cast<uint8_t>(seq + i)) return false;
    }
    return true;
}

}  // namespace bench
