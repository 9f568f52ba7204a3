// palaver-server as a child process on a free loopback port, for the faults
// that need the real thing: being killed, and many clients that vanish.
#ifndef PALAVER_TESTS_FAULTS_SERVER_PROCESS_H
#define PALAVER_TESTS_FAULTS_SERVER_PROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace palaver::faults {

class ServerProcess {
  public:
    // Starts `binary --listen LISTEN` with `extra` arguments and reads the
    // port it prints; port() is 0 when it did not come up.
    ServerProcess(const std::string& binary, const std::vector<std::string>& extra = {},
                  const std::string& listen = "127.0.0.1:0");
    ~ServerProcess();  // kills it (SIGKILL) if it still runs
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    std::uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }

    void signal(int number);
    // The exit status (as waitpid gives it) once the process has ended within
    // `ms`; nothing when it still runs.
    std::optional<int> wait_exit(int ms);

    std::size_t open_descriptors() const;
    std::size_t threads() const;

  private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace palaver::faults

#endif
