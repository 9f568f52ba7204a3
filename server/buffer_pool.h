// Outgoing bytes shared by every recipient of a broadcast: encoded once into
// a pooled block, then handed to each session's queue by reference. The
// server runs on one thread, so the count of references is a plain integer.
#ifndef PALAVER_SERVER_BUFFER_POOL_H
#define PALAVER_SERVER_BUFFER_POOL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace palaver::server {

class BufferPool;

class PooledBuffer {
  public:
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    // The memory the block really holds: its object, its bytes' capacity
    // and the heap's headers of both, whatever size its message is.
    std::size_t footprint() const {
        return sizeof(PooledBuffer) + bytes_.capacity() + 2 * kHeapOverhead;
    }
    // What the heap adds to each allocation (glibc: a size word, 16-byte
    // steps).
    static constexpr std::size_t kHeapOverhead = 16;

  private:
    friend class BufferPool;
    friend class BufferRef;

    std::vector<std::uint8_t> bytes_;
    std::uint32_t refs_ = 0;
    BufferPool* pool_ = nullptr;
};

// A counted reference; the block goes back to its pool with the last one.
class BufferRef {
  public:
    BufferRef() = default;
    BufferRef(const BufferRef& other) : m_(other.m_) { acquire(); }
    BufferRef(BufferRef&& other) noexcept : m_(other.m_) { other.m_ = nullptr; }
    BufferRef& operator=(BufferRef other) noexcept {
        std::swap(m_, other.m_);
        return *this;
    }
    ~BufferRef() { release(); }

    const PooledBuffer* operator->() const { return m_; }
    const PooledBuffer& operator*() const { return *m_; }
    explicit operator bool() const { return m_ != nullptr; }

    // Only while the message is being written, before it is shared.
    std::uint8_t* writable() { return m_->bytes_.data(); }
    // Cuts the message to the `size` bytes actually written.
    void shrink(std::size_t size) { m_->bytes_.resize(size); }

  private:
    friend class BufferPool;
    explicit BufferRef(PooledBuffer* m) : m_(m) { acquire(); }

    void acquire() {
        if (m_ != nullptr) {
            ++m_->refs_;
        }
    }
    void release();

    PooledBuffer* m_ = nullptr;
};

class BufferPool {
  public:
    BufferPool() = default;
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    // A block of `size` bytes for the caller to fill before sharing it. Its
    // capacity is the smallest of 64, 128, 256 and 512 bytes that holds it,
    // so that a queue of small messages holds little more than their bytes;
    // larger blocks (login replies) are made to measure and not kept.
    BufferRef make(std::size_t size);
    // A copy of `size` bytes.
    BufferRef copy(const std::uint8_t* bytes, std::size_t size);

    // Blocks waiting to be used again.
    std::size_t idle() const;

  private:
    friend class BufferRef;
    void recycle(PooledBuffer* m);

    static constexpr std::size_t kClasses = 4;
    std::array<std::vector<std::unique_ptr<PooledBuffer>>, kClasses> free_;
};

}  // namespace palaver::server

#endif
