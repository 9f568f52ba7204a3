// The talk queue: chat lines and notices in order of arrival, kept as packed
// bytes (the line's 13 plain bytes, a 2-byte text length, the text) rather
// than as records. A queued line costs its record and its text and nothing
// more, the receive thread allocates nothing per line, and the host's copies
// are allocated on the host's own thread by the drain, which is where the
// host frees them. Not locked itself: RoomState's queueLock guards it.
//
// Bounded: beyond its limit of lines or of packed bytes the oldest lines are
// dropped, each at the cost of reading its length, and counted, so a host
// that stops taking lines costs a bounded amount of memory.
#ifndef PALAVER_LIB_CLIENT_TALK_QUEUE_H
#define PALAVER_LIB_CLIENT_TALK_QUEUE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Palaver.h"

namespace palaver {

// The chatComunicate record keeps the wire's 13 fixed bytes in order before
// its text; the queue packs and unpacks them by these offsets.
static_assert(offsetof(stChatContent, target) == 4, "chat target at byte 4");
static_assert(offsetof(stChatContent, locationKey) == 8, "chat location key at byte 8");
static_assert(offsetof(stChatContent, flag) == 12, "chat flag at byte 12");
static_assert(offsetof(stChatContent, text) == 13, "chat text object at byte 13");

// Lines packed one after another, as the queue keeps them.
class PackedLines {
  public:
    void add(std::int32_t sender, std::int32_t target, const unsigned char key[4], bool flag,
             const char* text, std::size_t length);
    void add(const stChatContent& line);

    bool empty() const { return count_ == 0; }
    std::size_t count() const { return count_; }
    // The packed size of the lines held.
    std::size_t bytes() const { return bytes_.size() - head_; }
    // Removes the oldest line. Not for an empty set.
    void drop_oldest();
    void clear();
    // Frees the storage when it has grown past what a steady stream needs.
    void trim();

    // Calls f(sender, target, key, flag, text, length) for each line in order.
    template <typename F>
    void for_each(F&& f) const {
        visit(bytes_.data() + head_, count_, f);
    }
    // The same for at most `max` of the oldest lines, which then leave.
    // Returns how many were passed to f.
    template <typename F>
    std::size_t take(std::size_t max, F&& f) {
        std::size_t n = max < count_ ? max : count_;
        drop_front(visit(bytes_.data() + head_, n, f), n);
        return n;
    }

  private:
    // Calls f for the `n` lines from `p`; returns the bytes they take.
    template <typename F>
    static std::size_t visit(const std::uint8_t* p, std::size_t n, F& f);
    void drop_front(std::size_t bytes, std::size_t lines);

    std::vector<std::uint8_t> bytes_;
    std::size_t head_ = 0;  // bytes before it were taken already
    std::size_t count_ = 0;
};

class TalkQueue {
  public:
    static constexpr std::size_t kMaxLines = 100000;
    static constexpr std::size_t kMaxBytes = 64u * 1024 * 1024;

    bool empty() const { return lines_.empty(); }
    std::size_t size() const { return lines_.count(); }
    std::size_t bytes() const { return lines_.bytes(); }

    void add(std::int32_t sender, std::int32_t target, const unsigned char key[4], bool flag,
             const char* text, std::size_t length) {
        lines_.add(sender, target, key, flag, text, length);
        keep_limit();
    }
    void push_back(const stChatContent& line) {
        lines_.add(line);
        keep_limit();
    }

    // From the next line on; lines beyond the new limit leave with it.
    void set_limit(std::size_t maxLines, std::size_t maxBytes);
    // Lines dropped for the limit since the queue was made; read without the
    // queue lock.
    std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

    // Passes at most `max` of the oldest lines to f(sender, target, key,
    // flag, text, length) and removes them; returns how many.
    template <typename F>
    std::size_t take(std::size_t max, F&& f) {
        std::size_t taken = lines_.take(max, f);
        if (lines_.empty()) {
            lines_.clear();
            lines_.trim();
        }
        return taken;
    }

    // Appends a copy of every queued line to `out`, oldest first, and empties
    // the queue. When memory runs out, `out` and the queue stay as they were
    // and the allocation failure is thrown.
    void drain_into(std::vector<stChatContent>& out);

    // Every queued line, in order, as the host would receive it.
    std::vector<stChatContent> snapshot() const;

  private:
    // Drops the oldest lines while either limit is passed; a line larger than
    // the byte limit alone stays, so the newest line is never lost.
    void keep_limit() {
        if (lines_.count() > maxLines_ || lines_.bytes() > maxBytes_) {
            drop_to_limit();
        }
    }
    void drop_to_limit();

    PackedLines lines_;
    std::size_t maxLines_ = kMaxLines;
    std::size_t maxBytes_ = kMaxBytes;
    std::atomic<std::uint64_t> dropped_{0};  // written under the queue lock
};

template <typename F>
std::size_t PackedLines::visit(const std::uint8_t* p, std::size_t n, F& f) {
    const std::uint8_t* start = p;
    for (std::size_t i = 0; i < n; ++i) {
        std::int32_t sender, target;
        std::uint16_t length;
        std::memcpy(&sender, p, 4);
        std::memcpy(&target, p + 4, 4);
        std::memcpy(&length, p + 13, 2);
        f(sender, target, p + 8, p[12] != 0, reinterpret_cast<const char*>(p + 15),
          static_cast<std::size_t>(length));
        p += 15 + length;
    }
    return static_cast<std::size_t>(p - start);
}

}  // namespace palaver

#endif
