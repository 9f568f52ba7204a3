#include "room_members.h"

#include <stdexcept>
#include <string>

namespace palaver::bench {

RoomMembers::RoomMembers(std::uint16_t port, std::size_t count, ClientKind kind, bool batching) {
    for (std::size_t i = 0; i < count; ++i) {
        members_.push_back(log_in(port, "c" + std::to_string(i), kBenchRoom, kind));
        // The hosts' loops ask palaver_want_write after their sends.
        if (batching && kind == ClientKind::HostDriven &&
            palaver_set_send_batching(members_.back().client.get(), 1) != 1) {
            throw std::runtime_error(last_error_text("palaver_set_send_batching"));
        }
    }
    baseId_ = members_.front().id;
    for (std::size_t i = 0; i < count; ++i) {
        if (members_[i].id != baseId_ + static_cast<std::int32_t>(i)) {
            throw std::runtime_error("the server handed out ids out of order");
        }
    }
}

void RoomMembers::log_out_all() const {
    for (const auto& m : members_) {
        palaver_logout(m.client.get());
    }
}

}  // namespace palaver::bench
