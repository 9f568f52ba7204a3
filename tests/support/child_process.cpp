#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace palaver::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, Log log) {
    int in[2], out[2];
    if (argv.empty() || ::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make the pipes for a child process");
    }
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // A test that dies without its destructors (a sanitizer's halt) must
        // not leave the child holding ctest's output pipe open.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        if (log == Log::OutputAndErrors) {
            ::dup2(out[1], STDERR_FILENO);
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    if (pid_ < 0) {
        ::close(out[0]);
        close_input();
        throw std::runtime_error("cannot start " + argv[0]);
    }
    ::signal(SIGPIPE, SIG_IGN);  // a child that died must fail the test, not end it
    reader_ = std::thread([this, fd = out[0]] { read_output(fd); });
}

ChildProcess::~ChildProcess() {
    close_input();
    if (pid_ > 0) {
        signal(SIGTERM);
        if (!wait_status(10s)) {
            signal(SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // The output ends with the process (and any child it left holds it
    // only until the kernel has killed that with its parent).
    reader_.join();
}

void ChildProcess::read_output(int fd) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (n <= 0) {
            ended_ = true;
            changed_.notify_all();
            break;
        }
        partial_.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
            lines_.push_back(partial_.substr(0, nl));
            partial_.erase(0, nl + 1);
        }
        changed_.notify_all();
    }
    ::close(fd);
}

void ChildProcess::write_line(const std::string& line) {
    const std::string data = line + "\n";
    std::size_t done = 0;
    while (in_ >= 0 && done < data.size()) {
        const ssize_t n = ::write(in_, data.data() + done, data.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void ChildProcess::close_input() {
    if (in_ >= 0) {
        ::close(in_);
        in_ = -1;
    }
}

bool ChildProcess::wait_for(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t checked = 0;
    return changed_.wait_for(lock, timeout, [&] {
        for (; checked < lines_.size(); ++checked) {
            if (lines_[checked].find(text) != std::string::npos) {
                return true;
            }
        }
        return ended_;
    }) && checked < lines_.size();
}

std::string ChildProcess::line_with(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& line : lines_) {
        if (line.find(text) != std::string::npos) {
            return line;
        }
    }
    return {};
}

std::uint16_t ChildProcess::port_after(const std::string& text, std::chrono::milliseconds timeout) {
    if (!wait_for(text, timeout)) {
        return 0;
    }
    const std::string line = line_with(text);
    return static_cast<std::uint16_t>(std::atoi(line.c_str() + line.rfind(':') + 1));
}

void ChildProcess::signal(int number) {
    if (pid_ > 0) {
        ::kill(pid_, number);
    }
}

std::optional<int> ChildProcess::wait_status(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) {
        return std::nullopt;
    }
    // The end of its output comes with its end: wait on that, then reap it.
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return ended_; });
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return status;
        }
        std::this_thread::sleep_for(5ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

int ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
    const auto status = wait_status(timeout);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

std::string ChildProcess::transcript() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const std::string& line : lines_) {
        all += line + "\n";
    }
    return all + partial_;
}

}  // namespace palaver::test
