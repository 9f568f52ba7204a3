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
        Node& fresh = nodes_[h.node];
        fresh.incarnation = h.incarnation;
        fresh.nextSeq = h.seq + 1;
        if (h.type != BusType::Goodbye) {
            sink.resync_needed(h.node, "first message of this run of the node");
        }
        found = nodes_.find(h.node);
    } else if (!follow(found->second, h, sink)) {
        return;
    }
    Node& node = found->second;
    if (!node.synced && needs_whole_picture(h.type)) {
        ++stale_;  // the snapshot asked for brings the node's users
        return;
    }

    switch (h.type) {
        case BusType::Heartbeat:
            break;
        case BusType::Entered:
        case BusType::Updated:
            if (node_of(m.record.userId) == h.node) {
                if (node.members.count(m.record.userId) == 0 &&
                    too_many(h.node, node.members.size() + 1, sink)) {
                    return;
                }
                upsert(node, m.record, sink);
            }
            break;
        case BusType::Left:
            remove(node, m.ids, sink);
            break;
        case BusType::Talk:
            if (node_of(m.talk.sender) == h.node) {
                sink.heard(m.talk);
            }
            break;
        case BusType::Kick:
            sink.kick_asked(m.kick, h.node);
            break;
        case BusType::SnapshotPart:
            snapshot_part(node, h.node, m.snapshot, sink);
            break;
        case BusType::ResyncRequest:
            if (m.resyncNode == 0 || m.resyncNode == self_) {
                sink.snapshot_wanted();
            }
            break;
        case BusType::Goodbye:
            ended(h.node, h.incarnation);
            forget(h.node, sink);
            break;
    }
}

bool RemoteView::follow(Node& node, const BusHeader& h, Sink& sink) {
    if (h.seq == node.nextSeq) {
        ++node.nextSeq;
        return true;
    }
    if (h.seq < node.nextSeq) {
        // At or below what was taken from that node: a replay or a copy.
        ++stale_;
        return false;
    }
    // Messages went missing: what this node knows of that one may be wrong
    // until its next snapshot.
    std::string why = "missed " + std::to_string(h.seq - node.nextSeq) + " messages";
    node.synced = false;
    node.collecting = false;
    node.records.clear();
    node.nextSeq = h.seq + 1;
    sink.resync_needed(h.node, why);
    return true;
}

bool RemoteView::too_many(std::uint16_t id, std::size_t count, Sink& sink) {
    Node& node = nodes_.at(id);
    std::size_t others = where_.size() - node.members.size();
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

void RemoteView::upsert(Node& node, const stUserInfo& user, Sink& sink) {
    std::int32_t id = user.userId;
    std::uint32_t key = profile::room(user);
    auto at = where_.find(id);
    if (at != where_.end() && at->second != key) {
        remove(node, {id}, sink);  // in another room now: leave that one first
        at = where_.end();
    }
    if (at == where_.end()) {
        rooms_[key][id] = user;
        where_[id] = key;
        node.members.insert(id);
        sink.joined(user);
        return;
    }
    stUserInfo& known = rooms_[key][id];
    if (std::memcmp(&known, &user, kUserInfoSize) != 0) {
        known = user;
        sink.changed(user);
    }
}

void RemoteView::remove(Node& node, const std::vector<std::int32_t>& ids, Sink& sink) {
    std::map<std::uint32_t, std::vector<std::int32_t>> byRoom;
    for (std::int32_t id : ids) {
        if (node.members.erase(id) == 0) {
            continue;
        }
        auto at = where_.find(id);
        std::uint32_t key = at->second;
        where_.erase(at);
        auto room = rooms_.find(key);
        room->second.erase(id);
        if (room->second.empty()) {
            rooms_.erase(room);
        }
        byRoom[key].push_back(id);
    }
    for (const auto& [key, gone] : byRoom) {
        sink.departed(key, gone);
    }
}

void RemoteView::snapshot_part(Node& node, std::uint16_t id, const BusSnapshotPart& part,
                               Sink& sink) {
    if (part.part == 0) {
        node.collecting = true;
        node.snapshot = part.snapshot;
        node.nextPart = 0;
        node.records.clear();
    }
    if (!node.collecting || part.snapshot != node.snapshot || part.part != node.nextPart) {
        return;  // a snapshot this node joined halfway: wait for a whole one
    }
    ++node.nextPart;
    if (too_many(id, node.records.size() + part.records.size(), sink)) {
        return;
    }
    node.records.insert(node.records.end(), part.records.begin(), part.records.end());
    if (!part.last) {
        return;
    }
    // The snapshot is the node's users at this point of its stream: whoever
    // it does not hold has left, the others are entered or refreshed.
    std::set<std::int32_t> present;
    for (const stUserInfo& user : node.records) {
        if (node_of(user.userId) == id) {
            present.insert(user.userId);
        }
    }
    std::vector<std::int32_t> gone;
    for (std::int32_t member : node.members) {
        if (present.count(member) == 0) {
            gone.push_back(member);
        }
    }
    remove(node, gone, sink);
    for (const stUserInfo& user : node.records) {
        if (node_of(user.userId) == id) {
            upsert(node, user, sink);
        }
    }
    node.collecting = false;
    node.records.clear();
    node.synced = true;
}

void RemoteView::forget(std::uint16_t id, Sink& sink) {
    auto found = nodes_.find(id);
    if (found == nodes_.end()) {
        return;
    }
    std::vector<std::int32_t> all(found->second.members.begin(), found->second.members.end());
    remove(found->second, all, sink);
    nodes_.erase(id);
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

std::vector<std::uint16_t> RemoteView::unsynced() const {
    std::vector<std::uint16_t> all;
    for (const auto& [id, node] : nodes_) {
        if (!node.synced) {
            all.push_back(id);
        }
    }
    return all;
}

}  // namespace palaver::server::cluster
