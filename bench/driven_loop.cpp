#include "driven_loop.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "c_clients.h"
#include "epoll_set.h"

namespace palaver::bench {
namespace {

class PollerLoop : public DrivenLoop {
  public:
    PollerLoop() : poller_(palaver_poller_new(), palaver_poller_free) {
        if (!poller_) {
            throw std::runtime_error("palaver_poller_new gave no poller");
        }
    }
    void add(palaver_client* client, std::size_t index) override {
        if (palaver_poller_add(poller_.get(), client) != 1) {
            throw std::runtime_error("palaver_poller_add refused a client");
        }
        indexOf_[client] = index;
        ready_.resize(indexOf_.size() + 1);
    }
    int turn(int timeoutMs, const Take& take) override {
        int n = palaver_poller_wait(poller_.get(), ready_.data(), ready_.size(), timeoutMs);
        if (n < 0) {
            throw std::runtime_error(last_error_text("palaver_poller_wait"));
        }
        int taken = 0;
        for (int k = 0; k < n; ++k) {
            const palaver_ready& r = ready_[static_cast<std::size_t>(k)];
            auto it = indexOf_.find(r.client);
            if (it != indexOf_.end()) {
                take(it->second, r.events);
                ++taken;
            }
        }
        return taken;
    }

  private:
    std::unique_ptr<palaver_poller, void (*)(palaver_poller*)> poller_;
    std::unordered_map<palaver_client*, std::size_t> indexOf_;
    std::vector<palaver_ready> ready_;
};

// Level-triggered epoll; writable interest only while a client has bytes
// left to write. Every client is processed at least once a second, ready or
// not, for what falls due (the KeepAlive).
class EpollLoop : public DrivenLoop {
  public:
    void add(palaver_client* client, std::size_t index) override {
        epoll_.add(palaver_socket_of(client), clients_.size());
        clients_.push_back(client);
        indices_.push_back(index);
        writing_.push_back(false);
        ready_.resize(clients_.size());
    }
    int turn(int timeoutMs, const Take& take) override {
        auto now = Clock::now();
        if (now - lastSweep_ >= kSweep) {
            lastSweep_ = now;
            int taken = 0;
            for (std::size_t i = 0; i < clients_.size(); ++i) {
                taken += run(i, take);
            }
            return taken;
        }
        auto untilSweep = std::chrono::ceil<std::chrono::milliseconds>(lastSweep_ + kSweep - now);
        int wait = static_cast<int>(untilSweep.count());
        int n = epoll_.wait(ready_.data(), static_cast<int>(ready_.size()),
                            timeoutMs < 0 ? wait : std::min(timeoutMs, wait));
        int taken = 0;
        for (int k = 0; k < n; ++k) {
            taken +=
                run(static_cast<std::size_t>(ready_[static_cast<std::size_t>(k)].data.u64), take);
        }
        return taken;
    }

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kSweep{1};

    int run(std::size_t i, const Take& take) {
        palaver_client* c = clients_[i];
        int events = palaver_process(c);
        bool write = palaver_want_write(c) != 0;
        if (write != writing_[i]) {
            epoll_.change(palaver_socket_of(c), i, write);
            writing_[i] = write;
        }
        if (events == 0) {
            return 0;
        }
        take(indices_[i], events);
        return 1;
    }

    EpollSet epoll_;
    std::vector<palaver_client*> clients_;
    std::vector<std::size_t> indices_;
    std::vector<bool> writing_;
    std::vector<epoll_event> ready_;
    Clock::time_point lastSweep_ = Clock::now();
};

}  // namespace

std::unique_ptr<DrivenLoop> DrivenLoop::make(LoopKind kind) {
    if (kind == LoopKind::Poller) {
        return std::make_unique<PollerLoop>();
    }
    return std::make_unique<EpollLoop>();
}

}  // namespace palaver::bench
