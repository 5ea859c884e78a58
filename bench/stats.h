// Order statistics of the benchmark's rounds and samples. Benchmark.
#pragma once

#include <vector>

namespace bench {

// Middle value (mean of the two middle values for an even count); 0 when empty.
double Median(std::vector<double> values);
// Nearest-rank percentile, `p` in (0, 100]: the smallest value with at least
// p percent of the values at or below it; 0 when empty.
double Percentile(std::vector<double> values, double p);
double Min(const std::vector<double>& values);
double Max(const std::vector<double>& values);

}  // namespace bench
