#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

namespace palaver::testing {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // A test that dies without its destructors (a sanitizer's halt) must
        // not leave the child holding ctest's output pipe open.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
    if (pid_ < 0) {
        throw std::runtime_error("cannot start " + argv[0]);
    }
    signal(SIGPIPE, SIG_IGN);  // a child that died must fail the test, not end it
}

ChildProcess::~ChildProcess() {
    close_input();
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) {
        close(out_);
    }
}

void ChildProcess::write_line(const std::string& line) {
    const std::string data = line + "\n";
    std::size_t done = 0;
    while (in_ >= 0 && done < data.size()) {
        const ssize_t n = write(in_, data.data() + done, data.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void ChildProcess::close_input() {
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
}

bool ChildProcess::read_some(std::chrono::milliseconds timeout) {
    pollfd pfd{out_, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) {
        return true;
    }
    char buf[4096];
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) {
        return n < 0 && errno == EINTR;
    }
    partial_.append(buf, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = partial_.find('\n')) != std::string::npos) {
        lines_.push_back(partial_.substr(0, nl));
        partial_.erase(0, nl + 1);
    }
    return true;
}

bool ChildProcess::wait_for(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::size_t checked = 0;
    for (;;) {
        for (; checked < lines_.size(); ++checked) {
            if (lines_[checked].find(text) != std::string::npos) {
                return true;
            }
        }
        const int left = remaining_ms(deadline);
        if (left == 0 || !read_some(std::chrono::milliseconds(left))) {
            return false;
        }
    }
}

std::string ChildProcess::line_with(const std::string& text) const {
    for (const std::string& line : lines_) {
        if (line.find(text) != std::string::npos) {
            return line;
        }
    }
    return {};
}

int ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            // What it wrote before it ended; the pipe reports its end at once.
            for (int i = 0; i < 100 && read_some(std::chrono::milliseconds(10)); ++i) {
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (remaining_ms(deadline) == 0) {
            return -1;
        }
        read_some(std::chrono::milliseconds(20));
    }
}

std::string ChildProcess::transcript() const {
    std::string all;
    for (const std::string& line : lines_) {
        all += line + "\n";
    }
    return all + partial_;
}

}  // namespace palaver::testing
