#include "server/room.h"

#include <algorithm>

#include "protocol/server_messages.h"
#include "server/session.h"

namespace palaver::server {

void Room::add(Session& session) {
    session.roomIndex = members_.size();
    session.room = this;
    members_.push_back(&session);
}

void Room::remove(Session& session) {
    std::size_t at = session.roomIndex;
    members_[at] = members_.back();
    members_[at]->roomIndex = at;
    members_.pop_back();
    session.room = nullptr;
    departed_.push_back(session.id());
}

void Room::broadcast(const BufferRef& message, const Session* except) const {
    for (Session* member : members_) {
        if (member != except) {
            member->deliver(message);
        }
    }
}

void Room::announce_departures(BufferPool& pool) {
    for (std::size_t at = 0; at < departed_.size(); at += kMaxIdsPerMessage) {
        std::size_t count = std::min(kMaxIdsPerMessage, departed_.size() - at);
        BufferRef m = pool.make(users_left_size(count));
        m.shrink(encode_users_left(m.writable(), departed_.data() + at, count));
        broadcast(m);
    }
    departed_.clear();
}

}  // namespace palaver::server
