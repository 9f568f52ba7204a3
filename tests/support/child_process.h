// A program the tests, benchmarks or fuzzers start as a child process: its
// standard input is a pipe, its output is read on a thread of its own and
// kept as its log (so a chatty child never blocks on a full pipe), and it is
// ended by its own pid when its owner lets go of it.
#ifndef PALAVER_TESTS_SUPPORT_CHILD_PROCESS_H
#define PALAVER_TESTS_SUPPORT_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace palaver::test {

using namespace std::chrono_literals;

class ChildProcess {
  public:
    // Which of the child's streams go into its log; standard error otherwise
    // stays the caller's, where a test's failure output shows it.
    enum class Log { Output, OutputAndErrors };

    // Starts argv[0] (a path, or a name looked up on PATH).
    explicit ChildProcess(const std::vector<std::string>& argv, Log log = Log::Output);
    // Ends it with SIGTERM, and SIGKILL when it has not ended within 10 s.
    virtual ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void write_line(const std::string& line);
    void close_input();

    // Waits until a line containing `text` has arrived (true), or the time is
    // up or the output ended (false). The default time is generous: a program
    // built with a sanitizer on a loaded machine starts slowly.
    bool wait_for(const std::string& text, std::chrono::milliseconds timeout = 20s);
    // The first line that contains `text`, if any has arrived.
    std::string line_with(const std::string& text) const;
    // The port at the end of the first line that contains `text` ("... on
    // 127.0.0.1:PORT"), waiting for it; 0 when none came in time.
    std::uint16_t port_after(const std::string& text, std::chrono::milliseconds timeout = 20s);

    void signal(int number);
    // The status waitpid gives once the process has ended within `timeout`;
    // nothing while it still runs.
    std::optional<int> wait_status(std::chrono::milliseconds timeout = 20s);
    // Its exit code once it has ended within `timeout`; -1 when it did not
    // end in time or a signal ended it.
    int wait_exit(std::chrono::milliseconds timeout = 20s);

    // Everything it wrote so far, for failure messages.
    std::string transcript() const;

  private:
    void read_output(int fd);

    pid_t pid_ = -1;
    int in_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::string partial_;
    bool ended_ = false;  // the output reached its end
};

}  // namespace palaver::test

#endif
