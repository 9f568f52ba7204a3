// Outgoing bytes shared by every recipient of a broadcast: encoded once into
// a pooled block, then handed to each session's queue by reference. The
// server runs on one thread, so the count of references is a plain integer.
#ifndef PALAVER_SERVER_MESSAGE_H
#define PALAVER_SERVER_MESSAGE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace palaver::server {

class MessagePool;

class Message {
  public:
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }

  private:
    friend class MessagePool;
    friend class MessageRef;

    std::vector<std::uint8_t> bytes_;
    std::uint32_t refs_ = 0;
    MessagePool* pool_ = nullptr;
};

// A counted reference; the block goes back to its pool with the last one.
class MessageRef {
  public:
    MessageRef() = default;
    MessageRef(const MessageRef& other) : m_(other.m_) { acquire(); }
    MessageRef(MessageRef&& other) noexcept : m_(other.m_) { other.m_ = nullptr; }
    MessageRef& operator=(MessageRef other) noexcept {
        std::swap(m_, other.m_);
        return *this;
    }
    ~MessageRef() { release(); }

    const Message* operator->() const { return m_; }
    const Message& operator*() const { return *m_; }
    explicit operator bool() const { return m_ != nullptr; }

    // Only while the message is being written, before it is shared.
    std::uint8_t* writable() { return m_->bytes_.data(); }
    // Cuts the message to the `size` bytes actually written.
    void shrink(std::size_t size) { m_->bytes_.resize(size); }

  private:
    friend class MessagePool;
    explicit MessageRef(Message* m) : m_(m) { acquire(); }

    void acquire() {
        if (m_ != nullptr) {
            ++m_->refs_;
        }
    }
    void release();

    Message* m_ = nullptr;
};

class MessagePool {
  public:
    MessagePool() = default;
    MessagePool(const MessagePool&) = delete;
    MessagePool& operator=(const MessagePool&) = delete;

    // A block of `size` bytes for the caller to fill before sharing it.
    MessageRef make(std::size_t size);
    // A copy of `size` bytes.
    MessageRef copy(const std::uint8_t* bytes, std::size_t size);

    std::size_t idle() const { return free_.size(); }

  private:
    friend class MessageRef;
    void recycle(Message* m);

    std::vector<std::unique_ptr<Message>> free_;
};

}  // namespace palaver::server

#endif
