// Three palaver-server nodes on one nats-server, all started here on
// loopback: the library as a host on node 1, raw clients on the others.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nats/nats.h>
#include <sodium.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <stdexcept>

#include "lib/connection/timing.h"
#include "nats_process.h"
#include "protocol/server_messages.h"
#include "server/cluster/bus_message.h"
#include "server/cluster/bus_origin.h"
#include "server_harness.h"
#include "server_process.h"
#include "test_certs.h"

namespace palaver::test {
namespace {

using Node = std::unique_ptr<ServerProcess>;
using Ids = std::set<std::int32_t>;
constexpr auto kDeadline = 10000ms;
// Nodes are taken for dead after 1 s of silence; the cluster promises 5 s.
constexpr auto kRecovery = 5000ms;

// Recovery times go to the test's output, for docs/cluster.md.
void report(const char* what, std::chrono::steady_clock::time_point since) {
    auto ms = std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - since);
    std::printf("%s after %lld ms\n", what, static_cast<long long>(ms.count()));
}

// A user nkey as nats-server and the NATS client take them: an Ed25519 key
// pair; the public key and the seed each with their prefix and a CRC-16,
// in base32 without padding.
struct NKey {
    std::string publicKey;
    std::string seed;
};

std::string nkey_text(std::vector<std::uint8_t> bytes) {
    std::uint16_t crc = 0;  // CRC-16/XMODEM
    for (std::uint8_t b : bytes) {
        crc = static_cast<std::uint16_t>(crc ^ (b << 8));
        for (int i = 0; i < 8; ++i) {
            crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    bytes.push_back(static_cast<std::uint8_t>(crc & 0xff));
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::string text;
    unsigned buffer = 0;
    int bits = 0;
    for (std::uint8_t b : bytes) {
        buffer = (buffer << 8) | b;
        for (bits += 8; bits >= 5; bits -= 5) {
            text += alphabet[(buffer >> (bits - 5)) & 31];
        }
    }
    if (bits > 0) {
        text += alphabet[(buffer << (5 - bits)) & 31];
    }
    return text;
}

NKey make_user_nkey() {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium did not start");
    }
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(pk, sk);
    constexpr std::uint8_t user = 20 << 3, seed = 18 << 3;
    std::vector<std::uint8_t> publicKey{user};
    publicKey.insert(publicKey.end(), pk, pk + 32);
    std::vector<std::uint8_t> seedBytes{seed | user >> 5, (user & 31) << 3};
    seedBytes.insert(seedBytes.end(), sk, sk + 32);  // the secret key starts with its seed
    return {nkey_text(publicKey), nkey_text(seedBytes)};
}

// The bus the nodes meet on: nats-server's defaults; one user per node who
// may publish only on its own subject (and to the bucket through JetStream)
// and listen to every node's, as docs/cluster.md secures it; those users
// behind TLS, its certificate verified against the test CA.
enum class Bus { Open, Users, UsersAndTls };

// What a node asks of JetStream for the bucket: make it or find it, watch
// the bans, read its id reservation, store bans.
constexpr const char* kBucketApi =
    "\"$JS.API.INFO\", \"$JS.API.STREAM.NAMES\", \"$JS.API.STREAM.INFO.KV_palaver\", "
    "\"$JS.API.STREAM.CREATE.KV_palaver\", \"$JS.API.CONSUMER.CREATE.KV_palaver\", "
    "\"$JS.API.CONSUMER.CREATE.KV_palaver.>\", "
    "\"$JS.API.CONSUMER.DELETE.KV_palaver.>\", \"$JS.API.DIRECT.GET.KV_palaver.>\", "
    "\"$JS.API.STREAM.MSG.GET.KV_palaver\", \"$JS.FC.KV_palaver.>\", \"$KV.palaver.ban.>\"";

class ClusterFixture : public ::testing::Test {
  protected:
    explicit ClusterFixture(Bus kind) : bus(kind) {}

    void SetUp() override {
        if (std::string(PALAVER_NATS_SERVER).empty()) {
            GTEST_SKIP() << "nats-server is not installed";
        }
        nats.emplace(PALAVER_NATS_SERVER, bus_configuration());
        ASSERT_FALSE(nats->url().empty()) << "nats-server did not start";
        std::ofstream(accounts) << "host pw admin\nbob pw\ncarol pw\ndave pw\n";
        ::chmod(accounts.c_str(), 0600);
        for (int id = 1; id <= 3; ++id) {
            nodes.push_back(start_node(id));
            ASSERT_NE(nodes.back()->port(), 0) << "node " << id << " did not start";
        }
        timing().receiveTimeoutMs = 200;
        ASSERT_EQ(chatComunicate::SetServerIPandPort("127.0.0.1", port(1)), 1);
    }
    void TearDown() override {
        chatComunicate::Logout();
        std::remove(accounts.c_str());
        for (int id = 1; id <= 5; ++id) {
            std::remove(control(id).c_str());  // a killed node's is left behind
            std::remove(credentials(id).c_str());
        }
    }

    Node start_node(int id, const std::string& listen = "127.0.0.1:0") {
        std::vector<std::string> options = bus_options(id);
        const std::vector<std::string> common{
            "--cluster", bus_url(), "--node-id", std::to_string(id), "--accounts", accounts,
            "--reuse-port", "--log-level", "warn", "--control", control(id), "--cluster-nodes",
            "1,2,3,4,5", "--cluster-heartbeat-ms", "100", "--cluster-timeout-ms", "1000",
            "--cluster-reconnect-ms", "100",
            // Retries connect again and again from loopback.
            "--max-per-address", "0", "--connect-rate", "0"};
        options.insert(options.begin(), common.begin(), common.end());
        return std::make_unique<ServerProcess>(PALAVER_SERVER_BINARY, options, listen);
    }
    std::uint16_t port(int node) const { return nodes.at(node - 1)->port(); }
    std::string control(int node) const { return accounts + "-ctl-" + std::to_string(node); }

    int login(const char* name) {
        stUserInfo me = make_user(name, 3);
        return chatComunicate::Login(me, "pw");
    }
    Ids users() {
        std::set<stUserInfo> set;
        chatComunicate::GetUserList(set);
        Ids ids;
        for (const auto& u : set) {
            ids.insert(u.userId);
        }
        return ids;
    }
    std::string name_of(std::int32_t id) {
        std::set<stUserInfo> set;
        chatComunicate::GetUserList(set);
        for (const auto& u : set) {
            if (u.userId == id) {
                return u.name;
            }
        }
        return {};
    }
    // Chat lines that reach the host, kept across polls; the notices the
    // library makes of users coming and going (sender -2) are left out, as
    // they come whenever the nodes see a user of an earlier test leave.
    std::vector<stChatContent>& lines() {
        chatComunicate::GetTalk(heard);
        heard.erase(std::remove_if(heard.begin(), heard.end(),
                                   [](const stChatContent& c) { return c.sender == -2; }),
                    heard.end());
        return heard;
    }
    // Waits until the raw client heard of every id in `ids`.
    static bool hears_entered(RawClient& c, Ids ids) {
        while (!ids.empty()) {
            auto m = c.next_of(kEntered, kDeadline);
            if (!m) {
                return false;
            }
            ids.erase(decode_user_entered(m->frame())->userId);
        }
        return true;
    }
    // The next Talk from `sender`, skipping everything else.
    static std::optional<TalkView> talk_from(RawClient& c, std::int32_t sender,
                                             std::optional<Received>& kept) {
        while ((kept = c.next_of(kTalk, kDeadline))) {
            auto t = decode_talk(kept->frame());
            if (t && t->sender == sender) {
                return t;
            }
        }
        return std::nullopt;
    }
    // Until the ban reaches that node a login may still succeed, or be cut
    // off by the ban as it arrives: try again.
    static bool banned_on(std::uint16_t port, const char* name) {
        return eventually(
            [&] {
                RawClient again(port);
                try {
                    return again.login(name, 3, "pw") == -5;
                } catch (const std::runtime_error&) {
                    return false;
                }
            },
            kDeadline);
    }
    static void expect_left(RawClient& c, std::int32_t id) {
        auto left = c.next_of(kLeft, kDeadline);
        ASSERT_TRUE(left);
        EXPECT_EQ(ids_of(*left), std::vector<std::int32_t>{id});
    }
    static std::int32_t self() { return chatComunicate::GetUserMySelf()->userId; }

    // Users on each node talk, whisper, act and rename across nodes.
    void a_room_spans_nodes() {
        RawClient dave(port(1)), bob(port(2)), carol(port(3));
        ASSERT_EQ(dave.login("dave", 3, "pw"), 1);
        ASSERT_EQ(bob.login("bob", 3, "pw"), 1);
        ASSERT_EQ(carol.login("carol", 3, "pw"), 1);
        EXPECT_EQ(dave.id() >> 24, 1) << "ids name their node";
        EXPECT_EQ(bob.id() >> 24, 2);
        EXPECT_EQ(carol.id() >> 24, 3);
        // Once dave has heard of both, node 1 knows them: the host's login reply
        // holds every member on every node.
        ASSERT_TRUE(hears_entered(dave, {bob.id(), carol.id()}));
        ASSERT_EQ(login("host"), 1);
        lines().clear();  // what an earlier test's host heard and left unread
        EXPECT_EQ(users(), (Ids{dave.id(), bob.id(), carol.id()}));
        ASSERT_TRUE(hears_entered(bob, {self(), carol.id()}));
        ASSERT_TRUE(hears_entered(carol, {self()}));

        // Each sender's talk, whisper, action and rename arrive in its order.
        for (int i = 0; i < 20; ++i) {
            bob.talk(-1, "line " + std::to_string(i));
        }
        bob.talk(self(), "psst", true);
        bob.send(encode_rename(bob.id(), bob.key(), "bobby", 5));
        ASSERT_TRUE(eventually([&] { return lines().size() >= 21; }, kDeadline));
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(heard[i].text, "line " + std::to_string(i));
            EXPECT_EQ(heard[i].sender, bob.id());
        }
        EXPECT_EQ(heard[20].text, "psst");
        EXPECT_TRUE(heard[20].flag);
        EXPECT_TRUE(eventually([&] { return name_of(bob.id()) == "bobby"; }, kDeadline));
        for (int i = 0; i < 20; ++i) {
            auto line = carol.next_of(kTalk, kDeadline);
            ASSERT_TRUE(line);
            EXPECT_EQ(std::string(decode_talk(line->frame())->text), "line " + std::to_string(i));
        }
        auto next = carol.next(kDeadline);
        ASSERT_TRUE(next);
        EXPECT_EQ(next->type, kUpdated) << "the whisper to the host never reaches carol";
        carol.talk(self(), std::string("/@/\x07"));
        std::vector<stActionContent> actions;
        EXPECT_TRUE(eventually(
            [&] {
                chatComunicate::GetActionList(actions);
                return !actions.empty();
            },
            kDeadline));
        ASSERT_FALSE(actions.empty());
        EXPECT_EQ(actions[0].sender, carol.id());
        EXPECT_EQ(actions[0].action, 7);

        // The host's talk and whisper reach the other nodes.
        ASSERT_TRUE(chatComunicate::SendTalk(-1, "hello all", false));
        ASSERT_TRUE(chatComunicate::SendTalk(carol.id(), "for carol", true));
        std::optional<Received> kept;
        auto toCarol = talk_from(carol, self(), kept);
        ASSERT_TRUE(toCarol);
        EXPECT_EQ(std::string(toCarol->text), "hello all");
        toCarol = talk_from(carol, self(), kept);
        ASSERT_TRUE(toCarol);
        EXPECT_EQ(toCarol->flag, 1);
        auto toBob = talk_from(bob, self(), kept);
        ASSERT_TRUE(toBob);
        EXPECT_EQ(std::string(toBob->text), "hello all");

        // Room lists count every node.
        carol.send(encode_room_list_request(carol.key()));
        auto list = carol.next_of(kRoomList, kDeadline);
        ASSERT_TRUE(list);
        Ids listed;
        for (const auto& r : records_of(*list)) {
            listed.insert(r.userId);
        }
        EXPECT_EQ(listed, (Ids{self(), dave.id(), bob.id()}));

        bob.drop();
        EXPECT_TRUE(eventually([&] { return users() == Ids{dave.id(), carol.id()}; }, kDeadline));
        expect_left(carol, bob.id());
    }

    // An admin's kick closes the name everywhere; its ban holds on every
    // node, also one started later, until it is lifted.
    void a_kick_crosses_nodes() {
        RawClient bob(port(2)), bobToo(port(3));
        ASSERT_EQ(bob.login("bob", 3, "pw"), 1);
        ASSERT_EQ(bobToo.login("bob", 4, "pw"), 1);
        ASSERT_EQ(login("host"), 1);
        ASSERT_TRUE(eventually([&] { return users().count(bob.id()) == 1; }, kDeadline));
        ASSERT_TRUE(chatComunicate::KickPerson(bob.id(), 10));
        EXPECT_TRUE(bob.closed_within(kDeadline));
        EXPECT_TRUE(bobToo.closed_within(kDeadline))
            << "the ban closes the name's session on node 3";
        EXPECT_TRUE(eventually([&] { return users().empty(); }, kDeadline));

        EXPECT_TRUE(banned_on(port(3), "bob")) << "node 3 keeps the ban";
        Node later = start_node(4);
        ASSERT_NE(later->port(), 0);
        RawClient late(later->port());
        EXPECT_EQ(late.login("bob", 3, "pw"), -5) << "a node started later keeps it from the start";
        RawClient carol(later->port());
        EXPECT_EQ(carol.login("carol", 3, "pw"), 1);

        auto unban = run_ctl(PALAVER_SERVER_BINARY, control(1), {"unban", "bob"});
        EXPECT_EQ(unban.status, 0) << unban.output;
        EXPECT_TRUE(eventually(
            [&] {
                RawClient back(later->port());
                return back.login("bob", 3, "pw") == 1;
            },
            kDeadline))
            << "every node lifts the ban";
    }

    std::string bus_configuration() {
        if (bus == Bus::Open) {
            return {};
        }
        auto may = [](const std::string& n) {
            return "permissions: { publish: { allow: [\"palaver.node." + n +
                   "\", \"palaver.room.*." + n + "\", \"$KV.palaver.ids." + n + "\", " +
                   kBucketApi +
                   "] }, subscribe: { allow: [\"palaver.node.*\", \"palaver.room.*.*\", "
                   "\"_INBOX.>\"] } } }\n";
        };
        std::string users;
        for (int id = 1; id <= 4; ++id) {
            std::string n = std::to_string(id);
            write_credentials(id, "node" + n, "secret-" + n);
            users += "{ user: node" + n + ", password: \"secret-" + n + "\", " + may(n);
        }
        // Node 5 proves itself with an nkey instead.
        NKey key = make_user_nkey();
        write_credentials(5, key.seed, key.publicKey);
        users += "{ nkey: " + key.publicKey + ", " + may("5");
        std::string tls;
        if (bus == Bus::UsersAndTls) {
            const TestCerts& certs = test_certs();
            tls = "tls { cert_file: \"" + certs.serverCert + "\", key_file: \"" + certs.serverKey +
                  "\" }\n";
        }
        return "authorization { users = [\n" + users + "] }\n" + tls;
    }
    std::string bus_url() const {
        // The certificate names localhost; the URL's host is what is verified.
        return bus == Bus::UsersAndTls
                   ? "tls://localhost:" + nats->url().substr(nats->url().rfind(':') + 1)
                   : nats->url();
    }
    std::vector<std::string> bus_options(int node) const {
        std::vector<std::string> options;
        if (bus != Bus::Open) {
            options = {"--cluster-credentials", credentials(node)};
        }
        if (bus == Bus::UsersAndTls) {
            options.insert(options.end(), {"--cluster-ca", test_certs().ca});
        }
        return options;
    }
    std::string credentials(int node) const { return accounts + "-bus-" + std::to_string(node); }
    void write_credentials(int node, const std::string& user, const std::string& password) {
        std::ofstream(credentials(node)) << user << "\n" << password << "\n";
        ::chmod(credentials(node).c_str(), 0600);
    }

    const Bus bus;
    std::optional<NatsProcess> nats;
    std::string accounts = "/tmp/palaver-cluster-accounts-" + std::to_string(::getpid());
    std::vector<Node> nodes;
    std::vector<stChatContent> heard;
};

// Every case below runs on each kind of bus.
class ClusterTest : public ClusterFixture, public ::testing::WithParamInterface<Bus> {
  protected:
    ClusterTest() : ClusterFixture(GetParam()) {}
};

std::string bus_name(const ::testing::TestParamInfo<Bus>& info) {
    const char* names[] = {"Open", "Users", "UsersAndTls"};
    return names[static_cast<int>(info.param)];
}
INSTANTIATE_TEST_SUITE_P(Bus, ClusterTest,
                         ::testing::Values(Bus::Open, Bus::Users, Bus::UsersAndTls), bus_name);

TEST_P(ClusterTest, ARoomSpansNodes) {
    a_room_spans_nodes();
}

TEST_P(ClusterTest, AKickCrossesNodesAndItsBanHoldsOnEveryNodeAndLaterOnes) {
    a_kick_crosses_nodes();
}

// A figure `ctl stats` gives of node `id`.
std::uint64_t stat(const std::string& control, const std::string& name) {
    auto stats = run_ctl(PALAVER_SERVER_BINARY, control, {"stats"});
    auto at = stats.output.find(name + " ");
    return at == std::string::npos ? ~0ull : std::stoull(stats.output.substr(at + name.size() + 1));
}

TEST_P(ClusterTest, ANodeHearsOnlyTheRoomsItsUsersAreIn) {
    RawClient bob(port(1)), carol(port(2)), dave(port(3));
    ASSERT_EQ(bob.login("bob", 3, "pw"), 1);
    ASSERT_EQ(carol.login("carol", 3, "pw"), 1);
    ASSERT_EQ(dave.login("dave", 4, "pw"), 1);
    ASSERT_TRUE(hears_entered(bob, {carol.id()}));
    std::uint64_t before = stat(control(3), "bus_room_received");
    for (int i = 0; i < 50; ++i) {
        bob.talk(-1, "line " + std::to_string(i));
    }
    for (int i = 0; i < 50; ++i) {
        auto line = carol.next_of(kTalk, kDeadline);
        ASSERT_TRUE(line);
        EXPECT_EQ(std::string(decode_talk(line->frame())->text), "line " + std::to_string(i));
    }
    EXPECT_EQ(stat(control(3), "bus_room_received"), before) << "nobody on node 3 is in room 3";
    EXPECT_EQ(stat(control(3), "bus_rooms"), 1u);

    // Entering room 3 there, a user sees the room whole in its login reply.
    RawClient host(port(3));
    ASSERT_EQ(host.login("host", 3, "pw"), 1);
    Ids others;
    for (const auto& u : host.others) {
        others.insert(u.userId);
    }
    EXPECT_EQ(others, (Ids{bob.id(), carol.id()}));
    EXPECT_EQ(stat(control(3), "bus_rooms"), 2u);
    host.drop();
    EXPECT_TRUE(eventually([&] { return stat(control(3), "bus_rooms") == 1; }, kDeadline))
        << "its last user gone, node 3 stops listening to room 3";
}

// A bus client that is no node: it publishes whatever bytes it likes.
class Rogue {
  public:
    // On a bus with users it holds a node's credentials; `ca` verifies a TLS bus.
    Rogue(const std::string& url, const std::string& user, const std::string& password,
          const std::string& ca) {
        natsOptions* options = nullptr;
        natsOptions_Create(&options);
        natsOptions_SetURL(options, url.c_str());
        if (!user.empty()) {
            natsOptions_SetUserInfo(options, user.c_str(), password.c_str());
        }
        if (!ca.empty()) {
            natsOptions_SetSecure(options, true);
            natsOptions_LoadCATrustedCertificates(options, ca.c_str());
        }
        natsStatus status = natsConnection_Connect(&connection_, options);
        natsOptions_Destroy(options);
        if (status != NATS_OK) {
            throw std::runtime_error("the rogue could not reach the bus");
        }
    }
    ~Rogue() { natsConnection_Destroy(connection_); }
    Rogue(const Rogue&) = delete;
    Rogue& operator=(const Rogue&) = delete;
    void publish(const std::string& subject, const std::vector<std::uint8_t>& bytes) {
        natsConnection_Publish(connection_, subject.c_str(), bytes.data(),
                               static_cast<int>(bytes.size()));
        natsConnection_Flush(connection_);
    }
    // Puts a bucket entry and waits for JetStream to have stored it.
    void put(const std::string& key, const std::string& value) {
        natsMsg* reply = nullptr;
        natsConnection_Request(&reply, connection_, ("$KV.palaver." + key).c_str(), value.data(),
                               static_cast<int>(value.size()), 5000);
        natsMsg_Destroy(reply);
    }

  private:
    natsConnection* connection_ = nullptr;
};

TEST_P(ClusterTest, ABusClientSpeaksOnlyAsANodeOfTheClusterOnItsSubjectAndOnlyOnce) {
    using namespace palaver::server::cluster;
    RawClient watcher(port(1));
    ASSERT_EQ(watcher.login("carol", 3, "pw"), 1);
    // On a bus with users the rogue holds node 4's credentials: the bus
    // takes from it only what it publishes on node 4's subject.
    Rogue rogue(bus_url(), bus == Bus::Open ? "" : "node4", "secret-4",
                bus == Bus::UsersAndTls ? test_certs().ca : "");
    std::vector<std::uint8_t> out;
    // Speaking as `node` about room 3 (the watcher's): first an empty
    // snapshot, so that a node that takes it holds its picture whole.
    auto talk = [&](std::uint16_t node, std::uint64_t seq, std::uint64_t previous,
                    const char* text) {
        encode_talk(out, BusHeader{BusType::Talk, node, 7, seq, 3, previous},
                    BusTalk{(node << 24) | 1, -1, 3, 0, text});
        return out;
    };
    for (std::uint16_t node : {99, 4}) {
        encode_heartbeat(out, BusHeader{BusType::Heartbeat, node, 7, 1}, 0);
        rogue.publish(node_subject(node), out);
        encode_snapshot_part(out, BusHeader{BusType::SnapshotPart, node, 7, 2, 3, 0}, 1, 0, true,
                             nullptr, 0);
        rogue.publish(room_subject(3, node), out);
    }
    rogue.publish(room_subject(3, 99), talk(99, 3, 2, "not a node of the cluster"));
    rogue.publish(room_subject(3, 3), talk(4, 3, 2, "node 4 on node 3's subject"));
    auto line = talk(4, 3, 2, "line");
    rogue.publish(room_subject(3, 4), line);
    rogue.publish(room_subject(3, 4), line);
    encode_kick(out, BusHeader{BusType::Kick, 4, 7, 4}, BusKick{watcher.id(), 60, "bob", "bob"});
    rogue.publish(node_subject(4), out);
    rogue.publish(room_subject(3, 4), talk(4, 5, 3, "after"));

    std::optional<Received> kept;
    std::int32_t rogueUser = (4 << 24) | 1;
    auto heard = talk_from(watcher, rogueUser, kept);
    ASSERT_TRUE(heard);
    EXPECT_EQ(std::string(heard->text, heard->textLength), "line")
        << "nothing from a node outside the cluster or on another node's subject";
    heard = talk_from(watcher, rogueUser, kept);
    ASSERT_TRUE(heard);
    EXPECT_EQ(std::string(heard->text, heard->textLength), "after")
        << "the replayed line is delivered once, and the kick of a non-admin is ignored";

    // Ban entries that no node of the cluster wrote change nothing; a real
    // ban, stored after them, still holds.
    rogue.put("ban.626f62", "99999999999999");
    rogue.put("ban.626f62", "99999999999999 99");
    auto ban = run_ctl(PALAVER_SERVER_BINARY, control(2), {"ban", "dave", "10"});
    EXPECT_EQ(ban.status, 0) << ban.output;
    EXPECT_TRUE(banned_on(port(1), "dave"));
    RawClient bob(port(1));
    EXPECT_EQ(bob.login("bob", 3, "pw"), 1);
}

TEST_P(ClusterTest, TheUsersOfAKilledNodeLeaveEverywhere) {
    RawClient carol(port(3)), bob(port(2));
    ASSERT_EQ(carol.login("carol", 3, "pw"), 1);
    ASSERT_EQ(bob.login("bob", 3, "pw"), 1);
    ASSERT_EQ(login("host"), 1);
    ASSERT_TRUE(eventually([&] { return users() == Ids{carol.id(), bob.id()}; }, kDeadline));
    auto killed = std::chrono::steady_clock::now();
    nodes[2]->signal(SIGKILL);
    EXPECT_TRUE(eventually([&] { return users() == Ids{bob.id()}; }, kRecovery));
    report("users of the killed node left", killed);
    expect_left(bob, carol.id());

    // A node stopped on purpose lets its users go and ends cleanly.
    nodes[1]->signal(SIGTERM);
    EXPECT_TRUE(eventually([&] { return users().empty(); }, kDeadline));
    auto status = nodes[1]->wait_status(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

TEST_P(ClusterTest, NodesServeTheirOwnUsersWithoutTheBusAndResynchroniseAfter) {
    RawClient bob(port(2));
    ASSERT_EQ(bob.login("bob", 3, "pw"), 1);
    ASSERT_EQ(login("host"), 1);
    ASSERT_TRUE(eventually([&] { return users() == Ids{bob.id()}; }, kDeadline));
    ASSERT_TRUE(hears_entered(bob, {self()}));

    nats->kill();
    ASSERT_TRUE(chatComunicate::SendTalk(-1, "still here", false));
    EXPECT_TRUE(eventually([&] { return !lines().empty(); }, kDeadline)) << "node 1 serves on";
    EXPECT_TRUE(eventually([&] { return users().empty(); }, kDeadline));
    auto left = bob.next_of(kLeft, kDeadline);
    ASSERT_TRUE(left) << "node 2 lets the host go too";
    // While the bus is away bob leaves and carol comes, both on node 2.
    bob.drop();
    RawClient carol(port(2));
    ASSERT_EQ(carol.login("carol", 3, "pw"), 1);
    EXPECT_TRUE(carol.others.empty());

    ASSERT_TRUE(nats->start());
    auto back = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return users() == Ids{carol.id()}; }, kRecovery))
        << "no ghost of bob, carol not missing";
    report("nodes resynchronised with the bus back", back);
    EXPECT_TRUE(hears_entered(carol, {self()}));
    carol.talk(-1, "across again");
    EXPECT_TRUE(eventually([&] { return lines().back().text == "across again"; }, kDeadline));

    // Bans still reach every node through the bus that came back.
    ASSERT_TRUE(chatComunicate::KickPerson(carol.id(), 10));
    EXPECT_TRUE(carol.closed_within(kDeadline));
    EXPECT_TRUE(banned_on(port(3), "carol"));
}

TEST_P(ClusterTest, NodesShareOneListeningPort) {
    Node first = start_node(4);
    ASSERT_NE(first->port(), 0);
    std::string shared = "127.0.0.1:" + std::to_string(first->port());
    Node second = start_node(5, shared);
    ASSERT_EQ(second->port(), first->port());
    std::vector<std::unique_ptr<RawClient>> clients;
    Ids ids;
    for (const char* name : {"bob", "carol", "dave"}) {
        clients.push_back(std::make_unique<RawClient>(first->port()));
        ASSERT_EQ(clients.back()->login(name, 9, "pw"), 1);
        ids.insert(clients.back()->id());
    }
    ids.erase(clients[0]->id());
    EXPECT_TRUE(hears_entered(*clients[0], ids)) << "one room whichever node took them";
}

// Refusals of a bus with users, and of one behind TLS.
class SecuredBusTest : public ClusterFixture {
  protected:
    explicit SecuredBusTest(Bus kind = Bus::Users) : ClusterFixture(kind) {}

    // A node started with `options` (after the bus, `url` or the fixture's,
    // and a node id of 4) that the bus refuses: it must end with a failure
    // that says why.
    void expect_refused(std::vector<std::string> options, const std::string& why,
                        std::string url = {}) {
        url = url.empty() ? bus_url() : url;
        options.insert(options.begin(), {PALAVER_SERVER_BINARY, "--listen", "127.0.0.1:0",
                                         "--cluster", url, "--node-id", "4"});
        ChildProcess node(options, ChildProcess::Log::OutputAndErrors);
        EXPECT_TRUE(node.wait_for(why)) << node.transcript();
        EXPECT_EQ(node.wait_exit(), 1) << node.transcript();
    }
};

TEST_F(SecuredBusTest, TheBusRefusesWhoeverLacksANodesCredentials) {
    expect_refused({}, "Authentication Violation");
    write_credentials(5, "node2", "not-the-password");
    expect_refused({"--cluster-credentials", credentials(5)}, "Authentication Violation");
    // Node 2's credentials do not let a node speak on any other subject.
    write_credentials(5, "node2", "secret-2");
    ChildProcess rogue({PALAVER_SERVER_BINARY, "--listen", "127.0.0.1:0", "--cluster", bus_url(),
                        "--node-id", "4", "--cluster-credentials", credentials(5)},
                       ChildProcess::Log::OutputAndErrors);
    EXPECT_TRUE(rogue.wait_for("Not Permitted")) << rogue.transcript();
    // Asked for TLS, a node gives up on a bus without it before sending its password.
    std::string tls = "tls://localhost" + bus_url().substr(bus_url().rfind(':'));
    expect_refused({"--cluster-credentials", credentials(1)}, "Secure Connection not available",
                   tls);
}

class TlsBusTest : public SecuredBusTest {
  protected:
    TlsBusTest() : SecuredBusTest(Bus::UsersAndTls) {}
};

TEST_F(TlsBusTest, ANodeTrustsOnlyAVerifiedBus) {
    // Without the CA the bus's certificate does not verify, and the node
    // gives up before its password goes out.
    expect_refused({"--cluster-credentials", credentials(1)}, "SSL");
}

}  // namespace
}  // namespace palaver::test
