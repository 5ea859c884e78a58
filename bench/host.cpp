// What the machine's host took from it. Benchmark.
#include "host.h"

#include <fstream>
#include <sstream>

namespace bench {

CpuTimes ParseCpuTimes(const std::string& text) {
    std::istringstream in(text);
    std::string name;
    CpuTimes t;
    if (!(in >> name) || name != "cpu") return t;
    // user nice system idle iowait irq softirq steal [guest guest_nice]: the
    // guest times are already counted in user and nice.
    uint64_t counts[8];
    for (uint64_t& count : counts) {
        if (!(in >> count)) return t;
    }
    for (const uint64_t count : counts) t.nTotal += count;
    t.nSteal = counts[7];
    t.bKnown = true;
    return t;
}

CpuTimes ReadCpuTimes() {
    std::ifstream in("/proc/stat");
    std::string line;
    if (!std::getline(in, line)) return {};
    return ParseCpuTimes(line);
}

double StealShare(const CpuTimes& start, const CpuTimes& end) {
    if (!start.bKnown || !end.bKnown || end.nTotal <= start.nTotal || end.nSteal < start.nSteal)
        return -1;
    return static_cast<double>(end.nSteal - start.nSteal) /
           static_cast<double>(end.nTotal - start.nTotal);
}

}  // namespace bench
