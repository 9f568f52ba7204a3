#include "host_group.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>

namespace palaver::bench {
namespace {

constexpr auto kLook = std::chrono::milliseconds(50);
constexpr auto kGrace = std::chrono::seconds(5);

}  // namespace

HostGroup::HostGroup(std::chrono::seconds stallLimit, std::function<void()> unblock,
                     std::function<void()> hang)
    : stallLimit_(stallLimit), unblock_(std::move(unblock)), hang_(std::move(hang)) {}

HostGroup::~HostGroup() {
    if (!threads_.empty()) {
        // Not run, or run() threw before the hosts ended: release and end them.
        stopping_ = true;
        {
            std::lock_guard<std::mutex> hold(lock_);
            go_ = true;
        }
        changed_.notify_all();
        for (auto& t : threads_) {
            t.join();
        }
    }
}

void HostGroup::add(std::function<void()> host) {
    threads_.emplace_back([this, host = std::move(host)] {
        {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [this] { return go_; });
        }
        try {
            if (!stopping()) {
                host();
            }
        } catch (const std::exception& e) {
            fail(e.what());
        }
        std::lock_guard<std::mutex> hold(lock_);
        ++ended_;
        changed_.notify_all();
    });
}

void HostGroup::fail(const std::string& what) {
    std::lock_guard<std::mutex> hold(lock_);
    if (error_.empty()) {
        error_ = what;
    }
    stopping_ = true;
}

bool HostGroup::wait_for_hosts(std::chrono::steady_clock::duration limit) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, limit, [this] { return ended_ == threads_.size(); });
}

void HostGroup::run() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        start_ = Clock::now();
        go_ = true;
    }
    changed_.notify_all();
    std::uint64_t seen = progress_.load();
    auto lastProgress = Clock::now();
    for (;;) {
        if (wait_for_hosts(kLook)) {
            break;
        }
        std::uint64_t now = progress_.load();
        if (now != seen) {
            seen = now;
            lastProgress = Clock::now();
        } else if (Clock::now() - lastProgress > stallLimit_) {
            fail("no progress for " + std::to_string(stallLimit_.count()) + " s");
        }
        if (stopping()) {
            // Called off: hosts look at the flag at least every 100 ms.
            bool ended = wait_for_hosts(kGrace);
            if (!ended) {
                unblock_();
                ended = wait_for_hosts(kGrace);
            }
            if (!ended) {
                std::fprintf(stderr, "hosts stuck after: %s\n", first_error().c_str());
                hang_();
                std::_Exit(3);
            }
            break;
        }
    }
    for (auto& t : threads_) {
        t.join();
    }
    threads_.clear();
    if (!first_error().empty()) {
        throw std::runtime_error(first_error());
    }
}

std::string HostGroup::first_error() {
    std::lock_guard<std::mutex> hold(lock_);
    return error_;
}

}  // namespace palaver::bench
