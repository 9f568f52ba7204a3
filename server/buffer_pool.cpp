#include "server/buffer_pool.h"

#include <cstring>

#include "protocol/message.h"

namespace palaver::server {
namespace {

// Enough for the bursts of a busy room; beyond it blocks go back to the heap.
constexpr std::size_t kMaxIdleBlocks = 4096;

}  // namespace

void BufferRef::release() {
    if (m_ != nullptr && --m_->refs_ == 0) {
        m_->pool_->recycle(m_);
    }
    m_ = nullptr;
}

BufferRef BufferPool::make(std::size_t size) {
    std::unique_ptr<PooledBuffer> block;
    if (free_.empty()) {
        block = std::make_unique<PooledBuffer>();
        block->pool_ = this;
        block->bytes_.reserve(kMaxMessageSize);
    } else {
        block = std::move(free_.back());
        free_.pop_back();
    }
    block->bytes_.resize(size);
    // From here on the count of references owns the block, until recycle().
    return BufferRef(block.release());
}

BufferRef BufferPool::copy(const std::uint8_t* bytes, std::size_t size) {
    BufferRef m = make(size);
    std::memcpy(m.writable(), bytes, size);
    return m;
}

void BufferPool::recycle(PooledBuffer* m) {
    std::unique_ptr<PooledBuffer> block(m);
    // Login replies can be large: those blocks are not kept.
    if (free_.size() < kMaxIdleBlocks && block->bytes_.capacity() <= kMaxMessageSize) {
        free_.push_back(std::move(block));
    }
}

}  // namespace palaver::server
