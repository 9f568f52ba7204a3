// nats-server as a child process on a free loopback port, with JetStream and
// its own store folder, for the cluster tests and benchmark. It can be killed
// and started again on the same port with the same store, as a bus that goes
// away and comes back.
#ifndef PALAVER_TESTS_SUPPORT_NATS_PROCESS_H
#define PALAVER_TESTS_SUPPORT_NATS_PROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "child_process.h"

namespace palaver::test {

class NatsProcess {
  public:
    // Empty url() when it did not come up (e.g. no nats-server installed).
    // `configuration`, when given, is the text of a nats-server configuration
    // file (users and their permissions, TLS); the address, port, JetStream
    // and store still come from the command line.
    explicit NatsProcess(const std::string& binary, const std::string& configuration = {});
    ~NatsProcess();
    NatsProcess(const NatsProcess&) = delete;
    NatsProcess& operator=(const NatsProcess&) = delete;

    std::string url() const;
    pid_t pid() const { return process_ ? process_->pid() : -1; }
    void kill();   // SIGKILL, and wait for it
    bool start();  // again, on the same port and store; true once it listens

  private:
    std::string binary_;
    std::string store_;
    std::string configFile_;  // empty: nats-server's defaults
    std::uint16_t port_ = 0;  // 0 until the first start has chosen one
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace palaver::test

#endif
