// One figure of a palaver-server's /metrics, read over plain HTTP on
// loopback: how a benchmark follows a counter of the server it runs.
#ifndef PALAVER_BENCH_METRICS_SCRAPE_H
#define PALAVER_BENCH_METRICS_SCRAPE_H

#include <cstdint>
#include <string>

namespace palaver::bench {

// The value of the unlabelled sample `name` at 127.0.0.1:port/metrics;
// throws when the server does not answer 200 or has no such sample.
double scrape_metric(std::uint16_t port, const std::string& name);

}  // namespace palaver::bench

#endif
