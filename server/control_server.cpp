#include "server/control_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

#include "server/word_escape.h"

namespace palaver::server {

using Local = asio::local::stream_protocol;

namespace {

// A request and its reply must be over within this time.
constexpr auto kConnectionTime = std::chrono::seconds(10);
constexpr std::size_t kMaxWords = 8;

std::string text_of(const ControlServer::Reply& reply) {
    std::string text;
    for (const std::string& line : reply.lines) {
        text += line;
        text += '\n';
    }
    text += reply.error.empty() ? "ok\n" : "error: " + reply.error + "\n";
    return text;
}

// Whether the peer runs as this process's user (or root, who can reach any
// file anyway).
bool same_user(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        return false;
    }
    return peer.uid == ::geteuid() || peer.uid == 0;
}

}  // namespace

// One client: a request line, the reply, the close; all within the time.
class ControlServer::Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(Local::socket socket, ControlServer& server)
        : socket_(std::move(socket)),
          server_(server),
          open_(server.open_),
          request_(kMaxRequest + 1),
          timer_(socket_.get_executor()) {
        ++*open_;
    }
    ~Connection() { release(); }

    // Reads the request, unless `refusal` says why not.
    void start(const std::string& refusal) {
        timer_.expires_after(kConnectionTime);
        timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
            if (!ec) {
                self->end();
            }
        });
        if (!refusal.empty()) {
            server_.log_.warn("control: refused a client: ", refusal);
            reply({{}, refusal});
            return;
        }
        asio::async_read_until(
            socket_, request_, '\n',
            [self = shared_from_this()](const asio::error_code& ec, std::size_t size) {
                self->on_request(ec, size);
            });
    }

    int native_handle() { return socket_.native_handle(); }

    void end() {
        release();
        asio::error_code ignored;
        timer_.cancel();
        socket_.close(ignored);
    }

  private:
    // No longer counted among the open connections, from the moment it ends.
    void release() {
        if (counted_) {
            counted_ = false;
            --*open_;
        }
    }

    void on_request(const asio::error_code& ec, std::size_t size) {
        if (ec == asio::error::not_found) {
            reply({{}, "a request line has at most " + std::to_string(kMaxRequest) + " bytes"});
            return;
        }
        if (ec) {
            end();  // gone before its line ended
            return;
        }
        std::string line(asio::buffers_begin(request_.data()),
                         asio::buffers_begin(request_.data()) + static_cast<long>(size) - 1);
        reply(server_.answer(line));
    }

    void reply(const Reply& reply) {
        text_ = text_of(reply);
        asio::async_write(
            socket_, asio::buffer(text_),
            [self = shared_from_this()](const asio::error_code&, std::size_t) { self->end(); });
    }

    Local::socket socket_;
    ControlServer& server_;
    std::shared_ptr<std::size_t> open_;
    asio::streambuf request_;
    asio::steady_timer timer_;
    std::string text_;
    bool counted_ = true;
};

ControlServer::ControlServer(asio::io_context& io, const std::string& path, Log& log)
    : acceptor_(io), log_(log), loop_(acceptor_, log, "control: "), path_(path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            throw std::runtime_error("--control " + path + ": exists and is not a socket");
        }
        // A server that still listens there answers; a stale file refuses.
        Local::socket probe(io);
        asio::error_code ec;
        probe.connect(Local::endpoint(path), ec);
        if (!ec) {
            throw std::runtime_error("--control " + path + ": another server listens on it");
        }
        ::unlink(path.c_str());
    }
    asio::error_code ec;
    Local::endpoint endpoint(path);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) {
        // Made with mode 0600 from the start: nobody else can ever connect.
        mode_t old = ::umask(0177);
        acceptor_.bind(endpoint, ec);
        ::umask(old);
    }
    if (!ec && ::lstat(path.c_str(), &info) == 0) {
        device_ = info.st_dev;
        inode_ = info.st_ino;
        ::chmod(path.c_str(), 0600);
    }
    if (!ec) {
        acceptor_.listen(static_cast<int>(kMaxConnections), ec);
    }
    if (ec) {
        close();
        throw std::runtime_error("--control " + path + ": " + ec.message());
    }
}

ControlServer::~ControlServer() {
    close();
}

void ControlServer::add(const std::string& command, const std::string& usage, std::size_t least,
                        std::size_t most, Handler handler) {
    commands_[command] = Command{usage, least, most, std::move(handler)};
}

void ControlServer::start() {
    loop_.start([this](Local::socket socket) { welcome(std::move(socket)); });
}

void ControlServer::welcome(Local::socket socket) {
    auto connection = std::make_shared<Connection>(std::move(socket), *this);
    std::string refusal;
    if (*open_ > kMaxConnections) {
        refusal = std::to_string(kMaxConnections) + " clients are connected";
    } else if (!same_user(connection->native_handle())) {
        refusal = "not the server's user";
    }
    connection->start(refusal);
    // Only the connections still open are kept.
    std::vector<std::weak_ptr<Connection>> open;
    for (auto& weak : connections_) {
        if (!weak.expired()) {
            open.push_back(std::move(weak));
        }
    }
    open.push_back(connection);
    connections_ = std::move(open);
}

ControlServer::Reply ControlServer::answer(const std::string& raw) {
    Reply reply = carry_out(raw);
    if (!reply.error.empty()) {
        log_.info("control: error: ", reply.error);
    }
    return reply;
}

ControlServer::Reply ControlServer::carry_out(const std::string& raw) {
    std::string_view line = raw;
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    for (char ch : line) {
        auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            return {{}, "control bytes in the request (names take \\xNN)"};
        }
    }
    auto words = split_words(line);
    if (words.empty()) {
        return {{}, "an empty request"};
    }
    if (words.size() > kMaxWords) {
        return {{}, "too many words"};
    }
    auto found = commands_.find(std::string(words[0]));
    if (found == commands_.end()) {
        std::string known;
        for (const auto& [name, command] : commands_) {
            known += (known.empty() ? "" : ", ") + name;
        }
        return {{}, "no command \"" + escaped(words[0]) + "\"; commands: " + known};
    }
    const Command& command = found->second;
    Args args;
    for (std::size_t i = 1; i < words.size(); ++i) {
        auto word = unescape_word(words[i]);
        if (!word) {
            return {{}, "a word with a broken \\xNN escape"};
        }
        args.push_back(*word);
    }
    if (args.size() < command.least || args.size() > command.most) {
        return {{}, "usage: " + command.usage};
    }
    std::string request = found->first;
    for (const std::string& arg : args) {
        request += " \"" + escaped(arg) + "\"";
    }
    log_.info("control: ", request);
    Reply reply;
    command.handler(args, reply);
    return reply;
}

void ControlServer::close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    loop_.close();
    for (auto& weak : connections_) {
        if (auto connection = weak.lock()) {
            connection->end();
        }
    }
    connections_.clear();
    struct stat info {};
    // Only the file made here: a later server may already have its own.
    if (inode_ != 0 && ::lstat(path_.c_str(), &info) == 0 && info.st_dev == device_ &&
        info.st_ino == inode_) {
        ::unlink(path_.c_str());
    }
}

}  // namespace palaver::server
