#include "tests/faults/server_process.h"

#include "tests/faults/fake_server.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace palaver::faults {
ServerProcess::ServerProcess(const std::string& binary, const std::vector<std::string>& extra,
                             const std::string& listen) {
    int out[2];
    if (::pipe(out) != 0) {
        return;
    }
    std::vector<std::string> args{binary, "--listen", listen};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(binary.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    // "palaver-server listening on 127.0.0.1:PORT"
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    char c;
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0 &&
           ::read(out[0], &c, 1) == 1) {
        line += c;
    }
    ::close(out[0]);
    auto colon = line.rfind(':');
    if (line.rfind("palaver-server listening on ", 0) == 0 && colon != std::string::npos) {
        port_ = static_cast<std::uint16_t>(std::atoi(line.c_str() + colon + 1));
    }
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void ServerProcess::signal(int number) {
    if (pid_ > 0) {
        ::kill(pid_, number);
    }
}

std::optional<int> ServerProcess::wait_exit(int ms) {
    if (pid_ <= 0) {
        return std::nullopt;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < until);
    return std::nullopt;
}

std::size_t ServerProcess::open_descriptors() const {
    return directory_entries("/proc/" + std::to_string(pid_) + "/fd");
}

std::size_t ServerProcess::threads() const {
    return directory_entries("/proc/" + std::to_string(pid_) + "/task");
}

}  // namespace palaver::faults
