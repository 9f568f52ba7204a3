// Login strings checked against their Argon2id hashes on a few threads of
// their own: one check takes tens of milliseconds and 64 MiB, which the
// event loop cannot spend without stalling every room. A check waits in a
// bounded queue; its outcome comes back to the event loop.
#ifndef PALAVER_SERVER_LOGIN_CHECKS_H
#define PALAVER_SERVER_LOGIN_CHECKS_H

#include <cstddef>
#include <functional>
#include <memory>

#include "server/net.h"

namespace palaver::server {

class LoginChecks {
  public:
    using Check = std::function<bool()>;     // runs on a worker
    using Done = std::function<void(bool)>;  // runs on the event loop

    LoginChecks(asio::io_context& io, std::size_t threads, std::size_t maxWaiting);
    // Checks not begun are dropped with their handlers; the running ones
    // are waited for.
    ~LoginChecks();
    LoginChecks(const LoginChecks&) = delete;
    LoginChecks& operator=(const LoginChecks&) = delete;

    // Runs `check` on a worker once `when` has come, then `done` with its
    // outcome on the event loop. False, and nothing runs, when `maxWaiting`
    // checks wait already. Called on the event loop.
    bool submit(Clock::time_point when, Check check, Done done);
    std::size_t waiting() const { return waiting_; }

  private:
    void run(Check check, Done done);

    asio::io_context& io_;
    asio::thread_pool pool_;
    std::size_t maxWaiting_;
    std::size_t waiting_ = 0;  // on the event loop's thread
    // Handlers that outlive the pool see it gone.
    std::shared_ptr<char> alive_;
};

}  // namespace palaver::server

#endif
