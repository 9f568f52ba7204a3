// Host threads of a benchmark, one per client: they start together, report
// progress, and a run that stops making progress is called off.
#ifndef PALAVER_BENCH_HOST_GROUP_H
#define PALAVER_BENCH_HOST_GROUP_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace palaver::bench {

class HostGroup {
  public:
    using Clock = std::chrono::steady_clock;

    // `unblock` is called once when a run stalls, to wake hosts stuck in a
    // call (for example by ending their connections); `hang` when they still
    // do not finish, just before the process exits.
    HostGroup(std::chrono::seconds stallLimit, std::function<void()> unblock,
              std::function<void()> hang);
    ~HostGroup();
    HostGroup(const HostGroup&) = delete;
    HostGroup& operator=(const HostGroup&) = delete;

    // Starts a thread that runs `host` once every host has been added and
    // run() has been called. An exception it throws fails the run.
    void add(std::function<void()> host);
    // Lets the hosts go and returns when all have ended. Throws the first
    // failure, or a stall. The start is taken just before the hosts go.
    void run();
    Clock::time_point start() const { return start_; }

    // For the hosts: count progress, look whether the run was called off.
    void progress(std::uint64_t n) { progress_.fetch_add(n, std::memory_order_relaxed); }
    bool stopping() const { return stopping_.load(std::memory_order_relaxed); }
    void fail(const std::string& what);

  private:
    std::string first_error();
    // True when every host has ended within `limit`.
    bool wait_for_hosts(std::chrono::steady_clock::duration limit);

    std::chrono::seconds stallLimit_;
    std::function<void()> unblock_;
    std::function<void()> hang_;
    std::vector<std::thread> threads_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool go_ = false;
    std::size_t ended_ = 0;
    std::string error_;
    std::atomic<std::uint64_t> progress_{0};
    std::atomic<bool> stopping_{false};
    Clock::time_point start_;
};

}  // namespace palaver::bench

#endif
