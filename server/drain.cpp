#include "server/drain.h"

#include <cstdio>
#include <string>
#include <utility>

#include "server/server_state.h"

namespace palaver::server {
namespace {

std::string seconds(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g s", std::chrono::duration<double>(d).count());
    return text;
}

std::string connections(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " connection" : " connections");
}

}  // namespace

Drain::Drain(asio::io_context& io, ServerState& state) : timer_(io), state_(state) {}

void Drain::start(std::chrono::milliseconds limit, std::function<void()> stop) {
    running_ = true;
    limit_ = limit;
    since_ = Clock::now();
    state_.log().info("draining ", connections(state_.connections()), ", ", state_.unsent(),
                      " bytes queued, for at most ", seconds(limit));
    if (limit.count() == 0) {
        stop();
        return;
    }
    state_.drain_all("server draining");
    timer_.expires_after(limit);
    timer_.async_wait([this, stop](const asio::error_code& ec) {
        if (!ec && running_) {
            stop();
        }
    });
    state_.when_no_sessions(std::move(stop));
}

void Drain::end() {
    if (!running_) {
        return;
    }
    running_ = false;
    timer_.cancel();
    Clock::duration took = Clock::now() - since_;
    if (state_.connections() == 0) {
        state_.log().info("drained in ", seconds(took));
        return;
    }
    state_.log().warn("drain ended after ", seconds(took), took >= limit_ ? " (its limit)" : "",
                      ": closing ", connections(state_.connections()), " at once, with ",
                      state_.unsent(), " bytes queued and not sent");
}

}  // namespace palaver::server
