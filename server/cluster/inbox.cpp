#include "server/cluster/inbox.h"

#include <cstring>

#include "protocol/wire.h"

namespace palaver::server::cluster {

Inbox::Put Inbox::put(const std::uint8_t* bytes, std::size_t size) {
    std::lock_guard<std::mutex> hold(lock_);
    if (count_ >= maxMessages_ || bytes_.size() + size > maxBytes_) {
        ++dropped_;
        return Put::Dropped;
    }
    std::size_t at = bytes_.size();
    bytes_.resize(at + 4 + size);
    wire::store_u32(bytes_.data() + at, static_cast<std::uint32_t>(size));
    if (size > 0) {
        std::memcpy(bytes_.data() + at + 4, bytes, size);
    }
    return ++count_ == 1 ? Put::Wake : Put::Queued;
}

std::uint64_t Inbox::take(std::vector<std::uint8_t>& batch) {
    batch.clear();
    std::lock_guard<std::mutex> hold(lock_);
    batch.swap(bytes_);  // both keep their capacity for the next rounds
    count_ = 0;
    std::uint64_t dropped = dropped_;
    dropped_ = 0;
    return dropped;
}

std::size_t Inbox::load_size(const std::uint8_t* p) {
    return wire::load_u32(p);
}

}  // namespace palaver::server::cluster
