#include "server/buffer_pool.h"

#include <cstring>

#include "protocol/message.h"

namespace palaver::server {
namespace {

// Block capacities; the largest holds any message (kMaxMessageSize).
constexpr std::array<std::size_t, 4> kClassSizes{64, 128, 256, 512};
static_assert(kClassSizes.back() >= kMaxMessageSize);

// Enough for the bursts of a busy room; beyond it blocks go back to the heap.
constexpr std::size_t kMaxIdlePerClass = 2048;

// The class of a block of `capacity` bytes; kClassSizes.size() when none.
std::size_t class_of(std::size_t capacity) {
    std::size_t c = 0;
    while (c < kClassSizes.size() && kClassSizes[c] < capacity) {
        ++c;
    }
    return c;
}

}  // namespace

void BufferRef::release() {
    if (m_ != nullptr && --m_->refs_ == 0) {
        m_->pool_->recycle(m_);
    }
    m_ = nullptr;
}

BufferRef BufferPool::make(std::size_t size) {
    std::size_t c = class_of(size);
    std::unique_ptr<PooledBuffer> block;
    if (c < kClasses && !free_[c].empty()) {
        block = std::move(free_[c].back());
        free_[c].pop_back();
    } else {
        block = std::make_unique<PooledBuffer>();
        block->pool_ = this;
        block->bytes_.reserve(c < kClasses ? kClassSizes[c] : size);
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

std::size_t BufferPool::idle() const {
    std::size_t n = 0;
    for (const auto& list : free_) {
        n += list.size();
    }
    return n;
}

void BufferPool::recycle(PooledBuffer* m) {
    std::unique_ptr<PooledBuffer> block(m);
    // A block is kept only in the class of its exact capacity.
    std::size_t c = class_of(block->bytes_.capacity());
    if (c < kClasses && kClassSizes[c] == block->bytes_.capacity() &&
        free_[c].size() < kMaxIdlePerClass) {
        free_[c].push_back(std::move(block));
    }
}

}  // namespace palaver::server
