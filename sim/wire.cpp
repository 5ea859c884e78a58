// The simulator's time base. Simulator layer.
#include "wire.h"

#include <chrono>

namespace tes::sim {

int64_t MonotonicUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace tes::sim
