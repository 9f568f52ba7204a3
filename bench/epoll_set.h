// An epoll descriptor of the benchmark's own host loops: sockets keyed by
// member index.
#ifndef PALAVER_BENCH_EPOLL_SET_H
#define PALAVER_BENCH_EPOLL_SET_H

#include <sys/epoll.h>
#include <unistd.h>

#include <cstddef>
#include <stdexcept>

namespace palaver::bench {

class EpollSet {
  public:
    EpollSet() : fd_(::epoll_create1(EPOLL_CLOEXEC)) {
        if (fd_ < 0) {
            throw std::runtime_error("epoll_create1 failed");
        }
    }
    ~EpollSet() { ::close(fd_); }
    EpollSet(const EpollSet&) = delete;
    EpollSet& operator=(const EpollSet&) = delete;

    // Level-triggered: readable, and writable too when `write` is set.
    void add(int socket, std::size_t member, bool write = false) {
        control(EPOLL_CTL_ADD, socket, member, write);
    }
    void change(int socket, std::size_t member, bool write) {
        control(EPOLL_CTL_MOD, socket, member, write);
    }
    int wait(epoll_event* events, int capacity, int timeoutMs) {
        return ::epoll_wait(fd_, events, capacity, timeoutMs);
    }

  private:
    void control(int op, int socket, std::size_t member, bool write) {
        epoll_event e{};
        e.events = EPOLLIN | (write ? EPOLLOUT : 0u);
        e.data.u64 = member;
        if (::epoll_ctl(fd_, op, socket, &e) != 0) {
            throw std::runtime_error("epoll_ctl failed");
        }
    }

    int fd_;
};

}  // namespace palaver::bench

#endif
