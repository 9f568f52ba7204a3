#include "server/write_queue.h"

#include <algorithm>

namespace palaver::server {
namespace {

// Entries of a drained queue's vector kept for the next burst, which then
// allocates nothing; a larger one (left by a slow reader's backlog) goes back
// to the heap, so that an idle session holds little.
constexpr std::size_t kKeptEntries = 4096;

}  // namespace

void WriteQueue::push(const BufferRef& buffer, std::size_t charge) {
    buffers_.push_back(buffer);
    ++pushed_;
    pending_ += buffer->size();
    charged_ += charge;
    if (total_ != nullptr) {
        *total_ += charge;
    }
}

std::size_t WriteQueue::gather(iovec* blocks, std::size_t max) const {
    std::size_t count = 0;
    for (std::size_t i = head_; i < buffers_.size() && count < max; ++i, ++count) {
        std::size_t skip = i == head_ ? offset_ : 0;
        blocks[count].iov_base = const_cast<std::uint8_t*>(buffers_[i]->data() + skip);
        blocks[count].iov_len = buffers_[i]->size() - skip;
    }
    return count;
}

void WriteQueue::copy(std::vector<std::uint8_t>& out, std::size_t limit) const {
    out.clear();
    for (std::size_t i = head_; i < buffers_.size() && out.size() < limit; ++i) {
        std::size_t skip = i == head_ ? offset_ : 0;
        const std::uint8_t* data = buffers_[i]->data() + skip;
        std::size_t n = std::min(buffers_[i]->size() - skip, limit - out.size());
        out.insert(out.end(), data, data + n);
    }
}

void WriteQueue::uncharge(std::size_t amount) {
    charged_ -= amount;
    if (total_ != nullptr) {
        *total_ -= amount;
    }
}

void WriteQueue::written(std::size_t bytes) {
    while (bytes > 0) {
        std::size_t left = buffers_[head_]->size() - offset_;
        if (bytes < left) {
            offset_ += bytes;
            break;
        }
        bytes -= left;
        pending_ -= buffers_[head_]->size();
        uncharge(charge(*buffers_[head_]));
        buffers_[head_] = BufferRef();
        ++head_;
        offset_ = 0;
    }
    if (head_ == buffers_.size()) {
        clear();
    } else if (head_ >= kMaxGather && head_ * 2 >= buffers_.size()) {
        // The released front is dropped once it outweighs what is left.
        buffers_.erase(buffers_.begin(), buffers_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

void WriteQueue::clear() {
    uncharge(charged_);
    if (buffers_.capacity() > kKeptEntries) {
        std::vector<BufferRef>().swap(buffers_);
    } else {
        buffers_.clear();
    }
    head_ = 0;
    offset_ = 0;
    pending_ = 0;
}

}  // namespace palaver::server
