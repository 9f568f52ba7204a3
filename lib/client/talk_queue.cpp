#include "lib/client/talk_queue.h"

#include <cstring>

namespace palaver {
namespace {

constexpr std::size_t kLineHeader = 15;  // sender, target, key, flag, text length
// A drained queue keeps this much storage for the next lines, no more.
constexpr std::size_t kKeptCapacity = 64 * 1024;

}  // namespace

void PackedLines::add(std::int32_t sender, std::int32_t target, const unsigned char key[4],
                      bool flag, const char* text, std::size_t length) {
    // Appended, not resized and overwritten: the receive thread writes each
    // byte once.
    std::uint8_t header[kLineHeader];
    std::uint16_t length16 = static_cast<std::uint16_t>(length);
    std::memcpy(header, &sender, 4);
    std::memcpy(header + 4, &target, 4);
    std::memcpy(header + 8, key, 4);
    header[12] = flag ? 1 : 0;
    std::memcpy(header + 13, &length16, 2);
    bytes_.insert(bytes_.end(), header, header + kLineHeader);
    bytes_.insert(bytes_.end(), text, text + length);
    ++count_;
}

void PackedLines::add(const stChatContent& line) {
    add(line.sender, line.target, line.locationKey, line.flag, line.text.data(), line.text.size());
}

void PackedLines::clear() {
    bytes_.clear();
    head_ = 0;
    count_ = 0;
}

void PackedLines::drop_front(std::size_t bytes, std::size_t lines) {
    head_ += bytes;
    count_ -= lines;
    // Taken lines are given back once they are the larger part.
    if (head_ > bytes_.size() / 2) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

void PackedLines::drop_oldest() {
    std::uint16_t length;
    std::memcpy(&length, bytes_.data() + head_ + 13, 2);
    drop_front(kLineHeader + length, 1);
}

void PackedLines::trim() {
    if (bytes_.capacity() > kKeptCapacity) {
        std::vector<std::uint8_t>().swap(bytes_);
    }
}

void TalkQueue::set_limit(std::size_t maxLines, std::size_t maxBytes) {
    maxLines_ = maxLines;
    maxBytes_ = maxBytes;
    keep_limit();
}

void TalkQueue::drop_to_limit() {
    std::uint64_t dropped = 0;
    while (lines_.count() > maxLines_ || (lines_.bytes() > maxBytes_ && lines_.count() > 1)) {
        lines_.drop_oldest();
        ++dropped;
    }
    dropped_.store(dropped_.load(std::memory_order_relaxed) + dropped, std::memory_order_relaxed);
}

void TalkQueue::drain_into(std::vector<stChatContent>& out) {
    if (lines_.empty()) {
        return;
    }
    const std::size_t before = out.size();
    try {
        out.reserve(before + lines_.count());
        lines_.for_each([&out](std::int32_t sender, std::int32_t target, const std::uint8_t* key,
                               bool flag, const char* text, std::size_t length) {
            out.push_back(stChatContent{
                sender, target, {key[0], key[1], key[2], key[3]}, flag, std::string(text, length)});
        });
    } catch (...) {
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
        throw;
    }
    lines_.clear();
    lines_.trim();
}

std::vector<stChatContent> TalkQueue::snapshot() const {
    std::vector<stChatContent> copy;
    lines_.for_each([&copy](std::int32_t sender, std::int32_t target, const std::uint8_t* key,
                            bool flag, const char* text, std::size_t length) {
        copy.push_back(stChatContent{
            sender, target, {key[0], key[1], key[2], key[3]}, flag, std::string(text, length)});
    });
    return copy;
}

}  // namespace palaver
