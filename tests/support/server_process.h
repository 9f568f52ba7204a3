// palaver-server as a child process on a free loopback port, for what needs
// the real program: being killed, many clients that vanish, cluster nodes,
// the benchmarks' servers.
#ifndef PALAVER_TESTS_SUPPORT_SERVER_PROCESS_H
#define PALAVER_TESTS_SUPPORT_SERVER_PROCESS_H

#include <cstdint>
#include <string>
#include <vector>

#include "child_process.h"

namespace palaver::test {

class ServerProcess : public ChildProcess {
  public:
    // Starts `binary --listen LISTEN` with `extra` arguments and reads the
    // ports it prints (the TLS one when `extra` has --tls-listen); port() is
    // 0 when it did not come up.
    ServerProcess(const std::string& binary, const std::vector<std::string>& extra = {},
                  const std::string& listen = "127.0.0.1:0");

    std::uint16_t port() const { return port_; }
    std::uint16_t tls_port() const { return tlsPort_; }

    std::size_t open_descriptors() const;
    std::size_t threads() const;

  private:
    std::uint16_t port_ = 0;
    std::uint16_t tlsPort_ = 0;
};

// "binary ctl --control PATH ARGS...": its exit status and what it printed
// (standard output and errors together).
struct CtlResult {
    int status = -1;
    std::string output;
};
CtlResult run_ctl(const std::string& binary, const std::string& path,
                  const std::vector<std::string>& args);

}  // namespace palaver::test

#endif
