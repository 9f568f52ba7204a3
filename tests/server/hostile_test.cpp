#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "protocol/server_messages.h"
#include "protocol/wire.h"
#include "server_harness.h"

namespace palaver::test {
namespace {

std::vector<std::uint8_t> raw_frame(std::uint16_t length, std::uint8_t type) {
    std::vector<std::uint8_t> bytes(2 + length, 0);
    wire::store_u16(bytes.data(), length);
    if (length > 0) {
        bytes[2] = type;
    }
    return bytes;
}

struct Hostile {
    const char* what;
    std::vector<std::uint8_t> (*bytes)(const RawClient& self);
};

const Hostile kHostile[] = {
    {"length 0", [](const RawClient&) { return raw_frame(0, 0); }},
    {"length 501", [](const RawClient&) { return raw_frame(501, 3); }},
    {"unknown type", [](const RawClient&) { return raw_frame(5, 4); }},
    {"walk of the wrong length",
     [](const RawClient& c) {
         auto w = encode_walk(c.id(), c.key(), 0, 0, 0, 0);
         auto bytes = std::vector<std::uint8_t>(w.begin(), w.end() - 1);
         wire::store_u16(bytes.data(), static_cast<std::uint16_t>(bytes.size() - 2));
         return bytes;
     }},
    {"talk without its NUL",
     [](const RawClient& c) {
         std::uint8_t m[kMaxTalkSize];
         std::size_t n = encode_talk(m, c.id(), 0, c.key(), false, "abc", 3);
         wire::store_u16(m, static_cast<std::uint16_t>(n - 3));
         return std::vector<std::uint8_t>(m, m + n - 1);
     }},
    {"talk of 301 bytes",
     [](const RawClient& c) {
         std::vector<std::uint8_t> m(kTalkFixedSize + 301);
         std::string text(301, 'x');
         encode_talk(m.data(), c.id(), 0, c.key(), false, text.data(), 0);
         std::memcpy(m.data() + 16, text.data(), text.size());
         m.back() = 0;
         wire::store_u16(m.data(), static_cast<std::uint16_t>(m.size() - 2));
         return m;
     }},
    {"second login",
     [](const RawClient& c) {
         auto l = encode_login_request(c.self, "", 0);
         return std::vector<std::uint8_t>(l.begin(), l.end());
     }},
};

// A bare HTTP client on loopback, for the /metrics port.
class HttpClient {
  public:
    explicit HttpClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            throw std::runtime_error("cannot connect to the metrics port");
        }
    }
    ~HttpClient() { ::close(fd_); }
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Sends `request`, then reads until the server closes: what came back,
    // empty when it closed without an answer.
    std::string exchange(const std::string& request) {
        ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
        std::string reply;
        char buffer[4096];
        auto end = std::chrono::steady_clock::now() + kDeadline;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return reply;
            }
            reply.append(buffer, static_cast<std::size_t>(n));
        }
        return reply + "(no close)";
    }

  private:
    int fd_;
};

std::string status_line(const std::string& reply) {
    return reply.substr(0, reply.find("\r\n"));
}

// What the server's /metrics says, headers and all.
std::string scrape(const TestServer& server) {
    return HttpClient(server.metrics_port()).exchange("GET /metrics HTTP/1.1\r\n\r\n");
}

// Test settings with the /metrics port open.
server::Settings with_metrics(server::Settings settings = test_settings()) {
    settings.metrics = server::MetricsSettings{};
    return settings;
}

TEST(ServerHostileInput, ClosesOnlyTheOffendingSession) {
    TestServer server(with_metrics());
    RawClient bystander(server.port());
    ASSERT_EQ(bystander.login("bystander"), 1);
    for (const Hostile& h : kHostile) {
        SCOPED_TRACE(h.what);
        RawClient bad(server.port());
        ASSERT_EQ(bad.login("bad"), 1);
        bad.send(h.bytes(bad));
        EXPECT_TRUE(bad.closed_within());
        auto left = bystander.next_of(kLeft);
        ASSERT_TRUE(left);
        EXPECT_EQ(ids_of(*left), std::vector<std::int32_t>{bad.id()});
        bystander.talk(0, "still served");
        EXPECT_TRUE(bystander.next_of(kTalk));
    }
    std::string counted = "\npalaver_session_closes_total{reason=\"hostile_input\"} " +
                          std::to_string(std::size(kHostile)) + "\n";
    EXPECT_NE(scrape(server).find(counted), std::string::npos) << counted;
    std::string log = server.stop_and_log();
    EXPECT_NE(log.find("WARN disconnect"), std::string::npos);
    EXPECT_NE(log.find("hostile input"), std::string::npos);
}

// A client that stops reading is cut off when its queue is full; with room
// to spare, when what was queued for it is not taken in time; or when all
// queues together reach their cap, as the largest.
TEST(ServerHostileInput, AClientThatNeverReadsIsDisconnected) {
    struct Case {
        std::size_t queueLimit;
        std::chrono::milliseconds writeTimeout;
        std::size_t maxQueuedTotal;
        const char* reason;
        const char* counted;  // its line in /metrics
    };
    for (const Case& c :
         {Case{64 * 1024, 60s, 0, "bytes not taken", "{reason=\"slow_reader\"} 1"},
          Case{std::size_t{1} << 30, 500ms, 0, "0.5 s ago not taken", "{reason=\"slow_reader\"} 1"},
          Case{std::size_t{1} << 30, 60s, 256 * 1024, "all queues reached",
               "{reason=\"queue_cap\"} 1"}}) {
        auto settings = with_metrics();
        settings.queueLimit = c.queueLimit;
        settings.writeTimeout = c.writeTimeout;
        settings.maxQueuedTotal = c.maxQueuedTotal;
        TestServer server(settings);

        RawClient sluggish(server.port());
        ASSERT_EQ(sluggish.login("sluggish"), 1);
        RawClient talker(server.port());
        ASSERT_EQ(talker.login("talker"), 1);

        // The sluggish client gets every line and reads none.
        auto left = flood_until_a_departure(talker);
        ASSERT_TRUE(left) << c.reason;
        EXPECT_EQ(ids_of(*left), std::vector<std::int32_t>{sluggish.id()});
        talker.send(encode_logout(talker.key()));
        EXPECT_TRUE(talker.closed_within());
        EXPECT_NE(scrape(server).find(std::string("session_closes_total") + c.counted),
                  std::string::npos)
            << c.reason;
        std::string log = server.stop_and_log();
        EXPECT_NE(log.find(c.reason), std::string::npos) << log;
    }
}

std::vector<std::uint8_t> talks(const RawClient& c, std::int32_t sender, int count) {
    std::vector<std::uint8_t> bytes;
    std::uint8_t m[kMaxTalkSize];
    for (int i = 0; i < count; ++i) {
        std::string text = "n" + std::to_string(i);
        std::size_t n = encode_talk(m, sender, 0, c.key(), false, text.data(), text.size());
        bytes.insert(bytes.end(), m, m + n);
    }
    return bytes;
}

// Spoofed requests are refused one by one, logged once, and past the limit
// they end the session.
TEST(ServerHostileInput, TenThousandSpoofedRequestsEndTheSessionInAFewLogLines) {
    TestServer server;
    RawClient mallory(server.port());
    ASSERT_EQ(mallory.login("mallory"), 1);
    mallory.send(talks(mallory, mallory.id() + 1, 10000));
    EXPECT_TRUE(mallory.closed_within());
    std::string log = server.stop_and_log();
    EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 10) << log;
    EXPECT_NE(log.find("refused requests"), std::string::npos) << log;
}

// Over its request rate a session is slowed down, not cut short: every line
// it sent arrives, in order; kept up past the grace period, it ends.
TEST(ServerHostileInput, ASessionOverItsRequestRateIsSlowedThenClosed) {
    auto settings = test_settings();
    settings.requestRate = 200;
    settings.requestBurst = 50;
    settings.floodGrace = 1500ms;
    TestServer server(settings);
    RawClient talker(server.port());
    ASSERT_EQ(talker.login("talker"), 1);
    talker.send(talks(talker, talker.id(), 150));
    for (int i = 0; i < 150; ++i) {
        auto got = talker.next_of(kTalk);
        ASSERT_TRUE(got) << "line " << i;
        auto line = decode_talk(got->frame());
        ASSERT_TRUE(line);
        EXPECT_EQ(std::string(line->text, line->textLength), "n" + std::to_string(i));
    }
    auto more = talks(talker, talker.id(), 100);
    for (auto end = std::chrono::steady_clock::now() + 30s;
         std::chrono::steady_clock::now() < end && talker.send(more) && talker.drain();) {
    }
    EXPECT_TRUE(talker.closed_within());
    EXPECT_NE(server.stop_and_log().find("flooding"), std::string::npos);
}

TEST(ServerHostileInput, OneAddressCannotTakeEverySlot) {
    auto settings = test_settings();
    settings.maxPerAddress = 4;
    TestServer server(settings);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 50; ++i) {
        clients.push_back(std::make_unique<RawClient>(server.port()));
    }
    // Accepted in the order they connected: the first four stay.
    for (int i = 4; i < 50; ++i) {
        EXPECT_TRUE(clients[i]->closed_within()) << "connection " << i;
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(clients[i]->login("stays" + std::to_string(i)), 1);
    }
    RawClient neighbour(server.port(), 0x7F000002);  // 127.0.0.2
    EXPECT_EQ(neighbour.login("neighbour"), 1);

    // The first refusal is told at once; the other 45 wait for their summary.
    std::string log = server.stop_and_log();
    const std::string told =
        "WARN refused a connection from 127.0.0.1: more than 4 connections from one address";
    auto first = log.find(told);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("refused", first + told.size()), std::string::npos) << log;
}

TEST(ServerHostileInput, ConnectionsThatNeverLogInCannotKeepAClientOut) {
    auto settings = test_settings();
    settings.maxLoggingIn = 100;
    // None of them times out during the test: only making room lets anyone in.
    settings.loginTimeout = 600s;
    TestServer server(settings);
    std::deque<std::unique_ptr<RawClient>> silent;
    for (int i = 0; i < 1000; ++i) {
        silent.push_back(std::make_unique<RawClient>(server.port()));
        if (silent.size() > 100) {
            ASSERT_TRUE(silent.front()->closed_within()) << "the oldest, at connection " << i;
            silent.pop_front();
        }
    }
    RawClient client(server.port());
    EXPECT_EQ(client.login("client"), 1);
    EXPECT_TRUE(silent.front()->closed_within());
    std::string log = server.stop_and_log();
    EXPECT_NE(log.find("closed to make room: 100 connections were logging in"), std::string::npos);
}

TEST(ServerHostileInput, TheMetricsPortAnswersOneGetWithinItsBounds) {
    TestServer server(with_metrics());
    auto ask = [&](const std::string& request) {
        return HttpClient(server.metrics_port()).exchange(request);
    };
    std::string scrape = ask("GET /metrics HTTP/1.0\r\nHost: x\r\n\r\n");
    EXPECT_EQ(status_line(scrape), "HTTP/1.1 200 OK");
    EXPECT_NE(scrape.find("\r\n\r\n# HELP palaver_"), std::string::npos) << scrape;
    EXPECT_EQ(status_line(ask("GET /other HTTP/1.1\r\n\r\n")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(status_line(ask("POST /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi")),
              "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(status_line(ask("GET /metrics\r\n\r\n")), "HTTP/1.1 400 Bad Request");
    // A head that never ends is cut off at its bound, answered and closed.
    EXPECT_EQ(status_line(ask("GET /metrics HTTP/1.1\r\nX: " + std::string(20000, 'x'))),
              "HTTP/1.1 431 Request Header Fields Too Large");

    // Connections that send nothing hold every place: one more is closed
    // unanswered, and a place comes back when one of them goes.
    std::vector<std::unique_ptr<HttpClient>> idle;
    for (std::size_t i = 0; i < server::MetricsListener::kMaxConnections; ++i) {
        idle.push_back(std::make_unique<HttpClient>(server.metrics_port()));
    }
    EXPECT_EQ(ask("GET /metrics HTTP/1.1\r\n\r\n"), "");
    idle.pop_back();
    EXPECT_TRUE(eventually(
        [&] { return status_line(ask("GET /metrics HTTP/1.1\r\n\r\n")) == "HTTP/1.1 200 OK"; }));
}

// A control request sent raw: what the socket answers before it closes.
std::string control_reply(const std::string& path, const std::string& request,
                          int* fdOut = nullptr) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return "no connection";
    }
    if (fdOut != nullptr) {
        *fdOut = fd;  // kept open, silent
        return {};
    }
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    char buffer[512];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply;
}

TEST(ServerHostileInput, TheControlSocketIsTheOwnersAndRefusesWhatDoesNotParse) {
    auto settings = test_settings();
    settings.controlPath =
        ::testing::TempDir() + "palaver-hostile-ctl-" + std::to_string(::getpid());
    {
        std::ofstream(settings.controlPath) << "not a socket";
        std::ostringstream quiet;
        server::Log log(server::Level::Error, quiet);
        EXPECT_THROW({ server::Server refused(settings, log); }, std::runtime_error);
        std::remove(settings.controlPath.c_str());
    }
    TestServer server(settings);
    struct stat info {};
    ASSERT_EQ(::stat(settings.controlPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const std::pair<std::string, const char*> cases[] = {
        {std::string(2000, 'x'), "error: a request line has at most 1024 bytes\n"},
        {"kick \x1b[2J\n", "error: control bytes in the request (names take \\xNN)\n"},
        {"kick b\\xZZ\n", "error: a word with a broken \\xNN escape\n"},
        {"ban bob\n", "error: usage: ban NAME MINUTES\n"},
        {"ban 1234567890123456789012345678901 5\n", "error: a login name has 1 to 30 bytes\n"},
        {"stats\r\n", "connections 0\nusers 0\nrooms 0\nqueued_bytes 0\nok\n"},
    };
    for (const auto& [request, reply] : cases) {
        EXPECT_EQ(control_reply(settings.controlPath, request), reply) << request.substr(0, 40);
    }
    std::vector<int> idle(4);
    for (int& fd : idle) {
        control_reply(settings.controlPath, "", &fd);
    }
    EXPECT_EQ(control_reply(settings.controlPath, "stats\n"), "error: 4 clients are connected\n");
    for (int fd : idle) {
        ::close(fd);
    }
    EXPECT_TRUE(
        eventually([&] { return control_reply(settings.controlPath, "bans\n") == "ok\n"; }));
    server.stop_and_log();
    EXPECT_NE(::stat(settings.controlPath.c_str(), &info), 0) << "removed on stop";
}

}  // namespace
}  // namespace palaver::test
