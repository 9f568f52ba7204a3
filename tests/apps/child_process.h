// A program the test starts with pipes on its standard input and output,
// ended (by its own pid) when the test lets go of it.
#ifndef PALAVER_TESTS_APPS_CHILD_PROCESS_H
#define PALAVER_TESTS_APPS_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace palaver::testing {

class ChildProcess {
  public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void write_line(const std::string& line);
    void close_input();

    // Reads until a line containing `text` arrives (true) or the time is up
    // or the output ends (false). The default time is generous: a program
    // built with ThreadSanitizer on a loaded machine starts slowly.
    bool wait_for(const std::string& text,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // The first line that contains `text`, if any has arrived.
    std::string line_with(const std::string& text) const;
    // Waits for the process to end and returns its exit status, -1 when it
    // did not end in time or was killed by a signal.
    int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // Everything read so far, for failure messages.
    std::string transcript() const;

  private:
    bool read_some(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string partial_;
    std::vector<std::string> lines_;
};

}  // namespace palaver::testing

#endif
