#include "server/cluster/remote_view.h"

#include <algorithm>
#include <cstring>

#include "PalaverProfile.h"
#include "protocol/records.h"

namespace palaver::server::cluster {
namespace {

constexpr std::size_t kEndedRunsKept = 16;

// What waits for a node's snapshot: the changes to the picture of its
// users, which the snapshot brings whole (what the node sent after taking
// it arrives after it). Events in order (a line, a kick) are not in any
// snapshot and are applied at once, or they would be lost.
bool needs_whole_picture(BusType type) {
    return type == BusType::Entered || type == BusType::Updated || type == BusType::Left;
}

}  // namespace

void RemoteView::apply(const BusMessage& m, Sink& sink) {
    const BusHeader& h = m.header;
    if (h.node == self_ || h.node == 0 || h.node > kMaxNodeId) {
        return;
    }
    if (has_ended(h.node, h.incarnation)) {
        ++stale_;  // a run that is over: a replay
        return;
    }
    auto found = nodes_.find(h.node);
    if (found != nodes_.end() && found->second.incarnation != h.incarnation) {
        // Restarted under the same node id: its former users are gone.
        ended(h.node, found->second.incarnation);
        forget(h.node, sink);
        found = nodes_.end();
    }
    if (found == nodes_.end()) {
        found = nodes_.emplace(h.node, Node{}).first;
        found->second.incarnation = h.incarnation;
        if (h.type != BusType::Goodbye) {
            sink.met(h.node);
        }
    }
    Node& node = found->second;
    if (is_room_type(h.type)) {
        room_message(node, m, sink);
        return;
    }
    if (h.seq <= node.lastOwn) {
        ++stale_;  // at or below what was taken from that node: a replay or a copy
        return;
    }
    node.lastOwn = h.seq;
    switch (h.type) {
        case BusType::Kick:
            sink.kick_asked(m.kick, h.node);
            break;
        case BusType::ResyncRequest:
            if (m.resync.node == 0 || m.resync.node == self_) {
                for (std::uint32_t room : m.resync.rooms) {
                    sink.snapshot_wanted(room);
                }
            }
            break;
        case BusType::Goodbye:
            ended(h.node, h.incarnation);
            forget(h.node, sink);
            break;
        default:
            break;  // Heartbeat: the bus thread noted the node alive
    }
}

void RemoteView::room_message(Node& node, const BusMessage& m, Sink& sink) {
    const BusHeader& h = m.header;
    if (!watching(h.room)) {
        return;  // still on its way after this node's last user there left
    }
    Stream& stream = node.streams[h.room];
    if (!follow(stream, m, sink)) {
        return;
    }
    if (!stream.synced && needs_whole_picture(h.type)) {
        ++stale_;  // the snapshot asked for brings the node's users
        return;
    }
    switch (h.type) {
        case BusType::Entered:
        case BusType::Updated:
            if (node_of(m.record.userId) == h.node && profile::room(m.record) == h.room) {
                if (where_.count(m.record.userId) == 0 && too_many(h.node, node.users + 1, sink)) {
                    return;
                }
                upsert(node, stream, m.record, sink);
            }
            break;
        case BusType::Left:
            remove(node, h.room, stream, m.ids, &sink);
            break;
        case BusType::Talk:
            if (node_of(m.talk.sender) == h.node && m.talk.key == h.room) {
                sink.heard(m.talk);
            }
            break;
        case BusType::SnapshotPart:
            snapshot_part(h.node, h.room, m.snapshot, sink);
            break;
        default:
            break;
    }
}

bool RemoteView::follow(Stream& stream, const BusMessage& m, Sink& sink) {
    const BusHeader& h = m.header;
    if (h.seq <= stream.last) {
        // At or below what was taken from that node: a replay or a copy.
        ++stale_;
        return false;
    }
    bool startsSnapshot = h.type == BusType::SnapshotPart && m.snapshot.part == 0;
    std::string why;
    if (h.previous == 0) {
        // The node had no users in the room before this message: whatever
        // this node holds of it there is gone, and the picture is whole.
        if (stream.seen && !stream.members.empty()) {
            std::vector<std::int32_t> all(stream.members.begin(), stream.members.end());
            remove(nodes_.at(h.node), h.room, stream, all, &sink);
        }
        stream.synced = true;
    } else if (!stream.seen) {
        why = "first message about the room from this run of the node";
    } else if (h.previous != stream.last) {
        why = "missed messages about the room";
    }
    stream.seen = true;
    stream.last = h.seq;
    if (!why.empty()) {
        stream.synced = false;
        stream.collecting = false;
        stream.records.clear();
        if (!startsSnapshot) {
            sink.resync_needed(h.node, h.room, why);
        }
    }
    return true;
}

bool RemoteView::too_many(std::uint16_t id, std::size_t count, Sink& sink) {
    Node& node = nodes_.at(id);
    std::size_t others = where_.size() - node.users;
    if (count <= limits_.perNode && others + count <= limits_.total) {
        return false;
    }
    std::string why = "announced " + std::to_string(count) + " users; at most " +
                      std::to_string(limits_.perNode) + " per node and " +
                      std::to_string(limits_.total) + " of all other nodes are held";
    ended(id, node.incarnation);
    forget(id, sink);
    sink.cut_off(id, why);
    return true;
}

void RemoteView::ended(std::uint16_t id, std::uint64_t incarnation) {
    auto& runs = ended_[id];
    if (runs.size() == kEndedRunsKept) {
        runs.erase(runs.begin());
    }
    runs.push_back(incarnation);
}

bool RemoteView::has_ended(std::uint16_t id, std::uint64_t incarnation) const {
    auto found = ended_.find(id);
    return found != ended_.end() && std::find(found->second.begin(), found->second.end(),
                                              incarnation) != found->second.end();
}

void RemoteView::upsert(Node& node, Stream& stream, const stUserInfo& user, Sink& sink) {
    std::int32_t id = user.userId;
    std::uint32_t key = profile::room(user);
    if (where_.count(id) == 0) {
        rooms_[key][id] = user;
        where_[id] = key;
        stream.members.insert(id);
        ++node.users;
        sink.joined(user);
        return;
    }
    if (stream.members.count(id) == 0) {
        return;  // known in another room, where it must leave first
    }
    stUserInfo& known = rooms_[key][id];
    if (std::memcmp(&known, &user, kUserInfoSize) != 0) {
        known = user;
        sink.changed(user);
    }
}

void RemoteView::remove(Node& node, std::uint32_t room, Stream& stream,
                        const std::vector<std::int32_t>& ids, Sink* sink) {
    std::vector<std::int32_t> gone;
    for (std::int32_t id : ids) {
        if (stream.members.erase(id) == 0) {
            continue;
        }
        --node.users;
        where_.erase(id);
        auto found = rooms_.find(room);
        found->second.erase(id);
        if (found->second.empty()) {
            rooms_.erase(found);
        }
        gone.push_back(id);
    }
    if (sink != nullptr && !gone.empty()) {
        sink->departed(room, gone);
    }
}

void RemoteView::snapshot_part(std::uint16_t id, std::uint32_t room, const BusSnapshotPart& part,
                               Sink& sink) {
    Node& node = nodes_.at(id);
    Stream& stream = node.streams.at(room);
    if (part.part == 0) {
        stream.collecting = true;
        stream.snapshot = part.snapshot;
        stream.nextPart = 0;
        stream.records.clear();
    }
    if (!stream.collecting || part.snapshot != stream.snapshot || part.part != stream.nextPart) {
        return;  // a snapshot this node joined halfway: wait for a whole one
    }
    ++stream.nextPart;
    std::size_t others = node.users - stream.members.size();
    if (too_many(id, others + stream.records.size() + part.records.size(), sink)) {
        return;
    }
    stream.records.insert(stream.records.end(), part.records.begin(), part.records.end());
    if (!part.last) {
        return;
    }
    // The snapshot is the node's users in the room at this point of its
    // stream: whoever it does not hold has left, the others are entered or
    // refreshed.
    std::vector<stUserInfo> records = std::move(stream.records);
    stream.records.clear();
    stream.collecting = false;
    std::set<std::int32_t> present;
    for (const stUserInfo& user : records) {
        if (node_of(user.userId) == id && profile::room(user) == room) {
            present.insert(user.userId);
        }
    }
    std::vector<std::int32_t> gone;
    for (std::int32_t member : stream.members) {
        if (present.count(member) == 0) {
            gone.push_back(member);
        }
    }
    remove(node, room, stream, gone, &sink);
    for (const stUserInfo& user : records) {
        if (present.count(user.userId) != 0) {
            upsert(node, stream, user, sink);
        }
    }
    stream.synced = true;
}

void RemoteView::forget(std::uint16_t id, Sink& sink) {
    auto found = nodes_.find(id);
    if (found == nodes_.end()) {
        return;
    }
    Node& node = found->second;
    for (auto& [room, stream] : node.streams) {
        std::vector<std::int32_t> all(stream.members.begin(), stream.members.end());
        remove(node, room, stream, all, &sink);
    }
    nodes_.erase(found);
}

void RemoteView::unwatch(std::uint32_t room) {
    watched_.erase(room);
    for (auto& [id, node] : nodes_) {
        auto stream = node.streams.find(room);
        if (stream == node.streams.end()) {
            continue;
        }
        std::vector<std::int32_t> all(stream->second.members.begin(), stream->second.members.end());
        remove(node, room, stream->second, all, nullptr);
        node.streams.erase(stream);
    }
}

bool RemoteView::whole(std::uint32_t room) const {
    return missing(room).empty();
}

std::vector<std::uint16_t> RemoteView::missing(std::uint32_t room) const {
    std::vector<std::uint16_t> all;
    for (const auto& [id, node] : nodes_) {
        auto stream = node.streams.find(room);
        if (stream == node.streams.end() || !stream->second.synced) {
            all.push_back(id);
        }
    }
    return all;
}

const RemoteView::Room* RemoteView::room(std::uint32_t key) const {
    auto found = rooms_.find(key);
    return found == rooms_.end() ? nullptr : &found->second;
}

const stUserInfo* RemoteView::find(std::int32_t id) const {
    auto at = where_.find(id);
    if (at == where_.end()) {
        return nullptr;
    }
    return &rooms_.at(at->second).at(id);
}

std::vector<std::uint16_t> RemoteView::nodes() const {
    std::vector<std::uint16_t> all;
    for (const auto& [id, node] : nodes_) {
        all.push_back(id);
    }
    return all;
}

std::vector<std::pair<std::uint16_t, std::uint32_t>> RemoteView::unsynced() const {
    std::vector<std::pair<std::uint16_t, std::uint32_t>> all;
    for (const auto& [id, node] : nodes_) {
        for (const auto& [room, stream] : node.streams) {
            if (!stream.synced) {
                all.emplace_back(id, room);
            }
        }
    }
    return all;
}

}  // namespace palaver::server::cluster
