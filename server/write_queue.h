// What a session still has to send: shared buffers in order, the first of
// them perhaps partly written. It charges each buffer at what it really
// holds in memory (server/buffer_pool.h: footprint) plus the queue's own
// entry, so that the session's queue limit bounds its memory, and keeps the
// server's total of those charges (ServerState) up to date.
#ifndef PALAVER_SERVER_WRITE_QUEUE_H
#define PALAVER_SERVER_WRITE_QUEUE_H

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "server/buffer_pool.h"

namespace palaver::server {

class WriteQueue {
  public:
    // Blocks per gathered write: the most one sendmsg takes (IOV_MAX).
    static constexpr std::size_t kMaxGather = 1024;

    // `total`, when given, is the charge of every queue of the server; it
    // must outlive the queue.
    explicit WriteQueue(std::size_t* total = nullptr) : total_(total) {}
    ~WriteQueue() { clear(); }
    WriteQueue(const WriteQueue&) = delete;
    WriteQueue& operator=(const WriteQueue&) = delete;

    // What queueing `buffer` costs: its block's footprint and the entry.
    static std::size_t charge(const PooledBuffer& buffer) {
        // The entry, and as much again for the vector's room to grow.
        return buffer.footprint() + 2 * sizeof(BufferRef);
    }

    // False when `charge` more would take the queue's charge beyond `limit`;
    // an empty queue takes any buffer, so that one large reply can go out.
    bool fits(std::size_t charge, std::size_t limit) const {
        return charged_ == 0 || charged_ + charge <= limit;
    }
    // Queues `buffer`, whose charge() the caller has just worked out.
    void push(const BufferRef& buffer, std::size_t charge);
    void push(const BufferRef& buffer) { push(buffer, charge(*buffer)); }

    // Payload bytes of the buffers not yet wholly written.
    std::size_t pending() const { return pending_; }
    // The memory they are charged at.
    std::size_t charged() const { return charged_; }
    bool empty() const { return head_ == buffers_.size(); }
    // Buffers queued ever, and those of them written whole or dropped.
    std::uint64_t pushed() const { return pushed_; }
    std::uint64_t taken() const { return pushed_ - (buffers_.size() - head_); }

    // Points up to `max` blocks at what is still to go, in order; returns
    // how many it filled.
    std::size_t gather(iovec* blocks, std::size_t max) const;
    // Replaces `out` with a copy of up to `limit` bytes of what is still to
    // go.
    void copy(std::vector<std::uint8_t>& out, std::size_t limit) const;

    // Marks `bytes` from the front as written: buffers written whole leave
    // the queue and the count at once.
    void written(std::size_t bytes);
    // Drops everything, written or not.
    void clear();

  private:
    void uncharge(std::size_t amount);

    // Buffers from head_ on are still to go, the first of them from byte
    // offset_ on; those before head_ are written and released.
    std::vector<BufferRef> buffers_;
    std::size_t head_ = 0;
    std::size_t offset_ = 0;
    std::size_t pending_ = 0;
    std::size_t charged_ = 0;
    std::uint64_t pushed_ = 0;
    std::size_t* total_;
};

}  // namespace palaver::server

#endif
