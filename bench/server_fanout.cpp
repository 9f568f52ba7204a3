// palaver-server benchmarks, against a real server process on loopback.
//
// Fan-out: R clients log into one room and each sends M chat lines of 40
// bytes, never more than 256 of its lines ahead of the slowest member (its
// own echo included).
// Reports deliveries per second (lines received from others, summed over the
// clients) from the first send to the last delivery, after checking that
// every line arrived exactly once and in order (own echoes too, not counted).
//
// Idle memory (--idle N): N clients log in, in rooms of --room-size, and stay
// quiet; reports the server's resident memory.
//
// Cluster (--cluster): each room size twice in one run, the members on one
// node, then spread over two nodes that meet on a nats-server started here;
// reports the rate and the CPU time of every server process and of the bus.
//
// Everything stays on 127.0.0.1 and ends by itself (a stalled run fails
// after 10 s without progress).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "PalaverProfile.h"
#include "protocol/client_messages.h"
#include "protocol/login_reply.h"
#include "protocol/message.h"
#include "protocol/wire.h"
#include "server_process.h"

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace palaver;

constexpr std::size_t kWindow = 256;
constexpr std::size_t kTextSize = 40;
constexpr std::size_t kLineSize = kTalkFixedSize + kTextSize;
constexpr std::size_t kReadBuffer = 256 * 1024;

// Connects, logs in and reads exactly the login reply.
stUserInfo login(tcp::socket& socket, std::uint16_t port, const std::string& name,
                 std::uint32_t room) {
    socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
    socket.set_option(tcp::no_delay(true));
    stUserInfo user{};
    profile::set_name(user, name);
    profile::set_room(user, room);
    auto request = encode_login_request(user, "", 0);
    asio::write(socket, asio::buffer(request));
    struct Own : LoginReplyParser::Sink {
        stUserInfo self{};
        void on_record(const stUserInfo& r, bool own) override {
            if (own) {
                self = r;
            }
        }
    } sink;
    LoginReplyParser parser;
    std::vector<std::uint8_t> buffer(kGroupBufferSize);
    while (parser.state() != LoginReplyParser::State::Done) {
        if (parser.state() == LoginReplyParser::State::Refused) {
            throw std::runtime_error("login refused: " + std::to_string(parser.status()));
        }
        std::size_t n = socket.read_some(asio::buffer(buffer.data(), parser.wanted()));
        parser.feed(buffer.data(), n, sink);
    }
    return sink.self;
}

// nats-server with JetStream on a free loopback port, for --cluster; its log
// goes to a file in its store folder, where its port is read from.
class BusProcess {
  public:
    BusProcess() {
        char folder[] = "/tmp/palaver-bench-nats-XXXXXX";
        if (::mkdtemp(folder) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        store_ = folder;
        std::string log = store_ + "/log";
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execlp("nats-server", "nats-server", "-a", "127.0.0.1", "-p", "-1", "-js", "-sd",
                     store_.c_str(), "-l", log.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const std::string mark = "Listening for client connections on ";
        for (int i = 0; i < 200 && url_.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::ifstream in(log);
            std::string line;
            while (std::getline(in, line)) {
                auto at = line.find(mark);
                if (at != std::string::npos) {
                    url_ = "nats://" + line.substr(at + mark.size());
                }
            }
        }
        if (url_.empty()) {
            throw std::runtime_error("nats-server did not start");
        }
    }
    ~BusProcess() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        std::error_code ignored;
        std::filesystem::remove_all(store_, ignored);
    }
    const std::string& url() const { return url_; }
    double cpu_seconds() const { return cpu_seconds_of(pid_); }

  private:
    std::string store_;
    std::string url_;
    pid_t pid_ = -1;
};

struct Client {
    explicit Client(asio::io_context& io) : socket(io), in(kReadBuffer) {}
    tcp::socket socket;
    std::int32_t id = 0;
    std::vector<std::uint8_t> in;
    std::size_t held = 0;
    std::vector<std::uint8_t> out;
    bool writing = false;
    std::uint64_t sent = 0;
    std::vector<std::uint64_t> next;  // next sequence number expected from each sender
};

class Fanout {
  public:
    // Member i logs in on ports[i % ports.size()].
    Fanout(const std::vector<std::uint16_t>& ports, std::size_t members, std::uint64_t lines)
        : lines_(lines), target_(members * (members - 1) * lines), watchdog_(io_) {
        for (std::size_t i = 0; i < members; ++i) {
            clients_.push_back(std::make_unique<Client>(io_));
            Client& c = *clients_.back();
            c.id = login(c.socket, ports[i % ports.size()], "bench" + std::to_string(i), 42).userId;
            c.next.assign(members, 0);
            c.out.reserve(kWindow * kLineSize);
            index_[c.id] = i;
        }
    }

    // Deliveries per second.
    double run() {
        for (auto& c : clients_) {
            read(*c);
        }
        start_ = Clock::now();
        pump();
        watch();
        io_.run();
        if (!error_.empty()) {
            throw std::runtime_error(error_);
        }
        return static_cast<double>(delivered_) /
               std::chrono::duration<double>(end_ - start_).count();
    }
    std::uint64_t delivered() const { return delivered_; }
    double seconds() const { return std::chrono::duration<double>(end_ - start_).count(); }

  private:
    void fail(const std::string& what) {
        if (error_.empty()) {
            error_ = what;
        }
        io_.stop();
    }

    void watch() {
        watchdog_.expires_after(std::chrono::seconds(10));
        watchdog_.async_wait([this, seen = delivered_ + echoes_](const asio::error_code& ec) {
            if (ec) {
                return;
            }
            if (delivered_ + echoes_ == seen) {
                fail("no progress for 10 s");
                return;
            }
            watch();
        });
    }

    // The sender's own echo counts too: otherwise a sender that reads slowly
    // could run ahead of its own stream without bound.
    std::uint64_t slowest_reader_of(std::size_t sender) const {
        std::uint64_t least = UINT64_MAX;
        for (const auto& reader : clients_) {
            least = std::min(least, reader->next[sender]);
        }
        return least;
    }

    void pump() {
        for (std::size_t s = 0; s < clients_.size(); ++s) {
            Client& c = *clients_[s];
            if (c.writing || c.sent == lines_) {
                continue;
            }
            std::uint64_t ahead = c.sent - slowest_reader_of(s);
            std::uint64_t n = std::min<std::uint64_t>(kWindow - ahead, lines_ - c.sent);
            if (n == 0) {
                continue;
            }
            c.out.resize(n * kLineSize);
            char text[kTextSize + 1];
            for (std::uint64_t i = 0; i < n; ++i) {
                std::snprintf(text, sizeof text, "%010llu%030d",
                              static_cast<unsigned long long>(c.sent + i), 0);
                encode_talk(c.out.data() + i * kLineSize, c.id, 0, LocationKey{42, 0, 0, 0}, false,
                            text, kTextSize);
            }
            c.sent += n;
            c.writing = true;
            asio::async_write(c.socket, asio::buffer(c.out),
                              [this, &c](const asio::error_code& ec, std::size_t) {
                                  c.writing = false;
                                  if (ec) {
                                      fail("write: " + ec.message());
                                      return;
                                  }
                                  pump();
                              });
        }
    }

    void read(Client& c) {
        c.socket.async_read_some(
            asio::buffer(c.in.data() + c.held, c.in.size() - c.held),
            [this, &c](const asio::error_code& ec, std::size_t n) {
                if (ec) {
                    fail("read: " + ec.message());
                    return;
                }
                c.held += n;
                if (!take(c)) {
                    return;
                }
                if (delivered_ == target_ && echoes_ == lines_ * clients_.size()) {
                    end_ = Clock::now();
                    io_.stop();
                    return;
                }
                pump();
                read(c);
            });
    }

    // Walks the whole frames held; false after a failure.
    bool take(Client& c) {
        std::size_t at = 0;
        const std::size_t receiver = index_.at(c.id);
        while (c.held - at >= 2) {
            std::size_t length = wire::load_u16(c.in.data() + at);
            if (length == 0 || length > kMaxLength) {
                fail("a frame of length " + std::to_string(length));
                return false;
            }
            if (c.held - at < 2 + length) {
                break;
            }
            Frame f{c.in[at + 2], c.in.data() + at + 3, length - 1};
            at += 2 + length;
            if (f.type != static_cast<std::uint8_t>(ClientType::Talk)) {
                continue;  // arrivals of the members that logged in later
            }
            auto t = decode_talk(f);
            auto known = t ? index_.find(t->sender) : index_.end();
            auto sender = known != index_.end() ? known->second : clients_.size();
            if (sender >= clients_.size() || t->textLength != kTextSize) {
                fail("a line that was never sent");
                return false;
            }
            std::uint64_t seq = std::strtoull(std::string(t->text, 10).c_str(), nullptr, 10);
            if (seq != c.next[sender]) {
                fail("line " + std::to_string(seq) + " of client " + std::to_string(sender) +
                     " arrived where " + std::to_string(c.next[sender]) + " was due");
                return false;
            }
            ++c.next[sender];
            if (sender == receiver) {
                ++echoes_;
            } else {
                ++delivered_;
            }
        }
        std::memmove(c.in.data(), c.in.data() + at, c.held - at);
        c.held -= at;
        return true;
    }

    asio::io_context io_{1};
    std::vector<std::unique_ptr<Client>> clients_;
    std::unordered_map<std::int32_t, std::size_t> index_;  // user id -> member
    std::uint64_t lines_;
    std::uint64_t target_;
    std::uint64_t delivered_ = 0;
    std::uint64_t echoes_ = 0;
    Clock::time_point start_, end_;
    asio::steady_timer watchdog_;
    std::string error_;
};

void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int idle(const std::string& binary, std::size_t count, std::size_t roomSize) {
    raise_descriptor_limit();
    ServerProcess server(binary, count + 100);
    auto before = server.memory();
    asio::io_context io;
    std::vector<tcp::socket> sockets;
    sockets.reserve(count);
    auto start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        sockets.emplace_back(io);
        login(sockets.back(), server.port(), "idle" + std::to_string(i),
              static_cast<std::uint32_t>(i / roomSize));
    }
    double loginSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Take the arrivals each client was sent, so the server holds nothing.
    std::vector<std::uint8_t> sink(65536);
    for (auto& s : sockets) {
        s.non_blocking(true);
        asio::error_code ec;
        while (s.read_some(asio::buffer(sink), ec) > 0) {
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto after = server.memory();
    std::printf("idle: %zu logged-in connections in rooms of %zu (logins took %.2f s)\n", count,
                roomSize, loginSeconds);
    std::printf(
        "idle: server resident memory %.1f MiB (%.1f MiB before the clients; peak "
        "%.1f MiB), %.1f KiB per connection\n",
        after.first / 1024.0, before.first / 1024.0, after.second / 1024.0,
        static_cast<double>(after.first - before.first) / static_cast<double>(count));
    return 0;
}

void print_rate(const char* label, std::size_t r, std::uint64_t lines, const Fanout& fanout,
                double rate) {
    std::printf("fanout%s: R=%3zu M=%8llu  %10llu deliveries in %6.3f s  %6.2f M/s\n", label, r,
                static_cast<unsigned long long>(lines),
                static_cast<unsigned long long>(fanout.delivered()), fanout.seconds(), rate / 1e6);
}

// One room size on one node, then over two nodes and the bus.
void cluster(const std::string& binary, std::size_t r, std::uint64_t lines) {
    {
        ServerProcess server(binary, r + 10);
        Fanout fanout({server.port()}, r, lines);
        double before = server.cpu_seconds();
        double rate = fanout.run();
        double cpu = server.cpu_seconds() - before;
        print_rate(" one node ", r, lines, fanout, rate);
        std::printf("    CPU: server %.2f s; %.2f s per million deliveries\n", cpu,
                    cpu / (static_cast<double>(fanout.delivered()) / 1e6));
    }
    BusProcess bus;
    std::vector<std::unique_ptr<ServerProcess>> nodes;
    for (const char* id : {"1", "2"}) {
        nodes.push_back(std::make_unique<ServerProcess>(
            binary, r + 10, std::vector<std::string>{"--cluster", bus.url(), "--node-id", id}));
    }
    Fanout fanout({nodes[0]->port(), nodes[1]->port()}, r, lines);
    double nodesBefore = nodes[0]->cpu_seconds() + nodes[1]->cpu_seconds();
    double busBefore = bus.cpu_seconds();
    double rate = fanout.run();
    double nodesCpu = nodes[0]->cpu_seconds() + nodes[1]->cpu_seconds() - nodesBefore;
    double busCpu = bus.cpu_seconds() - busBefore;
    print_rate(" two nodes", r, lines, fanout, rate);
    std::printf(
        "    CPU: nodes %.2f s, bus %.2f s; %.2f s per million deliveries; %llu lines over the "
        "bus\n",
        nodesCpu, busCpu, (nodesCpu + busCpu) / (static_cast<double>(fanout.delivered()) / 1e6),
        static_cast<unsigned long long>(lines * r));
}

}  // namespace

int main(int argc, char** argv) {
    std::string binary = PALAVER_SERVER_BINARY;
    std::vector<std::size_t> rooms{2, 10, 50};
    std::uint64_t deliveries = 4000000;
    std::size_t idleCount = 0;
    std::size_t roomSize = 100;
    CLI::App app{"palaver-server fan-out and idle-memory benchmarks"};
    app.add_option("--server", binary, "palaver-server binary")->capture_default_str();
    app.add_option("--members", rooms, "Room sizes R to measure")->capture_default_str();
    app.add_option("--deliveries", deliveries, "About how many deliveries per room size")
        ->capture_default_str();
    app.add_option("--idle", idleCount, "Measure memory with this many idle connections instead");
    app.add_option("--room-size", roomSize, "Users per room with --idle")->capture_default_str();
    bool clustered = false;
    app.add_flag("--cluster", clustered,
                 "Each room size on one node, then over two nodes and a nats-server");
    CLI11_PARSE(app, argc, argv);
    try {
        if (idleCount > 0) {
            return idle(binary, idleCount, std::max<std::size_t>(roomSize, 1));
        }
        for (std::size_t r : rooms) {
            if (r < 2) {
                continue;
            }
            std::uint64_t lines = std::max<std::uint64_t>(1000, deliveries / (r * (r - 1)));
            if (clustered) {
                cluster(binary, r, lines);
            } else {
                ServerProcess server(binary, r + 10);
                Fanout fanout({server.port()}, r, lines);
                print_rate("", r, lines, fanout, fanout.run());
            }
            std::fflush(stdout);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "server_fanout: %s\n", e.what());
        return 1;
    }
    return 0;
}
