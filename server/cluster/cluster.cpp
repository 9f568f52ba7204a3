#include "server/cluster/cluster.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "PalaverProfile.h"
#include "protocol/client_messages.h"
#include "protocol/server_messages.h"
#include "server/banning.h"
#include "server/cluster/bus_origin.h"
#include "server/room.h"
#include "server/server_state.h"
#include "server/session.h"

namespace palaver::server::cluster {
namespace {

// Messages handed to the event loop and not yet handled; beyond this the
// bus thread drops them, and the gap leads to a snapshot.
constexpr std::size_t kMaxBacklog = 1u << 18;
constexpr std::size_t kMaxBacklogBytes = std::size_t{256} << 20;
// Rooms whose snapshot is asked for at once; more wait for the next ask.
constexpr std::size_t kMaxSnapshotsWanted = 65536;

std::uint64_t fresh_incarnation() {
    std::random_device random;
    std::uint64_t value = (std::uint64_t{random()} << 32) ^ random();
    return value ^ static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
}

LocationKey key_bytes(std::uint32_t key) {
    return {static_cast<std::uint8_t>(key), static_cast<std::uint8_t>(key >> 8),
            static_cast<std::uint8_t>(key >> 16), static_cast<std::uint8_t>(key >> 24)};
}

}  // namespace

Cluster::Cluster(asio::io_context& io, ServerState& state, const ClusterSettings& settings)
    : io_(io),
      state_(state),
      settings_(settings),
      incarnation_(fresh_incarnation()),
      view_(settings.node, RemoteView::Limits{settings.maxNodeUsers, settings.maxRemoteUsers}),
      timer_(io),
      ownSubject_(node_subject(settings.node)),
      nodes_(settings.nodes),
      inbox_(kMaxBacklog, kMaxBacklogBytes),
      bucket_(settings.node, nodes_, state.log(),
              [this](const std::string& key, const std::string& value) {
                  return bus_ && bus_->store(key, value);
              }) {
    bus_ = std::make_unique<NatsBus>(settings_, handlers());
    bucket_.resume_ids(bus_->load(bucket_.ids_key()));
    state_.log().info("cluster: node ", settings_.node, " on ", settings_.url, ", user ids from ",
                      bucket_.upcoming_id());
    // No user here yet: the other nodes' users are asked for room by room,
    // as this node's users enter.
    tick();
}

Cluster::~Cluster() {
    bus_.reset();
}

NatsBus::Handlers Cluster::handlers() {
    NatsBus::Handlers h;
    h.message = [this](std::string_view subject, const std::uint8_t* bytes, std::size_t size) {
        // A node speaks only for itself: on its own subject, as one of the
        // cluster's nodes. Anything else never reaches the event loop.
        received_.fetch_add(1, std::memory_order_relaxed);
        if (subject.substr(0, kRoomSubjectPrefix.size()) == kRoomSubjectPrefix) {
            roomReceived_.fetch_add(1, std::memory_order_relaxed);
        }
        auto header = decode_bus_header(bytes, size);
        if (header && !from_its_node(subject, *header, nodes_)) {
            refused_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        if (header) {
            heard_[header->node] = Clock::now().time_since_epoch().count();
        }
        if (inbox_.put(bytes, size) == Inbox::Put::Wake) {
            asio::post(io_, [this, since = Clock::now()] { take_inbox(since); });
        }
    };
    h.connection = [this](bool connected) {
        asio::post(io_, [this, connected] { on_connection(connected); });
    };
    h.problem = [this](const std::string& what) {
        asio::post(io_, [this, what] {
            if (auto line = problems_.pass(what, LogThrottle::Clock::now())) {
                state_.log().warn("cluster: ", *line);
            }
        });
    };
    h.stored = [this](const std::string& key, const std::string& value) {
        asio::post(io_, [this, key, value] { ban_stored(key, value); });
    };
    return h;
}

void Cluster::stop() {
    if (stopped_) {
        return;
    }
    timer_.cancel();
    out_.clear();
    encode_goodbye(out_, header(BusType::Goodbye));
    publish();
    stopped_ = true;
    bus_.reset();
}

BusHeader Cluster::header(BusType type, std::uint32_t room) {
    BusHeader h{type, settings_.node, incarnation_, ++seq_};
    if (is_room_type(type)) {
        h.room = room;
        auto own = ownRooms_.find(room);
        if (own != ownRooms_.end()) {
            h.previous = own->second.last;
            own->second.last = h.seq;
        }
    }
    return h;
}

void Cluster::publish() {
    if (bus_ && !stopped_) {
        bus_->publish(ownSubject_, out_);
    }
}

void Cluster::publish(std::uint32_t room) {
    // A message that cannot go out still took its place in the room's
    // chain: the other nodes see the gap and ask for a snapshot.
    if (!bus_ || stopped_) {
        return;
    }
    auto own = ownRooms_.find(room);
    bus_->publish(own != ownRooms_.end() ? own->second.subject : room_subject(room, settings_.node),
                  out_);
}

void Cluster::tick() {
    if (stopped_) {
        return;
    }
    out_.clear();
    encode_heartbeat(out_, header(BusType::Heartbeat), static_cast<std::uint32_t>(state_.users()));
    publish();
    check_liveness();
    auto now = Clock::now();
    for (auto [node, room] : view_.unsynced()) {
        auto asked = asked_.find({node, room});
        if (asked == asked_.end() || now - asked->second > settings_.timeout) {
            ask_for_snapshot(node, room);
        }
    }
    release_waiters(true);
    timer_.expires_after(settings_.heartbeat);
    timer_.async_wait([this](const asio::error_code& ec) {
        if (!ec) {
            tick();
        }
    });
}

void Cluster::check_liveness() {
    auto now = Clock::now().time_since_epoch().count();
    auto limit = std::chrono::duration_cast<Clock::duration>(settings_.timeout).count();
    for (std::uint16_t node : view_.nodes()) {
        auto silent = now - heard_[node].load();
        if (silent > limit) {
            state_.log().warn(
                "cluster: node ", node, " silent for ",
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::duration(silent))
                    .count(),
                " ms: its users leave");
            view_.forget(node, *this);
            asked_.erase(asked_.lower_bound({node, 0}), asked_.lower_bound({node + 1, 0}));
        }
    }
}

void Cluster::take_inbox(Clock::time_point since) {
    auto lost = inbox_.take(batch_);
    if (stopped_) {
        return;
    }
    busDelay_ = Clock::now() - since;
    dropped_ += lost;
    if (lost > 0) {
        state_.log().warn("cluster: this node fell behind the bus and dropped ", lost,
                          " messages; resynchronising");
        ask_for_snapshots(0);
    }
    Inbox::for_each(batch_, [this](const std::uint8_t* bytes, std::size_t size) {
        if (!stopped_) {
            on_bus(bytes, size);
        }
    });
    if (!waiting_.empty()) {
        release_waiters(false);
    }
}

void Cluster::on_bus(const std::uint8_t* bytes, std::size_t size) {
    auto m = decode_bus_message(bytes, size);
    if (!m) {
        state_.log().warn("cluster: dropped a malformed bus message of ", size, " bytes");
        return;
    }
    if (m->header.node == settings_.node) {
        if (!warnedSameId_) {
            warnedSameId_ = true;
            state_.log().error("cluster: another node runs with node id ", settings_.node,
                               "; its messages are ignored");
        }
        return;
    }
    if (m->header.type == BusType::SnapshotPart && m->snapshot.last) {
        asked_.erase({m->header.node, m->header.room});
    }
    view_.apply(*m, *this);
}

void Cluster::on_connection(bool connected) {
    if (stopped_) {
        return;
    }
    connected_ = connected;
    if (!connected) {
        state_.log().warn(
            "cluster: lost the bus; serving this node's users, the others leave "
            "after ",
            settings_.timeout.count(), " ms");
        return;
    }
    state_.log().info("cluster: the bus is back; resynchronising");
    // What this node said while away is lost: its snapshots tell the others
    // (the nodes that come back later ask again), and theirs tell it.
    for (const auto& [room, own] : ownRooms_) {
        snapshot_wanted(room);
    }
    ask_for_snapshots(0);
    bucket_.reconnected();
}

// --- what this node's users do, for the other nodes

std::int32_t Cluster::next_id() {
    return bucket_.next_id();
}

void Cluster::entered(const stUserInfo& user) {
    std::uint32_t room = profile::room(user);
    OwnRoom& own = ownRooms_[room];
    if (own.users++ == 0) {
        own.subject = room_subject(room, settings_.node);
        watch(room);  // a no-op when a login already waited for the room
    }
    out_.clear();
    encode_record(out_, header(BusType::Entered, room), user);
    publish(room);
}

void Cluster::left(std::int32_t id, std::uint32_t room) {
    out_.clear();
    encode_left(out_, header(BusType::Left, room), {id});
    publish(room);
    auto own = ownRooms_.find(room);
    if (own != ownRooms_.end() && --own->second.users == 0) {
        // The next message about the room starts a new chain (previous 0):
        // the other nodes then know this node had nobody there.
        ownRooms_.erase(own);
        if (waiting_.count(room) == 0) {
            unwatch(room);
        }
    }
}

void Cluster::updated(const stUserInfo& user) {
    std::uint32_t room = profile::room(user);
    out_.clear();
    encode_record(out_, header(BusType::Updated, room), user);
    publish(room);
}

void Cluster::talked(std::int32_t sender, std::int32_t target, std::uint32_t key, bool whisper,
                     const char* text, std::size_t length) {
    BusTalk talk{sender, target, key, static_cast<std::uint8_t>(whisper ? 1 : 0),
                 std::string(text, length)};
    out_.clear();
    encode_talk(out_, header(BusType::Talk, key), talk);
    publish(key);
}

bool Cluster::room_ready(std::uint32_t key, std::function<void()> ready) {
    if (stopped_ || !connected_) {
        return true;  // no answers would come: serve what is known
    }
    bool watched = view_.watching(key);
    watch(key);
    if (view_.whole(key)) {
        return true;
    }
    if (watched) {
        // An answer may have been lost: ask again whoever has not given the
        // room and was not asked lately.
        auto now = Clock::now();
        for (std::uint16_t node : view_.missing(key)) {
            auto asked = asked_.find({node, key});
            if (asked == asked_.end() || now - asked->second > settings_.timeout) {
                ask_for_snapshot(node, key);
            }
        }
    }
    Waiting& waiting = waiting_[key];
    if (waiting.ready.empty()) {
        waiting.until = Clock::now() + settings_.timeout;
    }
    waiting.ready.push_back(std::move(ready));
    return false;
}

void Cluster::release_waiters(bool expired) {
    auto now = Clock::now();
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        std::uint32_t room = it->first;
        if (!view_.whole(room) && !(expired && now >= it->second.until) && !stopped_) {
            ++it;
            continue;
        }
        auto ready = std::move(it->second.ready);
        it = waiting_.erase(it);
        for (auto& call : ready) {
            call();
        }
        if (ownRooms_.count(room) == 0 && waiting_.count(room) == 0) {
            unwatch(room);  // every waiting login gave up
        }
    }
}

void Cluster::watch(std::uint32_t room) {
    if (view_.watching(room)) {
        return;
    }
    view_.watch(room);
    if (bus_) {
        bus_->listen(room);
    }
    ask_for_snapshot(0, room);
}

void Cluster::unwatch(std::uint32_t room) {
    view_.unwatch(room);
    if (bus_) {
        bus_->stop_listening(room);
    }
    for (auto it = asked_.begin(); it != asked_.end();) {
        it = it->first.second == room ? asked_.erase(it) : std::next(it);
    }
}

const std::map<std::int32_t, stUserInfo>* Cluster::remote_room(std::uint32_t key) const {
    return view_.room(key);
}

const stUserInfo* Cluster::remote_user(std::int32_t id) const {
    return view_.find(id);
}

bool Cluster::kick(std::int32_t target, std::int32_t minutes, const std::string& admin,
                   const std::string& by) {
    // Addressed to the node the id names, whether or not this node sees
    // the user: that node checks the admin and finds its user.
    std::uint16_t node = node_of(target);
    if (node == settings_.node || !view_.knows(node)) {
        return false;
    }
    out_.clear();
    encode_kick(out_, header(BusType::Kick), BusKick{target, minutes, admin, by});
    publish();
    return true;
}

void Cluster::banned(const std::string& name, std::int32_t minutes) {
    bucket_.ban(name, minutes);
}

ClusterStats Cluster::stats() const {
    ClusterStats stats;
    auto now = Clock::now().time_since_epoch().count();
    for (std::uint16_t node : view_.nodes()) {
        auto silent = std::chrono::duration<double>(Clock::duration(now - heard_[node].load()));
        stats.silence.emplace_back(node, silent.count());
    }
    std::sort(stats.silence.begin(), stats.silence.end());
    stats.peers = stats.silence.size();
    stats.busDelay = std::chrono::duration<double>(busDelay_).count();
    stats.dropped = dropped_;
    stats.received = received_.load(std::memory_order_relaxed);
    stats.roomReceived = roomReceived_.load(std::memory_order_relaxed);
    stats.rooms = view_.watched().size();
    stats.refused = refused_.load(std::memory_order_relaxed);
    stats.stale = view_.stale();
    return stats;
}

void Cluster::unbanned(const std::string& name) {
    bucket_.unban(name);
}

void Cluster::ban_stored(const std::string& key, const std::string& value) {
    if (stopped_) {
        return;
    }
    auto news = bucket_.stored(key, value);
    if (!news) {
        return;
    }
    if (news->until) {
        if (ban_from_cluster(state_, news->name, *news->until) && !bansWritePosted_) {
            // One write of the bans file for all that arrive together.
            bansWritePosted_ = true;
            asio::post(io_, [this] {
                bansWritePosted_ = false;
                write_bans(state_);
            });
        }
    } else if (unban_name(state_, news->name, false)) {
        state_.log().info("cluster: the ban of \"", untrusted(news->name), "\" was lifted");
    }
}

// --- what the other nodes' users do, for this node's

void Cluster::joined(const stUserInfo& user) {
    if (Room* room = state_.room(profile::room(user))) {
        auto m = encode_user_entered(user);
        room->broadcast(state_.pool().copy(m.data(), m.size()));
    }
}

void Cluster::departed(std::uint32_t key, const std::vector<std::int32_t>& ids) {
    Room* room = state_.room(key);
    if (room == nullptr) {
        return;
    }
    for (std::size_t at = 0; at < ids.size(); at += kMaxIdsPerMessage) {
        std::size_t count = std::min(kMaxIdsPerMessage, ids.size() - at);
        BufferRef m = state_.pool().make(users_left_size(count));
        m.shrink(encode_users_left(m.writable(), ids.data() + at, count));
        room->broadcast(m);
    }
}

void Cluster::changed(const stUserInfo& user) {
    if (Room* room = state_.room(profile::room(user))) {
        BufferRef m = state_.pool().make(record_list_size(1));
        m.shrink(encode_users_updated(m.writable(), &user, 1));
        room->broadcast(m);
    }
}

void Cluster::heard(const BusTalk& talk) {
    Room* room = state_.room(talk.key);
    if (room == nullptr) {
        return;
    }
    bool whisper = talk.flag == 1;
    BufferRef m = state_.pool().make(kTalkFixedSize + talk.text.size());
    palaver::encode_talk(m.writable(), talk.sender, talk.target, key_bytes(talk.key), whisper,
                         talk.text.data(), talk.text.size());
    if (!whisper) {
        room->broadcast(m);
        return;
    }
    Session* target = state_.find(talk.target);
    if (target != nullptr && target->room == room) {
        target->deliver(m);
    }
}

void Cluster::kick_asked(const BusKick& kick, std::uint16_t from) {
    if (node_of(kick.target) != settings_.node) {
        return;
    }
    Session* target = state_.find(kick.target);
    if (target == nullptr) {
        state_.log().info("cluster: ignored a kick of id ", kick.target, " from node ", from,
                          ": not here");
        return;
    }
    // Only an admin of this node's own accounts file may kick here.
    const auto& accounts = state_.settings().accounts;
    const Account* account = accounts ? accounts->find(kick.admin) : nullptr;
    if (account == nullptr || !account->admin) {
        state_.log().warn("cluster: ignored a kick of id ", kick.target, " from node ", from,
                          " by \"", untrusted(kick.admin), "\", not an admin here");
        return;
    }
    // kick.by is the kicking node's Session::describe(), its name escaped
    // there; Log::emit escapes any control byte a broken node might send.
    state_.log().info("kick ", target->describe(), " by ", kick.by, " on node ", from,
                      ", banned for ", kick.minutes > 0 ? kick.minutes : 0, " min");
    std::string by = kick.by + " on node " + std::to_string(from);
    std::string name = target->loginName;
    target->close(CloseCause::Kicked, "kicked by " + by);
    // Every other session of the name, here and on every node.
    ban_name(state_, name, kick.minutes, by);
}

void Cluster::resync_needed(std::uint16_t node, std::uint32_t room, const std::string& why) {
    state_.log().info("cluster: node ", node, ", room ", room, ": ", why,
                      "; asking for its snapshot");
    ask_for_snapshot(node, room);
}

void Cluster::cut_off(std::uint16_t node, const std::string& why) {
    state_.log().error("cluster: node ", node, " ", why, "; cut off until it restarts");
    asked_.erase(asked_.lower_bound({node, 0}), asked_.lower_bound({node + 1, 0}));
}

void Cluster::ask_for_snapshot(std::uint16_t node, std::uint32_t room) {
    if (node != 0) {
        asked_[{node, room}] = Clock::now();
    }
    out_.clear();
    encode_resync_request(out_, header(BusType::ResyncRequest), BusResync{node, {room}});
    publish();
}

void Cluster::ask_for_snapshots(std::uint16_t node) {
    BusResync resync{node, {}};
    auto send = [&] {
        out_.clear();
        encode_resync_request(out_, header(BusType::ResyncRequest), resync);
        publish();
        resync.rooms.clear();
    };
    auto now = Clock::now();
    for (std::uint32_t room : view_.watched()) {
        if (node != 0) {
            asked_[{node, room}] = now;
        }
        resync.rooms.push_back(room);
        if (resync.rooms.size() == kMaxResyncRooms) {
            send();
        }
    }
    if (!resync.rooms.empty()) {
        send();
    }
}

void Cluster::met(std::uint16_t node) {
    ask_for_snapshots(node);
}

void Cluster::snapshot_wanted(std::uint32_t room) {
    // Requests that come together get one snapshot of each room, taken
    // after all of them. A node asks only for rooms it has users in.
    if (snapshotsWanted_.size() >= kMaxSnapshotsWanted) {
        return;
    }
    snapshotsWanted_.insert(room);
    if (snapshotPosted_) {
        return;
    }
    snapshotPosted_ = true;
    asio::post(io_, [this] {
        snapshotPosted_ = false;
        auto rooms = std::move(snapshotsWanted_);
        snapshotsWanted_.clear();
        for (std::uint32_t room : rooms) {
            send_snapshot(room);
        }
    });
}

void Cluster::send_snapshot(std::uint32_t room) {
    if (stopped_) {
        return;
    }
    std::vector<stUserInfo> all;
    if (const Room* here = state_.room(room)) {
        all.reserve(here->members().size());
        for (const Session* s : here->members()) {
            all.push_back(s->user());
        }
    }
    std::uint32_t snapshot = ++snapshots_;
    std::size_t at = 0;
    std::uint16_t part = 0;
    do {
        std::size_t count = std::min(kMaxSnapshotRecords, all.size() - at);
        bool last = at + count == all.size();
        out_.clear();
        encode_snapshot_part(out_, header(BusType::SnapshotPart, room), snapshot, part++, last,
                             all.data() + at, count);
        publish(room);
        at += count;
    } while (at < all.size());
}

}  // namespace palaver::server::cluster
