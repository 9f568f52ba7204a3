#include "nats_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace palaver::test {
namespace {

int loopback_socket(std::uint16_t port, sockaddr_in& a) {
    a = sockaddr_in{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::socket(AF_INET, SOCK_STREAM, 0);
}

std::uint16_t free_port() {
    sockaddr_in a;
    int fd = loopback_socket(0, a);
    socklen_t size = sizeof a;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
        port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
}

bool accepts(std::uint16_t port) {
    sockaddr_in a;
    int fd = loopback_socket(port, a);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

NatsProcess::NatsProcess(const std::string& binary) : binary_(binary) {
    char folder[] = "/tmp/palaver-nats-XXXXXX";
    if (binary_.empty() || ::mkdtemp(folder) == nullptr) {
        return;
    }
    store_ = folder;
    // Another program may take the free port first: try a few.
    for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
        port_ = free_port();
        if (!start()) {
            kill();
        }
    }
}

NatsProcess::~NatsProcess() {
    kill();
    if (!store_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(store_, ignored);
    }
}

std::string NatsProcess::url() const {
    return pid_ > 0 ? "nats://127.0.0.1:" + std::to_string(port_) : std::string();
}

void NatsProcess::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

bool NatsProcess::start() {
    std::string port = std::to_string(port_);
    std::vector<std::string> args{binary_, "-a", "127.0.0.1", "-p", port, "-js", "-sd", store_};
    pid_ = ::fork();
    if (pid_ == 0) {
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDERR_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::execv(binary_.c_str(), argv.data());
        ::_exit(127);
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;  // it ended: the port was taken
            return false;
        }
        if (accepts(port_)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace palaver::test
