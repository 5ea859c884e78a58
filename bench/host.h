// What the machine's host took from it: on a virtual machine the hypervisor
// runs other guests on the same cores, and the time it takes ("steal") moves
// every figure of a run, the wake-ups of an idle CPU above all. Benchmark.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

// The machine's CPU time so far, summed over its CPUs, in clock ticks.
struct CpuTimes {
    uint64_t nTotal = 0;  // every state, steal included
    uint64_t nSteal = 0;
    bool bKnown = false;
};

// Reads the first ("cpu ") line of /proc/stat's text; unknown when `text`
// does not start with one of at least eight counts (older kernels count no
// steal).
CpuTimes ParseCpuTimes(const std::string& text);
// The machine's times now; unknown where there is no /proc/stat.
CpuTimes ReadCpuTimes();
// The share (0 to 1) of the CPU time from `start` to `end` that the host
// gave to others; negative when either is unknown or no time passed.
double StealShare(const CpuTimes& start, const CpuTimes& end);

}  // namespace bench
