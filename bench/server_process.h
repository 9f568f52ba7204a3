// palaver-server as a child process of a benchmark: started on a free
// loopback port, ended with SIGTERM when the benchmark is done.
#ifndef PALAVER_BENCH_SERVER_PROCESS_H
#define PALAVER_BENCH_SERVER_PROCESS_H

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>

namespace palaver {

// The server under test, as its own process.
class ServerProcess {
  public:
    ServerProcess(const std::string& binary, std::size_t maxClients) {
        int out[2];
        if (::pipe(out) != 0) {
            throw std::runtime_error("pipe");
        }
        std::string clients = std::to_string(maxClients);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::execl(binary.c_str(), "palaver-server", "--listen", "127.0.0.1:0", "--log-level",
                    "warn", "--max-clients", clients.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        FILE* lines = ::fdopen(out[0], "r");
        char line[200] = {};
        if (pid_ < 0 || std::fgets(line, sizeof line, lines) == nullptr) {
            throw std::runtime_error("palaver-server did not start: " + binary);
        }
        std::fclose(lines);
        std::string text(line);
        port_ = static_cast<std::uint16_t>(std::stoi(text.substr(text.rfind(':') + 1)));
    }
    ~ServerProcess() { stop(); }
    // Ends the server now; a benchmark that has to exit early calls it.
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }
    std::uint16_t port() const { return port_; }
    // Resident and peak resident memory in KiB.
    std::pair<long, long> memory() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string key;
        long rss = 0, hwm = 0;
        while (status >> key) {
            if (key == "VmRSS:") {
                status >> rss;
            } else if (key == "VmHWM:") {
                status >> hwm;
            }
        }
        return {rss, hwm};
    }

    // Processor time the server has used so far, user and system, in seconds.
    double cpu_seconds() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string field;
        std::getline(stat, field, ')');  // past the command name, which may hold spaces
        long ticks = 0, value = 0;
        for (int i = 3; i <= 15 && stat >> field; ++i) {
            if (i >= 14) {
                value = std::stol(field);
                ticks += value;
            }
        }
        return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

  private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace palaver

#endif
