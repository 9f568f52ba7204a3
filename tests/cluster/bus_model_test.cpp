// The bus messages and a node's picture of the others, without a bus.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "PalaverProfile.h"
#include "server/cluster/bus_message.h"
#include "server/cluster/bus_origin.h"
#include "server/cluster/inbox.h"
#include "server/cluster/remote_view.h"

namespace palaver::server::cluster {
namespace {

stUserInfo user(std::int32_t id, std::uint32_t room, const char* name) {
    stUserInfo u{};
    u.userId = id;
    profile::set_name(u, name);
    profile::set_room(u, room);
    return u;
}

constexpr std::int32_t kBob = (2 << kNodeShift) | 1;
constexpr std::int32_t kCarol = (2 << kNodeShift) | 2;

TEST(BusMessage, EveryTypeRoundTripsAndNoCutOrPaddedOneDecodes) {
    BusHeader h{BusType::Entered, 2, 0x1122334455667788ULL, 9, 3, 5};
    std::vector<std::vector<std::uint8_t>> all(8);
    encode_heartbeat(all[0], h, 5);
    encode_record(all[1], h, user(kBob, 3, "bob"));
    encode_left(all[2], h, {kBob, kCarol});
    encode_talk(all[3], h, BusTalk{kBob, -1, 3, 1, std::string("hi\0there", 8)});
    encode_kick(all[4], h, BusKick{kCarol, 10, "boss", "id 1 \"boss\""});
    stUserInfo records[2] = {user(kBob, 3, "bob"), user(kCarol, 4, "carol")};
    encode_snapshot_part(all[5], h, 7, 1, true, records, 2);
    encode_resync_request(all[6], h, BusResync{3, {7, 8}});
    encode_goodbye(all[7], h);

    for (const auto& bytes : all) {
        auto m = decode_bus_message(bytes.data(), bytes.size());
        ASSERT_TRUE(m);
        EXPECT_EQ(m->header.node, 2);
        EXPECT_EQ(m->header.incarnation, h.incarnation);
        EXPECT_EQ(m->header.seq, 9u);
        EXPECT_EQ(m->header.room, 3u);
        EXPECT_EQ(m->header.previous, 5u);
        for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
            EXPECT_FALSE(decode_bus_message(bytes.data(), cut)) << "cut to " << cut;
        }
        auto padded = bytes;
        padded.push_back(0);
        EXPECT_FALSE(decode_bus_message(padded.data(), padded.size()));
    }
    auto talk = decode_bus_message(all[3].data(), all[3].size())->talk;
    EXPECT_EQ(talk.text, std::string("hi\0there", 8));
    EXPECT_EQ(talk.flag, 1);
    EXPECT_EQ(decode_bus_message(all[2].data(), all[2].size())->ids,
              (std::vector<std::int32_t>{kBob, kCarol}));
    auto part = decode_bus_message(all[5].data(), all[5].size())->snapshot;
    ASSERT_EQ(part.records.size(), 2u);
    EXPECT_EQ(profile::name(part.records[1]), "carol");
    EXPECT_TRUE(part.last);
    EXPECT_EQ(decode_bus_message(all[6].data(), all[6].size())->resync.rooms,
              (std::vector<std::uint32_t>{7, 8}));

    auto wrongVersion = all[0];
    wrongVersion[0] = 1;
    EXPECT_FALSE(decode_bus_message(wrongVersion.data(), wrongVersion.size()));
}

struct Recorder : RemoteView::Sink {
    void joined(const stUserInfo& u) override { events.push_back("+" + profile::name(u)); }
    void departed(std::uint32_t, const std::vector<std::int32_t>& ids) override {
        for (auto id : ids) {
            events.push_back("-" + std::to_string(id & 0xffffff));
        }
    }
    void changed(const stUserInfo& u) override { events.push_back("~" + profile::name(u)); }
    void heard(const BusTalk& t) override { events.push_back("talk " + t.text); }
    void kick_asked(const BusKick&, std::uint16_t) override { events.push_back("kick"); }
    void resync_needed(std::uint16_t node, std::uint32_t room, const std::string&) override {
        events.push_back("resync " + std::to_string(node) + "/" + std::to_string(room));
    }
    void snapshot_wanted(std::uint32_t room) override {
        events.push_back("snapshot wanted " + std::to_string(room));
    }
    void met(std::uint16_t node) override { events.push_back("met " + std::to_string(node)); }
    void cut_off(std::uint16_t node, const std::string&) override {
        events.push_back("cut off " + std::to_string(node));
    }
    std::vector<std::string> take() { return std::exchange(events, {}); }
    std::vector<std::string> events;
};

// One node's messages; one about a room follows its previous one there.
class Feed {
  public:
    explicit Feed(std::uint64_t incarnation = 1, std::uint16_t node = 2)
        : incarnation_(incarnation), node_(node) {}
    BusMessage next(BusType type, std::uint32_t room = 3) {
        BusMessage m;
        m.header = BusHeader{type, node_, incarnation_, ++seq_};
        if (is_room_type(type)) {
            m.header.room = room;
            m.header.previous = std::exchange(last_[room], seq_);
        }
        return m;
    }
    BusMessage snapshot(std::vector<stUserInfo> records, std::uint32_t room = 3) {
        BusMessage m = next(BusType::SnapshotPart, room);
        m.snapshot = BusSnapshotPart{1, 0, true, std::move(records)};
        return m;
    }
    // A message about the room that never arrives.
    void lose(std::uint32_t room = 3) { last_[room] = ++seq_; }
    // The node's last user there left: its next message starts anew.
    void empty(std::uint32_t room = 3) { last_.erase(room); }

  private:
    std::uint64_t incarnation_;
    std::uint16_t node_;
    std::uint64_t seq_ = 0;
    std::map<std::uint32_t, std::uint64_t> last_;
};

using Events = std::vector<std::string>;

TEST(RemoteView, FollowsEachNodeInEachWatchedRoomOnlyWhenWholeAndDropsReplaysAndOldRuns) {
    RemoteView view(1);
    view.watch(3);
    view.watch(4);
    Recorder sink;
    Feed feed;
    stUserInfo bob = user(kBob, 3, "bob");
    feed.lose();  // before this node watched the room
    auto entered = feed.next(BusType::Entered);
    entered.record = bob;
    view.apply(entered, sink);
    EXPECT_EQ(sink.take(), (Events{"met 2", "resync 2/3"})) << "not applied before a snapshot";
    EXPECT_FALSE(view.whole(3));
    EXPECT_EQ(view.missing(3), std::vector<std::uint16_t>{2});
    view.apply(feed.snapshot({bob}), sink);
    EXPECT_EQ(sink.take(), Events{"+bob"});
    ASSERT_NE(view.room(3), nullptr);
    EXPECT_EQ(view.room(3)->size(), 1u);
    EXPECT_TRUE(view.whole(3));

    auto talk = feed.next(BusType::Talk);
    talk.talk = BusTalk{kBob, -1, 3, 0, "hi"};
    view.apply(talk, sink);
    view.apply(talk, sink);
    view.apply(entered, sink);
    auto spoofed = feed.next(BusType::Talk);
    spoofed.talk = BusTalk{(3 << kNodeShift) | 1, -1, 3, 0, "not node 2's user"};
    view.apply(spoofed, sink);
    EXPECT_EQ(sink.take(), Events{"talk hi"}) << "a replay is applied once";
    EXPECT_EQ(view.stale(), 3u);

    // Carol entered in a message that never arrived; bob left in another.
    // Until the snapshot, changes to the node's users there are not
    // applied; a line in order is (no snapshot holds it).
    feed.lose();
    feed.lose();
    auto rename = feed.next(BusType::Updated);
    rename.record = user(kBob, 3, "bobby");
    view.apply(rename, sink);
    auto line = feed.next(BusType::Talk);
    line.talk = BusTalk{kBob, -1, 3, 0, "while resyncing"};
    view.apply(line, sink);
    EXPECT_EQ(sink.take(), (Events{"resync 2/3", "talk while resyncing"}));
    using Pairs = std::vector<std::pair<std::uint16_t, std::uint32_t>>;
    EXPECT_EQ(view.unsynced(), (Pairs{{2, 3}}));
    stUserInfo carol = user(kCarol, 3, "carol");
    auto first = feed.next(BusType::SnapshotPart);
    first.snapshot = BusSnapshotPart{5, 0, false, {}};
    auto last = feed.next(BusType::SnapshotPart);
    last.snapshot =
        BusSnapshotPart{5, 1, true, {carol, user((2 << kNodeShift) | 9, 4, "elsewhere")}};
    view.apply(first, sink);
    view.apply(last, sink);
    EXPECT_EQ(sink.take(), (Events{"-1", "+carol"})) << "a room's snapshot holds only that room";
    EXPECT_TRUE(view.unsynced().empty());
    EXPECT_EQ(view.find(kBob), nullptr);

    // The node's first user in room 4 needs no snapshot; once this node
    // stops watching the room, its users there go unannounced and its
    // messages there are ignored.
    auto dave = feed.next(BusType::Entered, 4);
    dave.record = user((2 << kNodeShift) | 4, 4, "dave");
    view.apply(dave, sink);
    view.unwatch(4);
    auto late = feed.next(BusType::Talk, 4);
    late.talk = BusTalk{(2 << kNodeShift) | 4, -1, 4, 0, "nobody listens"};
    view.apply(late, sink);
    EXPECT_EQ(sink.take(), Events{"+dave"});
    EXPECT_EQ(view.room(4), nullptr);
    // The node's last user leaves room 3 and another comes: a new chain.
    auto left = feed.next(BusType::Left);
    left.ids = {kCarol};
    view.apply(left, sink);
    feed.empty();
    entered = feed.next(BusType::Entered);
    entered.record = bob;
    view.apply(entered, sink);
    EXPECT_EQ(sink.take(), (Events{"-2", "+bob"}));

    // The node restarts under the same id: its former users are gone, and
    // its former run, replayed, changes nothing.
    Feed again(2);
    view.apply(again.next(BusType::Heartbeat), sink);
    EXPECT_EQ(sink.take(), (Events{"-1", "met 2"}));
    view.apply(again.snapshot({bob}), sink);
    view.apply(feed.next(BusType::Goodbye), sink);
    EXPECT_EQ(sink.take(), Events{"+bob"});
    auto ask = again.next(BusType::ResyncRequest);
    ask.resync = BusResync{1, {3}};
    view.apply(ask, sink);
    auto other = again.next(BusType::ResyncRequest);
    other.resync = BusResync{5, {3}};
    view.apply(other, sink);
    view.forget(2, sink);
    EXPECT_EQ(sink.take(), (Events{"snapshot wanted 3", "-1"}));
    EXPECT_TRUE(view.nodes().empty());
}

TEST(RemoteView, CutsOffANodeThatAnnouncesMoreUsersThanItHolds) {
    RemoteView view(1, RemoteView::Limits{2, 3});
    view.watch(3);
    Recorder sink;
    Feed two(1, 2), three(1, 3);
    auto three_user = [](std::int32_t n) { return user((3 << kNodeShift) | n, 3, "x"); };
    view.apply(two.snapshot({user(kBob, 3, "bob"), user(kCarol, 3, "carol")}), sink);
    view.apply(three.snapshot({three_user(1), three_user(2)}), sink);
    EXPECT_EQ(sink.take(), (Events{"met 2", "+bob", "+carol", "met 3", "cut off 3"}))
        << "four users in all, three are held";
    auto third = two.next(BusType::Entered);
    third.record = user((2 << kNodeShift) | 3, 3, "dave");
    view.apply(third, sink);
    view.apply(two.next(BusType::Heartbeat), sink);
    view.apply(three.next(BusType::Heartbeat), sink);
    EXPECT_EQ(sink.take(), (Events{"-1", "-2", "cut off 2"}))
        << "three users of one node, two are held; a cut-off run is not heard again";
    EXPECT_TRUE(view.nodes().empty());
    EXPECT_EQ(view.find(kBob), nullptr);
}

TEST(BusOrigin, AMessageIsTakenOnlyOnItsOwnNodesSubjectsFromAClusterNode) {
    EXPECT_EQ(parse_subject("palaver.node.127")->node, 127);
    auto room = parse_subject(room_subject(0xa1b2c3d4, 7));
    ASSERT_TRUE(room);
    EXPECT_EQ(room->node, 7);
    EXPECT_EQ(room->room, 0xa1b2c3d4u);
    EXPECT_EQ(room_subject(3, 12), "palaver.room.00000003.12");
    for (const char* bad :
         {"palaver.node.", "palaver.node.0", "palaver.node.07", "palaver.node.128",
          "palaver.node.1000", "palaver.node.2x", "palaver.node.*", "palaver.nod.2",
          "$KV.palaver.ban.61", "palaver.room.00000003", "palaver.room.00000003.",
          "palaver.room.0000003.2", "palaver.room.0000000A.2", "palaver.room.*.2",
          "palaver.room.00000003.2.1"}) {
        EXPECT_FALSE(parse_subject(bad)) << bad;
    }
    BusHeader h{BusType::Heartbeat, 2, 1, 1};
    NodeSet all;
    EXPECT_TRUE(from_its_node("palaver.node.2", h, all));
    EXPECT_FALSE(from_its_node("palaver.node.3", h, all)) << "node 3 speaking as node 2";
    EXPECT_FALSE(from_its_node("palaver.room.00000003.2", h, all)) << "not about a room";
    NodeSet some({1, 3});
    EXPECT_FALSE(from_its_node("palaver.node.2", h, some)) << "not one of the cluster's";
    BusHeader talk{BusType::Talk, 3, 1, 2, 3};
    EXPECT_TRUE(from_its_node("palaver.room.00000003.3", talk, some));
    EXPECT_FALSE(from_its_node("palaver.room.00000004.3", talk, some)) << "another room's";
    EXPECT_FALSE(from_its_node("palaver.node.3", talk, some)) << "a room's on the node's";
    EXPECT_FALSE(all.contains(0));
}

TEST(Inbox, WakesOncePerBatchKeepsOrderAndCountsWhatItDrops) {
    Inbox inbox(3, 1000);
    const std::uint8_t a[] = {1, 2}, b[] = {3}, big[600] = {};
    EXPECT_EQ(inbox.put(a, sizeof a), Inbox::Put::Wake);
    EXPECT_EQ(inbox.put(b, sizeof b), Inbox::Put::Queued);
    EXPECT_EQ(inbox.put(big, sizeof big), Inbox::Put::Queued);
    EXPECT_EQ(inbox.put(b, sizeof b), Inbox::Put::Dropped) << "three messages at most";
    std::vector<std::uint8_t> batch;
    EXPECT_EQ(inbox.take(batch), 1u);
    std::vector<std::size_t> sizes;
    Inbox::for_each(batch, [&](const std::uint8_t* p, std::size_t n) {
        sizes.push_back(n);
        EXPECT_TRUE(n == sizeof big || p[0] == (n == 2 ? 1 : 3));
    });
    EXPECT_EQ(sizes, (std::vector<std::size_t>{2, 1, 600}));

    EXPECT_EQ(inbox.put(big, sizeof big), Inbox::Put::Wake) << "taken: the next one wakes";
    EXPECT_EQ(inbox.put(big, sizeof big), Inbox::Put::Dropped) << "1000 bytes at most";
    EXPECT_EQ(inbox.take(batch), 1u);
    EXPECT_EQ(inbox.take(batch), 0u);
    EXPECT_TRUE(batch.empty());
}

}  // namespace
}  // namespace palaver::server::cluster
