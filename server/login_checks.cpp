#include "server/login_checks.h"

#include <memory>
#include <utility>

namespace palaver::server {

LoginChecks::LoginChecks(asio::io_context& io, std::size_t threads, std::size_t maxWaiting)
    : io_(io), pool_(threads), maxWaiting_(maxWaiting), alive_(std::make_shared<char>()) {}

LoginChecks::~LoginChecks() {
    alive_.reset();
    pool_.stop();
    pool_.join();
}

bool LoginChecks::submit(Clock::time_point when, Check check, Done done) {
    if (waiting_ >= maxWaiting_) {
        return false;
    }
    ++waiting_;
    if (when <= Clock::now()) {
        run(std::move(check), std::move(done));
        return true;
    }
    auto timer = std::make_shared<asio::steady_timer>(io_, when);
    timer->async_wait([this, alive = std::weak_ptr<char>(alive_), timer, check = std::move(check),
                       done = std::move(done)](const asio::error_code&) mutable {
        if (!alive.expired()) {
            run(std::move(check), std::move(done));
        }
    });
    return true;
}

void LoginChecks::run(Check check, Done done) {
    // Only `check` runs on the worker; `done` may hold a session, which is
    // handed on to the event loop and let go there.
    asio::post(pool_, [this, check = std::move(check), done = std::move(done),
                       alive = std::weak_ptr<char>(alive_)]() mutable {
        bool outcome = check();
        asio::post(io_, [this, done = std::move(done), outcome, alive = std::move(alive)] {
            if (!alive.expired()) {
                --waiting_;
                done(outcome);
            }
        });
    });
}

}  // namespace palaver::server
