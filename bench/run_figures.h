// Summaries the benchmarks print: medians and percentiles of samples, and
// the processor time this process has spent.
#ifndef PALAVER_BENCH_RUN_FIGURES_H
#define PALAVER_BENCH_RUN_FIGURES_H

#include <sys/resource.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace palaver::bench {

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The p-quantile (0 to 1) of samples sorted ascending.
inline double percentile(const std::vector<double>& sorted, double p) {
    auto i = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1));
    return sorted[i];
}

// Processor time of this process so far, all threads, in seconds.
inline double process_cpu_seconds() {
    rusage use{};
    ::getrusage(RUSAGE_SELF, &use);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(use.ru_utime) + seconds(use.ru_stime);
}

}  // namespace palaver::bench

#endif
