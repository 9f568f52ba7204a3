// palaver-server as a child process of a benchmark: started on a free
// loopback port, ended with SIGTERM when the benchmark is done.
#ifndef PALAVER_BENCH_SERVER_PROCESS_H
#define PALAVER_BENCH_SERVER_PROCESS_H

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace palaver {

// User and system CPU time a process has used so far.
double cpu_seconds_of(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) {
        fields >> skip;  // state .. cmajflt
    }
    unsigned long long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The server under test, as its own process.
class ServerProcess {
  public:
    ServerProcess(const std::string& binary, std::size_t maxClients,
                  std::vector<std::string> extra = {}) {
        int out[2];
        if (::pipe(out) != 0) {
            throw std::runtime_error("pipe");
        }
        std::string clients = std::to_string(maxClients);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            std::vector<std::string> args{binary, "--listen",      "127.0.0.1:0", "--log-level",
                                          "warn", "--max-clients", clients};
            args.insert(args.end(), extra.begin(), extra.end());
            std::vector<char*> argv;
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(binary.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        FILE* lines = ::fdopen(out[0], "r");
        char line[200] = {};
        if (pid_ < 0 || std::fgets(line, sizeof line, lines) == nullptr) {
            throw std::runtime_error("palaver-server did not start: " + binary);
        }
        port_ = port_of(line);
        // With a TLS listener its port comes on the next line.
        if (std::find(extra.begin(), extra.end(), "--tls-listen") != extra.end()) {
            if (std::fgets(line, sizeof line, lines) == nullptr) {
                throw std::runtime_error("palaver-server did not listen for TLS");
            }
            tlsPort_ = port_of(line);
        }
        std::fclose(lines);
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
    std::uint16_t tls_port() const { return tlsPort_; }
    double cpu_seconds() const { return cpu_seconds_of(pid_); }
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

  private:
    static std::uint16_t port_of(const std::string& line) {
        return static_cast<std::uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
    }

    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::uint16_t tlsPort_ = 0;
};

}  // namespace palaver

#endif
