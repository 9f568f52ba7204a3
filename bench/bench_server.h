// palaver-server as a benchmark runs it: quiet, with room for the clients
// of the run, and a failure to start ends the benchmark.
#ifndef PALAVER_BENCH_BENCH_SERVER_H
#define PALAVER_BENCH_BENCH_SERVER_H

#include <signal.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/proc_stats.h"
#include "tests/support/server_process.h"

namespace palaver::bench {

class BenchServer : public test::ServerProcess {
  public:
    BenchServer(const std::string& binary, std::size_t maxClients,
                const std::vector<std::string>& extra = {})
        : ServerProcess(binary, arguments(maxClients, extra)) {
        if (port() == 0) {
            throw std::runtime_error("palaver-server did not start: " + binary);
        }
    }
    // Ends the server now; a benchmark that has to exit early calls it.
    void stop() {
        signal(SIGTERM);
        wait_status(std::chrono::seconds(10));
    }
    double cpu_seconds() const { return test::cpu_seconds_of(pid()); }
    // Resident and peak resident memory in KiB.
    std::pair<long, long> memory() const {
        test::Memory m = test::memory_of(pid());
        return {m.residentKib, m.peakResidentKib};
    }

  private:
    static std::vector<std::string> arguments(std::size_t maxClients,
                                              const std::vector<std::string>& extra) {
        // The clients of a benchmark send as fast as the server takes it:
        // no request rate.
        std::vector<std::string> args{"--log-level",    "warn",
                                      "--max-clients",  std::to_string(maxClients),
                                      "--request-rate", "0"};
        // Every client of a run connects from loopback, at once.
        args.insert(args.end(), {"--max-per-address", "0", "--connect-rate", "0"});
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
};

}  // namespace palaver::bench

#endif
