#include "server/message.h"

#include <cstring>

#include "protocol/message.h"

namespace palaver::server {
namespace {

// Enough for the bursts of a busy room; beyond it blocks go back to the heap.
constexpr std::size_t kMaxIdleBlocks = 4096;

}  // namespace

void MessageRef::release() {
    if (m_ != nullptr && --m_->refs_ == 0) {
        m_->pool_->recycle(m_);
    }
    m_ = nullptr;
}

MessageRef MessagePool::make(std::size_t size) {
    std::unique_ptr<Message> block;
    if (free_.empty()) {
        block = std::make_unique<Message>();
        block->pool_ = this;
        block->bytes_.reserve(kMaxMessageSize);
    } else {
        block = std::move(free_.back());
        free_.pop_back();
    }
    block->bytes_.resize(size);
    // From here on the count of references owns the block, until recycle().
    return MessageRef(block.release());
}

MessageRef MessagePool::copy(const std::uint8_t* bytes, std::size_t size) {
    MessageRef m = make(size);
    std::memcpy(m.writable(), bytes, size);
    return m;
}

void MessagePool::recycle(Message* m) {
    std::unique_ptr<Message> block(m);
    // Login replies can be large: those blocks are not kept.
    if (free_.size() < kMaxIdleBlocks && block->bytes_.capacity() <= kMaxMessageSize) {
        free_.push_back(std::move(block));
    }
}

}  // namespace palaver::server
