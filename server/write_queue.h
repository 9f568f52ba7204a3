// What a session still has to send: shared buffers in order, the first of
// them perhaps partly written. It keeps the count of bytes the client has
// not taken yet, which the session holds against its queue limit.
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

    // False when `size` more bytes would take the count beyond `limit`; an
    // empty queue takes any buffer, so that one large reply can go out.
    bool fits(std::size_t size, std::size_t limit) const;
    void push(const BufferRef& buffer);

    // Bytes of the buffers not yet wholly written.
    std::size_t pending() const { return pending_; }
    bool empty() const { return head_ == buffers_.size(); }

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
    // Buffers from head_ on are still to go, the first of them from byte
    // offset_ on; those before head_ are written and released.
    std::vector<BufferRef> buffers_;
    std::size_t head_ = 0;
    std::size_t offset_ = 0;
    std::size_t pending_ = 0;
};

}  // namespace palaver::server

#endif
